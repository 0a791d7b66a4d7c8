// What the two readers take from a datagram, rule by rule. Staying within the bytes and
// round trips are the fuzzers' business; the wire layout is checked on real sockets.

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "RecordingDelegate.h"
#include "network/SubscriptionMessage.h"
#include "network/TimecodeMessage.h"

using namespace std::string_literals;

namespace {

// In a heap block of exactly their size with no zero after: AddressSanitizer sees any overread.
template <auto read>
auto readExactly(std::string_view bytes) {
    const auto block = std::make_unique<char[]>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), block.get());
    return read(std::span<const char>(block.get(), bytes.size()));
}

}  // namespace

TEST(SubscriptionMessage, ReadsTheNumberAfterElevenBytesOfTheOnlyLine) {
    const std::string p = "TCMDPing: #";
    const auto read = readExactly<readSubscriptionMessage>;
    // Not exactly one line feed; fewer than eleven bytes before it; text up to the first
    // zero byte that is not UTF-8, a sequence cut short by the end not completed from beyond.
    for (const std::string& bytes :
         {p + "57", p + "57\n" + p + "58\n", std::string(2000, '\n'), "TCMDPing: \n"s, ""s,
          p + "5\0\n"s, p + "5\xff\n", p + "5\x80\n", p + "5\xc0\x80\n", p + "5\xed\xa0\x80\n",
          p + "5\xf4\x90\x80\x80\n", p + "5\n\xc3"})
        EXPECT_FALSE(read(bytes)) << ::testing::PrintToString(bytes);
    // White space and a sign, then digits up to the first that is none.
    for (const char* none : {"", "x1", "+", "- 5", "+-5", "--5", "\xc2\xa0\x35"})
        EXPECT_EQ(read(p + none + "\n"), 0) << none;
    const std::pair<std::string, int> cases[] = {
        {p + "57\nrest", 57},  // what trails the line feed is not looked at
        {"xxxxxxxxxxx42\n", 42},
        {"TCMDPing\xc3\xa9#5\n", 5},  // bytes, not characters
        {p + "5\n\0\xff\n\n"s, 5},
        {p + " \t\v\f\r-8\n", -8},
        {p + "+0042\n", 42},
        {p + "12ab3\n", 12},
        {p + "12 3\n", 12},
        // Saturated: wrapping could make a huge number one of a live subscription.
        {p + "2147483647\n", INT_MAX},
        {p + "-2147483648\n", INT_MIN},
        {p + "2147483648\n", INT_MAX},
        {p + "-2147483649\n", INT_MIN},
        {p + std::string(1987, '9') + "\n", INT_MAX},
        {p + std::string(1987, '0') + "1\n", 1}};
    for (const auto& [bytes, number] : cases)
        EXPECT_EQ(read(bytes), number) << ::testing::PrintToString(bytes);
}

TEST(TimecodeMessage, ReadsTheNumberAndATimeLineOfFixedPositions) {
    const std::string head = "TCMD: 1\nNAME: x\n";
    const std::string line = "TC: 01:02:03.04 1234ABCF n 1\n";
    const auto read = readExactly<readTimecodeMessage>;
    // No sender writes these; read as 00:00:00.00 they would make the clock jump: a time line not
    // beginning "TC: " or under 26 bytes, not three line feeds, text to the first zero not UTF-8.
    for (const std::string& bytes :
         {head + "TC: 01:02:03.04 1234ABCF \n", head + "TC:01:02:03.04 1234ABCF n 1\n",
          head + "tc: 01:02:03.04 1234ABCF n 1\n", head + "TC: 01:02:03.04 1234",
          head + line + "\n", head + line.substr(0, 28), "TCMD: 1\nNAME: two\nlines\n" + line,
          "TCMD: 1\nNAME: \xfe\n" + line, head + "TC: 01:02:03.04 1234ABCF n \xc3\n",
          "TCMD\nNAME: x\n" + line, ""s, "\0"s, std::string(2000, '\0')})
        EXPECT_FALSE(read(bytes)) << ::testing::PrintToString(bytes);
    const std::string value = "01:02:03.04 1234ABCF non-drop id 0";
    const std::pair<std::string, std::string> cases[] = {
        {head + line, "1 " + value},
        {"TCMD: 1\nNAME: caf\xc3\xa9 \xe2\x82\xac\n" + line, "1 " + value},
        {head + line + "\0\xfe"s, "1 " + value},
        {"TCMD: 1\nNAME: " + std::string(1956, 'n') + "\n" + line, "1 " + value},  // 2000 bytes
        // Separators are not looked at; a user-bit group is an upper-case hex digit or
        // else 0; only a "d" in byte 25 is drop frame, and the digit after it may be missing.
        {head + "TC: 23-59+58,29_0123456789ABCDEF\n", "1 23:59:58.29 01234567 non-drop id 0"},
        {head + "TC: 00:00:00.00 89abcdef d\n", "1 00:00:00.00 89000000 drop id 0"},
        {head + "TC: 00:00:00.00 GZ g~ :/ D 1\n", "1 00:00:00.00 00000000 non-drop id 0"},
        // A time digit is its byte less "0", unchecked, the byte unsigned on every processor.
        {head + "TC: :/x~ x\x7f\x01.00 00000000 n\n",
         "1 10-1:78-16:79-47.00 00000000 non-drop id 0"},
        {head + "TC: \xc3\xa9:00:00.00 00000000 n\n", "1 147121:00:00.00 00000000 non-drop id 0"},
        // The number follows the first five bytes; the second line is not read.
        {"TCMD: -12\nNAME: x\n" + line, "-12 " + value},
        {"TCMD:\nNAME: x\n" + line, "0 " + value},
        {"ABCDE\t+8 and more\nNAME: x\n" + line, "8 " + value},
        {"TCMD: 3\n\n" + line, "3 " + value}};
    for (const auto& [bytes, expected] : cases) {
        const auto message = read(bytes);
        EXPECT_EQ(message ? std::to_string(message->number) + " " + describe(message->timecode)
                          : "nothing",
                  expected)
            << ::testing::PrintToString(bytes);
    }
}
