#include <gtest/gtest.h>

#include <set>
#include <tuple>

#include "Datagram.h"
#include "network/TimecodeMessage.h"

using namespace std::string_literals;

namespace {

// 01:02:03:04 with user bits 1 2 3 4 A B C F.
SMPTE_tc studioValue() {
    SMPTE_tc tc{};
    tc.ht = 0, tc.hu = 1, tc.mt = 0, tc.mu = 2, tc.st = 0, tc.su = 3, tc.ft = 0, tc.fu = 4;
    tc.u1 = 1, tc.u2 = 2, tc.u3 = 3, tc.u4 = 4, tc.u5 = 10, tc.u6 = 11, tc.u7 = 12, tc.u8 = 15;
    return tc;
}

std::optional<TimecodeMessage> read(std::string_view bytes) {
    return readTimecodeMessage(Datagram(bytes).span());
}

// The record a message with this third line carries, for number 1.
SMPTE_tc readLine(std::string_view line) {
    const auto message = read("TCMD: 1\nNAME: x\n" + std::string(line) + "\n");
    EXPECT_TRUE(message) << line;
    return message ? message->timecode : SMPTE_tc{};
}

void expectSameFields(const SMPTE_tc& a, const SMPTE_tc& b) {
    EXPECT_EQ(std::tie(a.ht, a.hu, a.mt, a.mu, a.st, a.su, a.ft, a.fu),
              std::tie(b.ht, b.hu, b.mt, b.mu, b.st, b.su, b.ft, b.fu));
    EXPECT_EQ(std::tie(a.u1, a.u2, a.u3, a.u4, a.u5, a.u6, a.u7, a.u8),
              std::tie(b.u1, b.u2, b.u3, b.u4, b.u5, b.u6, b.u7, b.u8));
    EXPECT_EQ(std::tie(a.dropFrame, a.colorFrame, a.bpm, a.myId),
              std::tie(b.dropFrame, b.colorFrame, b.bpm, b.myId));
}

}  // namespace

TEST(TimecodeMessage, WritesThreeLinesWithFixedPositions) {
    const std::string message = makeTimecodeMessage(57, "mirel://studio", studioValue());
    const std::string expected = "TCMD: 57\nNAME: mirel://studio\nTC: 01:02:03.04 1234ABCF n ";
    ASSERT_EQ(message.size(), expected.size() + 2);
    EXPECT_EQ(message.substr(0, expected.size()), expected);
    EXPECT_TRUE(message[expected.size()] >= '0' && message[expected.size()] <= '9');
    EXPECT_EQ(message.back(), '\n');
    // 43 bytes besides the number and the name.
    EXPECT_EQ(message.size(), 43u + 2 + 14);
}

TEST(TimecodeMessage, WritesDropFrameAsTheLetterD) {
    SMPTE_tc tc = studioValue();
    tc.dropFrame = true;
    tc.colorFrame = true;  // not carried
    tc.bpm = true;         // not carried
    tc.myId = 7;           // not carried
    const std::string message = makeTimecodeMessage(-4, "mirel://caf\xc3\xa9", tc);
    const std::string expected = "TCMD: -4\nNAME: mirel://caf\xc3\xa9\nTC: 01:02:03.04 1234ABCF d ";
    EXPECT_EQ(message.substr(0, expected.size()), expected);
}

TEST(TimecodeMessage, DrawsADecimalDigitForEveryMessage) {
    std::set<char> digits;
    for (int i = 0; i < 1000; ++i) {
        const std::string message = makeTimecodeMessage(1, "n", SMPTE_tc{});
        const char digit = message[message.size() - 2];
        ASSERT_TRUE(digit >= '0' && digit <= '9') << digit;
        digits.insert(digit);
    }
    EXPECT_EQ(digits.size(), 10u);
}

TEST(TimecodeMessage, KeepsOneCharacterPerUserBitGroup) {
    SMPTE_tc tc = studioValue();
    tc.u1 = 16;
    tc.u8 = -6;
    const std::string message = makeTimecodeMessage(1, "n", tc);
    EXPECT_NE(message.find("\nTC: 01:02:03.04 0234ABCA n "), std::string::npos) << message;
}

TEST(TimecodeMessage, ReadsBackWhatItWrites) {
    SMPTE_tc tc = studioValue();
    for (bool drop : {false, true}) {
        tc.dropFrame = drop;
        const auto message = read(makeTimecodeMessage(57, "mirel://studio", tc));
        ASSERT_TRUE(message);
        EXPECT_EQ(message->number, 57);
        expectSameFields(message->timecode, tc);
    }
}

