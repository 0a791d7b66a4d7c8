// The protocol as another copy sees it: plain sockets and hand-written bytes
// on one side, the real sender or receiver on the other. Nothing here uses
// Mirel's own message code, so a change that moves a byte on the wire fails
// here even if both of our sides would still agree with each other.

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "FakeNetServices.h"
#include "RecordingDelegate.h"
#include "UdpPeer.h"
#include "network/TimecodeReceiver.h"
#include "network/TimecodeSender.h"
#include "platform/LogCapture.h"

using namespace std::chrono_literals;

namespace {

class TimecodeProtocolTest : public ::testing::Test {
protected:
    FakeNetServices services;
    LogCapture log;
};

}  // namespace

TEST_F(TimecodeProtocolTest, SenderAnswersASubscriptionWithThreeLinesOfFixedLayout) {
    TimecodeSender sender;
    sender.setBonjourName("mirel://studio");
    UdpPeer peer;
    peer.sendTo(sender.chosenPort(), "TCMDPing: #57\n");
    ASSERT_TRUE(eventually([&] { return sender.clientsCurrentlyConnected() == 1; }));

    SMPTE_tc tc{};
    tc.ht = 0, tc.hu = 1, tc.mt = 0, tc.mu = 2, tc.st = 0, tc.su = 3, tc.ft = 0, tc.fu = 4;
    tc.u1 = 1, tc.u2 = 2, tc.u3 = 3, tc.u4 = 4, tc.u5 = 10, tc.u6 = 11, tc.u7 = 12, tc.u8 = 15;
    tc.colorFrame = true, tc.bpm = true, tc.myId = 5;
    const std::string head = "TCMD: 57\nNAME: mirel://studio\nTC: 01:02:03.04 1234ABCF ";

    std::set<char> digits;
    for (bool dropFrame : {false, true}) {
        tc.dropFrame = dropFrame;
        for (int i = 0; i < 40; ++i) {
            sender.sendTimecodeToAllClients(&tc);
            const auto bytes = peer.receive();
            ASSERT_TRUE(bytes);
            ASSERT_EQ(bytes->size(), head.size() + 4) << *bytes;
            EXPECT_EQ(bytes->substr(0, head.size()), head);
            EXPECT_EQ((*bytes)[head.size()], dropFrame ? 'd' : 'n');
            EXPECT_EQ((*bytes)[head.size() + 1], ' ');
            const char digit = (*bytes)[head.size() + 2];
            EXPECT_TRUE(digit >= '0' && digit <= '9') << *bytes;
            digits.insert(digit);
            EXPECT_EQ(bytes->back(), '\n');
        }
    }
    EXPECT_GT(digits.size(), 1u) << "the last digit is drawn afresh for each message";
    // The source port of the answers is the published one.
    EXPECT_EQ(ntohs(peer.lastSource.sin_port), services.made[0]->port());
}

TEST_F(TimecodeProtocolTest, ReceiverTakesHandWrittenMessagesForTheNumberItAnnounced) {
    RecordingDelegate delegate;
    TimecodeReceiver receiver;
    receiver.setDelegate(&delegate);
    UdpPeer peer;
    auto source = std::make_shared<FakeNetService>("mirel://peer");
    source->resolveToLoopback(peer.port());
    receiver.subscribeToTimeSource(source);

    const auto subscription = peer.receive();
    ASSERT_TRUE(subscription);
    ASSERT_TRUE(subscription->starts_with("TCMDPing: #")) << *subscription;
    ASSERT_EQ(subscription->back(), '\n');
    const int number = std::stoi(subscription->substr(11));
    EXPECT_GE(number, 0);
    EXPECT_LT(number, 500);
    const std::string head = "TCMD: " + std::to_string(number) + "\nNAME: anything\n";
    const sockaddr_in receiverAddress = peer.lastSource;

    // Not taken: no final line feed, then a foreign number.
    peer.sendTo(receiverAddress, head + "TC: 11:11:11.11 00000000 n 0");
    peer.sendTo(receiverAddress, "TCMD: " + std::to_string(number + 1) +
                                     "\nNAME: x\nTC: 12:12:12.12 00000000 n 0\n");
    peer.sendTo(receiverAddress, head + "TC: 10:20:30.12 0123456F d 4\n");
    auto value = delegate.next();
    ASSERT_TRUE(value);
    EXPECT_EQ(value->h(), 10);
    EXPECT_EQ(value->m(), 20);
    EXPECT_EQ(value->s(), 30);
    EXPECT_EQ(value->f(), 12);
    EXPECT_EQ(value->u1, 0);
    EXPECT_EQ(value->u2, 1);
    EXPECT_EQ(value->u7, 6);
    EXPECT_EQ(value->u8, 15);
    EXPECT_TRUE(value->dropFrame);
    EXPECT_FALSE(value->colorFrame);
    EXPECT_FALSE(value->bpm);
    EXPECT_EQ(value->myId, 0);

    // Lower-case hexadecimal is no user-bit digit; the trailing digit is not read.
    peer.sendTo(receiverAddress, head + "TC: 00:00:00.01 abcdef12 n\n");
    value = delegate.next();
    ASSERT_TRUE(value);
    EXPECT_EQ(value->f(), 1);
    EXPECT_EQ(value->u1 + value->u2 + value->u3 + value->u4 + value->u5 + value->u6, 0);
    EXPECT_EQ(value->u7, 1);
    EXPECT_FALSE(value->dropFrame);
    EXPECT_EQ(delegate.count(), 2u);
}
