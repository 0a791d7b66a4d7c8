#pragma once

#include <cstdio>
#include <string>

#include "decode/SMPTE_tc.h"

// The texts a clock shows of a value, the same in every clock Mirel draws.

/// `value` as at least two decimal digits.
inline std::string twoDigits(int value) {
    char text[16] = {};
    std::snprintf(text, sizeof text, "%02d", value);
    return text;
}

/// The eight user-bit groups as hexadecimal digits, group 1 first: as the
/// network message carries them and mirel-decode prints them.
inline std::string userBitsText(const SMPTE_tc& tc) {
    const int32_t groups[] = {tc.u1, tc.u2, tc.u3, tc.u4, tc.u5, tc.u6, tc.u7, tc.u8};
    std::string digits;
    for (const int32_t group : groups) digits += "0123456789ABCDEF"[group & 0xF];
    return digits;
}