TEST(TimecodeMessage, ReadsDigitsAndUpperCaseHexAtFixedPositions) {
    const SMPTE_tc tc = readLine("TC: 23-59+58,29_0123456789ABCDEF");
    EXPECT_EQ(tc.h(), 23);
    EXPECT_EQ(tc.m(), 59);
    EXPECT_EQ(tc.s(), 58);
    EXPECT_EQ(tc.f(), 29);
    EXPECT_EQ(std::tie(tc.u1, tc.u2, tc.u3, tc.u4, tc.u5, tc.u6, tc.u7, tc.u8),
              std::make_tuple(0, 1, 2, 3, 4, 5, 6, 7));
    EXPECT_FALSE(tc.dropFrame);  // byte 25 is "9"

    const SMPTE_tc hex = readLine("TC: 00:00:00.00 89abcdef d 1");
    EXPECT_EQ(std::tie(hex.u1, hex.u2, hex.u3, hex.u4, hex.u5, hex.u6, hex.u7, hex.u8),
              std::make_tuple(8, 9, 0, 0, 0, 0, 0, 0));
    EXPECT_TRUE(hex.dropFrame);
    EXPECT_FALSE(readLine("TC: 00:00:00.00 GZ g~ :/ D 1").dropFrame);
}

TEST(TimecodeMessage, TakesTimeBytesAsTheyStand) {
    const SMPTE_tc tc = readLine("TC: :/x~ x\x7f\x01.00 00000000 n");
    EXPECT_EQ(tc.ht, 10);
    EXPECT_EQ(tc.hu, -1);
    EXPECT_EQ(tc.mt, 78);
    EXPECT_EQ(tc.mu, -16);
    EXPECT_EQ(tc.st, 79);
    EXPECT_EQ(tc.su, -47);
    // A multi-byte character reads as its bytes, counted unsigned.
    const SMPTE_tc wide = readLine("TC: \xc3\xa9:00:00.00 00000000 n");
    EXPECT_EQ(wide.ht, 0xc3 - '0');
    EXPECT_EQ(wide.hu, 0xa9 - '0');
}

TEST(TimecodeMessage, NeedsTheTimeLineToBeginWithItsPrefixAndHold26Bytes) {
    EXPECT_TRUE(read("TCMD: 1\nNAME: x\nTC: 01:02:03.04 1234ABCF d\n"));
    EXPECT_FALSE(read("TCMD: 1\nNAME: x\nTC: 01:02:03.04 1234ABCF \n"));
    EXPECT_FALSE(read("TCMD: 1\nNAME: x\nTC:01:02:03.04 1234ABCF n 1\n"));
    EXPECT_FALSE(read("TCMD: 1\nNAME: x\ntc: 01:02:03.04 1234ABCF n 1\n"));
    EXPECT_FALSE(read("TCMD: 1\nNAME: x\nXX: 01:02:03.04 1234ABCF n 1\n"));
}

TEST(TimecodeMessage, ReadsTheNumberAfterFiveBytesOfTheFirstLine) {
    const std::string rest = "\nNAME: x\nTC: 01:02:03.04 1234ABCF n 1\n";
    EXPECT_EQ(read("TCMD: -12" + rest)->number, -12);
    EXPECT_EQ(read("TCMD:" + rest)->number, 0);
    EXPECT_EQ(read("ABCDE\t+8 and more" + rest)->number, 8);
    EXPECT_FALSE(read("TCMD" + rest));
    // Line 2 is not read at all.
    EXPECT_EQ(read("TCMD: 3\n\nTC: 01:02:03.04 1234ABCF n 1\n")->number, 3);
}

TEST(TimecodeMessage, NeedsExactlyThreeLineFeeds) {
    const std::string message = makeTimecodeMessage(1, "n", studioValue());
    EXPECT_TRUE(read(message));
    EXPECT_FALSE(read(message.substr(0, message.size() - 1)));
    EXPECT_FALSE(read(message + "\n"));
    EXPECT_FALSE(read("TCMD: 1\nNAME: two\nlines\nTC: 01:02:03.04 1234ABCF n 1\n"));
}

TEST(TimecodeMessage, IgnoresBytesThatAreNotUtf8) {
    EXPECT_FALSE(read("TCMD: 1\nNAME: \xfe\nTC: 01:02:03.04 1234ABCF n 1\n"));
    EXPECT_FALSE(read("TCMD: 1\nNAME: x\nTC: 01:02:03.04 1234ABCF n \xc3\n"));
    EXPECT_TRUE(read("TCMD: 1\nNAME: x\nTC: 01:02:03.04 1234ABCF n 1\n\0\xfe"s));
}

TEST(TimecodeMessage, SurvivesEmptyAndFullSizedDatagrams) {
    EXPECT_FALSE(read(""));
    EXPECT_FALSE(read("\0"s));
    EXPECT_FALSE(read(std::string(2000, '\n')));
    EXPECT_FALSE(read(std::string(2000, '\0')));
    const std::string fullSize = makeTimecodeMessage(1, std::string(2000 - 44, 'n'), studioValue());
    ASSERT_EQ(fullSize.size(), 2000u);
    EXPECT_TRUE(read(fullSize));
    // A time line cut short by the end of the datagram.
    EXPECT_FALSE(read("TCMD: 1\nNAME: x\nTC: 01:02:03.04 1234"));
}
