#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "decode/SMPTE_tc.h"

// The message a sender sends each subscriber for every value it shares, three
// lines each ended by a line feed:
//
//   TCMD: 57
//   NAME: mirel://studio
//   TC: 01:02:03.04 1234ABCF n 7
//
// The third line keeps fixed byte positions, which is how every copy reads it:
// the time at 4-14, the user-bit groups u1..u8 as upper-case hexadecimal at
// 16-23, "d" or "n" for the drop-frame flag at 25 and a random digit at 27
// that carries nothing. The colour-frame flag, bpm and myId do not travel.

/// What a timecode message carries: the subscription number it answers and
/// the value, with myId 0 and both flags other than drop-frame false.
struct TimecodeMessage {
    int number;
    SMPTE_tc timecode;
};

/// The message's bytes, UTF-8 with no terminating zero, with a fresh random
/// digit. `serviceName` is the sender's published name, already UTF-8.
/// Callable from any thread: each thread draws from a generator of its own.
std::string makeTimecodeMessage(int number, std::string_view serviceName, const SMPTE_tc& tc);

/// The content of a received datagram, or nothing when the datagram is not a
/// timecode message. Safe on any bytes of any length. Whether the number
/// belongs to a current subscription is for the caller to decide.
std::optional<TimecodeMessage> readTimecodeMessage(std::span<const char> datagram);
