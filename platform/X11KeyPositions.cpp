#include "platform/X11KeyPositions.h"

#include <array>
#include <cstddef>

namespace {

// Evdev key numbers by virtual key code; the X keycode is 8 more.
constexpr std::array<uint8_t, 128> kLinuxKeys = [] {
    std::array<uint8_t, 128> keys{};
    // The letters, digits and punctuation of the main block, in the order
    // of the virtual key codes 0 to 50.
    constexpr uint8_t kMainBlock[] = {
        30, 31, 32, 33, 35, 34, 44, 45, 46, 47,  //  0 a s d f h g z x c v
        86, 48, 16, 17, 18, 19, 21, 20, 2,  3,   // 10 iso-extra b q w e r y t 1 2
        4,  5,  7,  6,  13, 10, 8,  12, 9,  11,  // 20 3 4 6 5 = 9 7 - 8 0
        27, 24, 22, 26, 23, 25, 28, 38, 36, 40,  // 30 ] o u [ i p Return l j '
        37, 39, 43, 51, 53, 49, 50, 52, 15, 57,  // 40 k ; \ , / n m . Tab Space
        41,                                      // 50 `
    };
    for (std::size_t i = 0; i < sizeof kMainBlock; ++i) keys[i] = kMainBlock[i];
    struct Other {
        uint8_t keyCode, linuxKey;
    };
    constexpr Other kOthers[] = {
        {51, 14},   {53, 1},    {54, 97},   {55, 29},   {56, 42},   {57, 58},   {58, 56},
        {59, 125},  {60, 54},   {61, 100},  {62, 126},  {64, 187},  {65, 83},   {67, 55},
        {69, 78},   {71, 69},   {72, 115},  {73, 114},  {74, 113},  {75, 98},   {76, 96},
        {78, 74},   {79, 188},  {80, 189},  {81, 117},  {82, 82},   {83, 79},   {84, 80},
        {85, 81},   {86, 75},   {87, 76},   {88, 77},   {89, 71},   {90, 190},  {91, 72},
        {92, 73},   {93, 124},  {94, 89},   {95, 95},   {96, 63},   {97, 64},   {98, 65},
        {99, 61},   {100, 66},  {101, 67},  {102, 94},  {103, 87},  {104, 92},  {105, 183},
        {106, 186}, {107, 184}, {109, 68},  {110, 127}, {111, 88},  {113, 185}, {114, 110},
        {115, 102}, {116, 104}, {117, 111}, {118, 62},  {119, 107}, {120, 60},  {121, 109},
        {122, 59},  {123, 105}, {124, 106}, {125, 108}, {126, 103},
    };
    for (const Other& o : kOthers) keys[o.keyCode] = o.linuxKey;
    return keys;
}();

constexpr uint8_t kEvdevOffset = 8;

}  // namespace

uint8_t x11KeycodeForKeyCode(uint32_t keyCode) {
    if (keyCode >= kLinuxKeys.size() || kLinuxKeys[keyCode] == 0) return 0;
    return static_cast<uint8_t>(kLinuxKeys[keyCode] + kEvdevOffset);
}

uint16_t keyCodeForX11Keycode(uint32_t keycode) {
    // The main block first, so that a key two codes share gives the lower.
    for (uint32_t code = 0; code < kLinuxKeys.size(); ++code) {
        if (kLinuxKeys[code] != 0 && uint32_t(kLinuxKeys[code] + kEvdevOffset) == keycode) {
            return static_cast<uint16_t>(code);
        }
    }
    return kNoKeyCode;
}
