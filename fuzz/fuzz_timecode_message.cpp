// Any datagram may reach the receiver's socket. Reading must stay within its
// bytes, and since a received value is shared on with our own subscribers,
// whatever we accept must make a message that reads back the same.
#include <cstddef>
#include <cstdint>

#include "network/TimecodeMessage.h"

namespace {

bool isDecimal(int32_t digit) {
    return digit >= 0 && digit <= 9;
}

bool timeDigitsAreDecimal(const SMPTE_tc& tc) {
    return isDecimal(tc.ht) && isDecimal(tc.hu) && isDecimal(tc.mt) && isDecimal(tc.mu) &&
           isDecimal(tc.st) && isDecimal(tc.su) && isDecimal(tc.ft) && isDecimal(tc.fu);
}

bool sameTime(const SMPTE_tc& a, const SMPTE_tc& b) {
    return a.h() == b.h() && a.m() == b.m() && a.s() == b.s() && a.f() == b.f();
}

bool sameFlagsAndUserBits(const SMPTE_tc& a, const SMPTE_tc& b) {
    return a.u1 == b.u1 && a.u2 == b.u2 && a.u3 == b.u3 && a.u4 == b.u4 && a.u5 == b.u5 &&
           a.u6 == b.u6 && a.u7 == b.u7 && a.u8 == b.u8 && a.dropFrame == b.dropFrame &&
           a.colorFrame == b.colorFrame && a.bpm == b.bpm;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const char> datagram(reinterpret_cast<const char*>(data), size);
    const auto received = readTimecodeMessage(datagram);
    if (!received) return 0;

    const auto forwarded = readTimecodeMessage(
        makeTimecodeMessage(received->number, "mirel://fuzz", received->timecode));
    if (!forwarded || forwarded->number != received->number) __builtin_trap();
    // Stray bytes in the time make numbers that two digits cannot carry, and a
    // wider number moves every later field; only a time of digits keeps them.
    if (timeDigitsAreDecimal(received->timecode) &&
        !(sameTime(forwarded->timecode, received->timecode) &&
          sameFlagsAndUserBits(forwarded->timecode, received->timecode))) {
        __builtin_trap();
    }
    return 0;
}
