// The typing format is free text from the user's settings: expanding it must never fail,
// must stay in proportion to the format, and every character it gives must reach a real key.
#include <cstddef>
#include <cstdint>
#include <string>

#include "hotkey/FormattedTime.h"
#include "hotkey/keyCodeTable.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Eight time digits, read as the network reader reads them (the byte less "0"),
    // which spans every value any source produces; then the format in UTF-16LE.
    if (size < 8) return 0;
    SMPTE_tc tc{};
    int32_t* digits[] = {&tc.ht, &tc.hu, &tc.mt, &tc.mu, &tc.st, &tc.su, &tc.ft, &tc.fu};
    for (size_t i = 0; i < 8; ++i) *digits[i] = data[i] - '0';
    std::u16string format;
    for (size_t i = 8; i + 1 < size; i += 2) format += char16_t(data[i] | data[i + 1] << 8);
    const std::string text = formattedTime(format, tc);

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
