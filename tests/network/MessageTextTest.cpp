#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "Datagram.h"
#include "network/MessageText.h"

using namespace std::string_literals;

TEST(MessageText, EndsAtTheFirstZeroByteOrTheLastByte) {
    EXPECT_EQ(messageText(Datagram("TCMD\n").span()), "TCMD\n");
    EXPECT_EQ(messageText(Datagram("ab\0cd"s).span()), "ab");
    EXPECT_EQ(messageText(Datagram("\0"s).span()), "");
    EXPECT_EQ(messageText(Datagram("").span()), "");
    // What follows the zero byte is not text, so it need not be UTF-8 either.
    EXPECT_EQ(messageText(Datagram("ok\0\xff"s).span()), "ok");
}

TEST(MessageText, RejectsBytesThatAreNotUtf8) {
    EXPECT_EQ(messageText(Datagram("caf\xc3\xa9 \xe2\x82\xac").span()), "caf\xc3\xa9 \xe2\x82\xac");
    for (const char* bad :
         {"\xff", "\x80", "a\xc3", "\xc0\x80", "\xed\xa0\x80", "\xf4\x90\x80\x80"}) {
        EXPECT_FALSE(messageText(Datagram(bad).span())) << bad;
    }
    // A sequence cut short by the end of the datagram is not completed from
    // whatever lies after it in memory.
    const std::string buffer = "x\xc3\xa9";
    EXPECT_FALSE(messageText(std::span(buffer.data(), 2)));
}

TEST(MessageText, AcceptsOnlyTheExactPieceCount) {
    const auto lines = messageLines("one\ntwo\n", 3);
    ASSERT_TRUE(lines);
    EXPECT_EQ(*lines, (std::vector<std::string_view>{"one", "two", ""}));
    EXPECT_FALSE(messageLines("one\ntwo\n", 2));
    EXPECT_FALSE(messageLines("one\ntwo\n", 4));
    EXPECT_EQ(messageLines("", 1)->front(), "");
    EXPECT_EQ(messageLines("\n\n\n", 4)->size(), 4u);
}

TEST(MessageText, ReadsAnOptionalSignAfterWhiteSpaceThenDigits) {
    EXPECT_EQ(messageInteger("57"), 57);
    EXPECT_EQ(messageInteger("+57"), 57);
    EXPECT_EQ(messageInteger("-57"), -57);
    EXPECT_EQ(messageInteger(" \t\v\f\r-8"), -8);
    EXPECT_EQ(messageInteger("0042"), 42);
    EXPECT_EQ(messageInteger("12ab3"), 12);
    EXPECT_EQ(messageInteger("12 3"), 12);
}

TEST(MessageText, ReadsZeroWhenNoDigitsFollow) {
    for (const char* text : {"", "   ", "x1", "+", "-", "- 5", "+-5", "-+5", "--5", "\n5",
                             "\xc2\xa0"
                             "5"}) {
        EXPECT_EQ(messageInteger(text), 0) << text;
    }
}

TEST(MessageText, SaturatesNumbersBeyondTheIntegerRange) {
    EXPECT_EQ(messageInteger("2147483647"), INT_MAX);
    EXPECT_EQ(messageInteger("-2147483648"), INT_MIN);
    EXPECT_EQ(messageInteger("2147483648"), INT_MAX);
    EXPECT_EQ(messageInteger("-2147483649"), INT_MIN);
    EXPECT_EQ(messageInteger(std::string(1990, '9')), INT_MAX);
    EXPECT_EQ(messageInteger("00000000000000000000000001"), 1);
}
