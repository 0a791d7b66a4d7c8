#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "hotkey/FormattedTime.h"
#include "hotkey/keyCodeTable.h"

using namespace std::string_literals;

namespace {

SMPTE_tc timeOf(int hours, int minutes, int seconds, int frames) {
    SMPTE_tc tc{};
    tc.ht = hours / 10, tc.hu = hours % 10;
    tc.mt = minutes / 10, tc.mu = minutes % 10;
    tc.st = seconds / 10, tc.su = seconds % 10;
    tc.ft = frames / 10, tc.fu = frames % 10;
    return tc;
}

}  // namespace

TEST(FormattedTime, ExpandsEscapesAndTypesEveryOtherCodeUnitAsItsLowByte) {
    SMPTE_tc damaged{};  // digits that are none print as the number they make
    damaged.hu = 15, damaged.mt = 10, damaged.mu = 5, damaged.st = -1, damaged.su = 2;
    const struct {
        std::u16string_view format;
        SMPTE_tc tc;
        std::string text;
    } cases[] = {
        {u"%N%H:%M:%S.%F%T", timeOf(1, 2, 3, 4), "\r01:02:03.04\t"},  // the default
        {u"%h:%m:%s:%f", timeOf(23, 59, 58, 29), "23:59:58:29"},
        {u"%H %M %S", damaged, "15 105 -8"},
        {u"%N%n%T%t%~", {}, "\r\n\t\a\b"},
        // Any other escape gives its second character; a final "%" is dropped.
        {u"%%H%x%5% %:%A", timeOf(1, 0, 0, 0), "%Hx5 :A"},
        {u"abc%", {}, "abc"},
        {u"%%%", {}, "%"},
        {u"", {}, ""},
        // An emoji is two code units, typed as two characters.
        {u"\u00e9\u0141\U0001F600\u0100", {}, "\xe9\x41\x3d\x00\x00"s},
        // Escapes match the whole unit: U+0125 ends in the byte of "%", U+0148 in that of "H".
        {u"\u0125H%\u0148%\u016e", timeOf(12, 0, 0, 0), "%HHn"},
    };
    for (const auto& [format, tc, text] : cases) EXPECT_EQ(formattedTime(format, tc), text);
}

// Which key types which character is not retyped here: only typing on a real
// display can tell. A lookup must write both outputs, whatever they held.
TEST(KeyCodeTable, WritesBothOutputsWhateverTheyHeld) {
    for (int c = 0; c < 256; ++c) {
        std::pair<int, bool> fromFalse{-1, false}, fromTrue{-2, true};
        getKeyCode(char(c), fromFalse.first, fromFalse.second);
        getKeyCode(char(c), fromTrue.first, fromTrue.second);
        EXPECT_EQ(fromFalse, fromTrue) << "character " << c;
    }
}
