#include <gtest/gtest.h>

#include <map>
#include <string_view>
#include <vector>

#include "hotkey/keyCodeTable.h"

namespace {

struct Key {
    int keyCode;
    bool shift;
    bool operator==(const Key&) const = default;
};

// Looks c up twice, from opposite starting values: an output that a call
// leaves unwritten shows as the two lookups disagreeing.
Key keyFor(char c) {
    Key found[2];
    for (bool start : {false, true}) {
        int keyCode = -1;
        bool shift = start;
        getKeyCode(c, keyCode, shift);
        found[start] = {keyCode, shift};
    }
    return found[0] == found[1] ? found[0] : Key{-1, false};
}

void PrintTo(const Key& key, std::ostream* out) {
    *out << "key " << key.keyCode << (key.shift ? " with Shift" : "");
}

}  // namespace

TEST(KeyCodeTable, TypesTheUsLayoutAndFiveControlsOnTheirKeysAndAllElseOnTheSpaceBar) {
    // The US (ANSI) keyboard's character rows, left to right, without and with
    // Shift, and the position codes of their keys in the same order.
    const struct {
        std::string_view plain, shifted;
        std::vector<int> keyCodes;
    } rows[] = {
        {"`1234567890-=", "~!@#$%^&*()_+", {50, 18, 19, 20, 21, 23, 22, 26, 28, 25, 29, 27, 24}},
        {"qwertyuiop[]\\", "QWERTYUIOP{}|", {12, 13, 14, 15, 17, 16, 32, 34, 31, 35, 33, 30, 42}},
        {"asdfghjkl;'", "ASDFGHJKL:\"", {0, 1, 2, 3, 5, 4, 38, 40, 37, 41, 39}},
        {"zxcvbnm,./", "ZXCVBNM<>?", {6, 7, 8, 9, 11, 45, 46, 43, 47, 44}},
        {"\n\t\b", "\r\a", {36, 48, 51}},
    };
    const Key spaceBar{49, false};
    std::map<int, Key> expected = {{' ', spaceBar}};
    for (const auto& row : rows) {
        for (std::size_t i = 0; i < row.keyCodes.size(); ++i) {
            expected[row.plain[i]] = {row.keyCodes[i], false};
            if (i < row.shifted.size()) expected[row.shifted[i]] = {row.keyCodes[i], true};
        }
    }
    ASSERT_EQ(expected.size(), 100u);
    for (int c = 0; c < 256; ++c) {
        const auto key = expected.find(c);
        EXPECT_EQ(keyFor(char(c)), key == expected.end() ? spaceBar : key->second) << c;
    }
}
