#pragma once

#include <optional>
#include <span>
#include <string>

// The message a receiver sends a sender once a second for each of its
// subscriptions: "TCMDPing: #" and the subscription number, then a line feed.
// The sender echoes the number in every timecode message to that subscriber.

/// The message's bytes, UTF-8 with no terminating zero.
std::string makeSubscriptionMessage(int number);

/// The subscription number of a received datagram, or nothing when the
/// datagram is not a subscription message. Safe on any bytes of any length.
std::optional<int> readSubscriptionMessage(std::span<const char> datagram);
