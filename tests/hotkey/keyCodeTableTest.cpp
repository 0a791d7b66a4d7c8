#include <gtest/gtest.h>

#include <set>
#include <string_view>
#include <vector>

#include "hotkey/keyCodeTable.h"

namespace {

// The US (ANSI) keyboard's character rows, left to right, without and with
// Shift, and the position codes of their keys in the same order.
struct LayoutRow {
    std::string_view plain;
    std::string_view shifted;
    std::vector<int> keyCodes;
};

const LayoutRow kUsLayout[] = {
    {"`1234567890-=", "~!@#$%^&*()_+", {50, 18, 19, 20, 21, 23, 22, 26, 28, 25, 29, 27, 24}},
    {"qwertyuiop[]\\", "QWERTYUIOP{}|", {12, 13, 14, 15, 17, 16, 32, 34, 31, 35, 33, 30, 42}},
    {"asdfghjkl;'", "ASDFGHJKL:\"", {0, 1, 2, 3, 5, 4, 38, 40, 37, 41, 39}},
    {"zxcvbnm,./", "ZXCVBNM<>?", {6, 7, 8, 9, 11, 45, 46, 43, 47, 44}},
};

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

TEST(KeyCodeTable, TypesEveryCharacterOfTheUsLayoutOnItsKey) {
    for (const LayoutRow& row : kUsLayout) {
        ASSERT_EQ(row.plain.size(), row.keyCodes.size());
        for (std::size_t i = 0; i < row.plain.size(); ++i) {
            EXPECT_EQ(keyFor(row.plain[i]), (Key{row.keyCodes[i], false})) << row.plain[i];
            EXPECT_EQ(keyFor(row.shifted[i]), (Key{row.keyCodes[i], true})) << row.shifted[i];
        }
    }
    EXPECT_EQ(keyFor(' '), (Key{49, false}));
}

TEST(KeyCodeTable, TypesControlCharactersOnReturnTabAndBackspace) {
    EXPECT_EQ(keyFor('\n'), (Key{36, false}));
    EXPECT_EQ(keyFor('\r'), (Key{36, true}));
    EXPECT_EQ(keyFor('\t'), (Key{48, false}));
    EXPECT_EQ(keyFor('\a'), (Key{48, true}));
    EXPECT_EQ(keyFor('\b'), (Key{51, false}));
}

TEST(KeyCodeTable, StrikesTheSpaceBarForEveryOtherByte) {
    std::set<int> typed = {'\a', '\b', '\t', '\n', '\r'};
    for (int c = ' '; c <= '~'; ++c) typed.insert(c);
    for (int value = 0; value < 256; ++value) {
        if (typed.count(value) != 0) continue;
        EXPECT_EQ(keyFor(static_cast<char>(value)), (Key{49, false})) << value;
    }
    EXPECT_EQ(typed.size(), 100u);
}
