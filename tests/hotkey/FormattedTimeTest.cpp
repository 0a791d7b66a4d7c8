#include <gtest/gtest.h>

#include <string>

#include "hotkey/FormattedTime.h"

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

constexpr std::u16string_view kDefaultFormat = u"%N%H:%M:%S.%F%T";

}  // namespace

TEST(FormattedTime, ExpandsTheDefaultFormat) {
    EXPECT_EQ(formattedTime(kDefaultFormat, timeOf(1, 2, 3, 4)), "\r01:02:03.04\t");
    EXPECT_EQ(formattedTime(kDefaultFormat, SMPTE_tc{}), "\r00:00:00.00\t");
    EXPECT_EQ(formattedTime(u"%H%M%S%F", timeOf(10, 0, 0, 0)), "10000000");
    EXPECT_EQ(formattedTime(u"%h:%m:%s:%f", timeOf(23, 59, 58, 29)), "23:59:58:29");
}

TEST(FormattedTime, PrintsTheNumberTheDigitsMakeEvenOutsideTwoDigits) {
    SMPTE_tc tc{};
    tc.hu = 15;  // a units group that is no decimal digit
    tc.mt = 10;
    tc.mu = 5;
    tc.st = -1;
    tc.su = 2;
    EXPECT_EQ(formattedTime(u"%H %M %S", tc), "15 105 -8");
}

TEST(FormattedTime, TurnsLetterEscapesIntoControlCharacters) {
    EXPECT_EQ(formattedTime(u"%N%n%T%t%~", SMPTE_tc{}), "\r\n\t\a\b");
}

TEST(FormattedTime, TakesAnyOtherEscapeAsItsSecondCharacter) {
    EXPECT_EQ(formattedTime(u"%%H", timeOf(1, 0, 0, 0)), "%H");
    EXPECT_EQ(formattedTime(u"%x%5% %:", SMPTE_tc{}), "x5 :");
    EXPECT_EQ(formattedTime(u"%A%D%U", SMPTE_tc{}), "ADU");
}

TEST(FormattedTime, DropsAFinalPercentSign) {
    EXPECT_EQ(formattedTime(u"abc%", SMPTE_tc{}), "abc");
    EXPECT_EQ(formattedTime(u"%", SMPTE_tc{}), "");
    EXPECT_EQ(formattedTime(u"%%%", SMPTE_tc{}), "%");
    EXPECT_EQ(formattedTime(u"", SMPTE_tc{}), "");
}

TEST(FormattedTime, KeepsTheLowEightBitsOfEveryCodeUnit) {
    EXPECT_EQ(formattedTime(u"\u00e9\u0141", SMPTE_tc{}), "\xe9\x41");
    // An emoji is two code units, typed as two characters.
    EXPECT_EQ(formattedTime(u"\U0001F600", SMPTE_tc{}), "\x3d\x00"s);
    EXPECT_EQ(formattedTime(u"\u0100", SMPTE_tc{}), "\0"s);
}

TEST(FormattedTime, MatchesEscapesOnTheWholeCodeUnit) {
    const SMPTE_tc tc = timeOf(12, 0, 0, 0);
    // U+0125 ends in the byte of "%" and U+0148 in that of "H"; neither is one.
    EXPECT_EQ(formattedTime(u"\u0125H", tc), "%H");
    EXPECT_EQ(formattedTime(u"%\u0148", tc), "H");
    EXPECT_EQ(formattedTime(u"%\u016e", tc), "n");
}
