#include <gtest/gtest.h>

#include <climits>

#include "Datagram.h"
#include "network/SubscriptionMessage.h"

using namespace std::string_literals;

namespace {

std::optional<int> read(std::string_view bytes) {
    return readSubscriptionMessage(Datagram(bytes).span());
}

}  // namespace

TEST(SubscriptionMessage, WritesPrefixNumberAndLineFeed) {
    EXPECT_EQ(makeSubscriptionMessage(57), "TCMDPing: #57\n");
    EXPECT_EQ(makeSubscriptionMessage(-3), "TCMDPing: #-3\n");
    EXPECT_EQ(makeSubscriptionMessage(0), "TCMDPing: #0\n");
    EXPECT_EQ(makeSubscriptionMessage(INT_MIN), "TCMDPing: #-2147483648\n");
}

TEST(SubscriptionMessage, ReadsBackWhatItWrites) {
    for (int number : {0, 1, 57, -3, 1000000, INT_MAX, INT_MIN}) {
        EXPECT_EQ(read(makeSubscriptionMessage(number)), number);
    }
}

TEST(SubscriptionMessage, NeedsExactlyOneLineFeed) {
    EXPECT_FALSE(read("TCMDPing: #57"));
    EXPECT_FALSE(read("TCMDPing: #57\nTCMDPing: #58\n"));
    EXPECT_FALSE(read("TCMDPing: #57\n\n"));
    EXPECT_FALSE(read("\n"));
    // Two pieces all the same: what trails the line feed is not looked at.
    EXPECT_EQ(read("TCMDPing: #57\nrest"), 57);
}

TEST(SubscriptionMessage, ReadsTheNumberAfterElevenBytesOfAnyPrefix) {
    EXPECT_EQ(read("TCMDPing: #not a number\n"), 0);
    EXPECT_EQ(read("TCMDPing: #\n"), 0);
    EXPECT_EQ(read("xxxxxxxxxxx42\n"), 42);
    // "é" is two bytes: the prefix is counted in bytes, not characters.
    EXPECT_EQ(read("TCMDPing\xc3\xa9#5\n"), 5);
    EXPECT_FALSE(read("TCMDPing: \n"));
    EXPECT_FALSE(read("\n"));
}

TEST(SubscriptionMessage, ReadsUpToTheFirstZeroByteAndIgnoresBadUtf8) {
    EXPECT_EQ(read("TCMDPing: #5\n\0\xff\n\n"s), 5);
    EXPECT_FALSE(read("TCMDPing: #5\0\n"s));
    EXPECT_FALSE(read("TCMDPing: #5\xff\n"));
    EXPECT_FALSE(read("TCMDPing: #5\n\xff"));
    EXPECT_FALSE(read("TCMD\xc0\xafing: #5\n"));
}

TEST(SubscriptionMessage, SurvivesEmptyAndFullSizedDatagrams) {
    EXPECT_FALSE(read(""));
    EXPECT_FALSE(read(std::string(2000, 'A')));
    EXPECT_FALSE(read(std::string(2000, '\n')));
    EXPECT_EQ(read("TCMDPing: #" + std::string(1988, '0') + "\n"), 0);
    EXPECT_EQ(read("TCMDPing: #" + std::string(1987, '9') + "\n"), INT_MAX);
}
