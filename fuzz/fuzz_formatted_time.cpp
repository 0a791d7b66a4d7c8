// The typing format is free text from the user's settings. Expanding it must
// never fail, must stay in proportion to the format, and every character it
// gives must reach a real key.
#include <cstddef>
#include <cstdint>
#include <string>

#include "hotkey/FormattedTime.h"
#include "hotkey/keyCodeTable.h"

namespace {

// The first eight bytes are the time digits, read as the network reader reads
// them (the byte less "0"), which spans every value any source produces.
constexpr size_t kDigitBytes = 8;

SMPTE_tc timecodeFrom(const uint8_t* data) {
    SMPTE_tc tc{};
    int32_t* digits[kDigitBytes] = {&tc.ht, &tc.hu, &tc.mt, &tc.mu, &tc.st, &tc.su, &tc.ft, &tc.fu};
    for (size_t i = 0; i < kDigitBytes; ++i) *digits[i] = data[i] - '0';
    return tc;
}

// The rest is the format, as little-endian UTF-16 code units.
std::u16string formatFrom(const uint8_t* data, size_t size) {
    std::u16string format;
    for (size_t i = 0; i + 1 < size; i += 2) {
        format += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    }
    return format;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < kDigitBytes) return 0;
    const std::u16string format = formatFrom(data + kDigitBytes, size - kDigitBytes);
    const std::string text = formattedTime(format, timecodeFrom(data));

    // The widest expansion: a two-unit escape printing a four-character number.
    if (text.size() > 2 * format.size()) __builtin_trap();
    for (char c : text) {
        int keyCode = -1;
        bool shift = true;
        getKeyCode(c, keyCode, shift);
        if (keyCode < 0 || keyCode > 51 || keyCode == 10) __builtin_trap();
    }
    return 0;
}
