#include <gtest/gtest.h>

#include <string>

#include "FakeNetServices.h"
#include "RecordingDelegate.h"
#include "UdpPeer.h"
#include "network/TimecodeReceiver.h"
#include "network/TimecodeSender.h"
#include "platform/LogCapture.h"

using namespace std::chrono_literals;

namespace {

// A timecode message as a sender writes it; the frames tell values apart.
std::string message(int number, int frames) {
    return "TCMD: " + std::to_string(number) + "\nNAME: mirel://peer\nTC: 01:02:03." +
           (frames < 10 ? "0" : "") + std::to_string(frames) + " 00000000 n 0\n";
}

std::string ping(int number) {
    return "TCMDPing: #" + std::to_string(number) + "\n";
}

std::shared_ptr<FakeNetService> sourceAt(const UdpPeer& peer, const std::string& name = "peer") {
    auto source = std::make_shared<FakeNetService>(name);
    source->resolveToLoopback(peer.port());
    return source;
}

// Reads subscription messages until one with this number; the receiver's
// address, which has no port until its first send, is then in lastSource.
bool awaitPing(UdpPeer& peer, int number) {
    const auto end = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < end) {
        if (peer.receive(100ms) == ping(number)) return true;
    }
    return false;
}

class TimecodeReceiverTest : public ::testing::Test {
protected:
    void SetUp() override { receiver.setDelegate(&delegate); }
    FakeNetServiceBrowser& browser() { return *services.browsers.back(); }

    FakeNetServices services;
    RecordingDelegate delegate;
    TimecodeReceiver receiver{120};
};

}  // namespace

TEST_F(TimecodeReceiverTest, ListsTheSourcesItFindsAndPassesTheEventsOn) {
    EXPECT_EQ(browser().type, "_mirel._udp.");
    EXPECT_EQ(browser().domain, "");
    auto a = std::make_shared<FakeNetService>("mirel://a");
    auto same1 = std::make_shared<FakeNetService>("mirel://same");
    auto same2 = std::make_shared<FakeNetService>("mirel://same");
    browser().find(a, true);
    browser().find(same1, true);
    browser().find(same2, false);

    EXPECT_EQ(receiver.visibleTimecodeSources(),
              (std::vector<std::shared_ptr<NetService>>{a, same1, same2}));
    EXPECT_EQ(same2->resolveTimeouts, std::vector<double>{5.0});
    ASSERT_EQ(delegate.found.size(), 3u);
    EXPECT_EQ(delegate.found[1].service, same1);
    EXPECT_TRUE(delegate.found[1].moreComing);
    EXPECT_FALSE(delegate.found[2].moreComing);
    EXPECT_EQ(receiver.getSourceForUrl("mirel://same"), same1);
    EXPECT_EQ(receiver.getSourceForUrl("mirel://a"), a);
    EXPECT_EQ(receiver.getSourceForUrl("mirel://network/mirel%3A%2F%2Fa"), nullptr);

    browser().remove(same1, false);
    EXPECT_EQ(receiver.getSourceForUrl("mirel://same"), same2);
    ASSERT_EQ(delegate.removed.size(), 1u);
    EXPECT_EQ(delegate.removed[0].service, same1);

    receiver.setDelegate(nullptr);
    browser().find(same1, false);
    browser().remove(a, false);
    EXPECT_EQ(delegate.found.size(), 3u);
    EXPECT_EQ(delegate.removed.size(), 1u);
}

TEST_F(TimecodeReceiverTest, AcceptsOnlyTheNumbersOfCurrentSubscriptions) {
    UdpPeer peer, otherPeer;
    auto source = sourceAt(peer);
    receiver.subscribeToTimeSource(source);
    ASSERT_TRUE(awaitPing(peer, 120));
    const sockaddr_in receiverAddress = peer.lastSource;

    peer.sendTo(receiverAddress, message(119, 1));
    peer.sendTo(receiverAddress, message(121, 2));
    peer.sendTo(receiverAddress, message(120, 3));
    auto value = delegate.next();
    ASSERT_TRUE(value);
    EXPECT_EQ(value->f(), 3);
    EXPECT_EQ(value->myId, 0);

    // Leaving the only source moves the base by one subscription plus 2;
    // whatever is still on its way from it is stale.
    receiver.unsubscribeToTimeSource(source);
    EXPECT_EQ(receiver.subscribedServicesCount(), 0);
    receiver.subscribeToTimeSource(source);
    ASSERT_TRUE(awaitPing(peer, 123));
    peer.sendTo(receiverAddress, message(120, 4));
    peer.sendTo(receiverAddress, message(123, 5));
    value = delegate.next();
    ASSERT_TRUE(value);
    EXPECT_EQ(value->f(), 5);

    // With nothing subscribed, a null source moves the base by 2 alone.
    receiver.unsubscribeToTimeSource(source);
    receiver.unsubscribeToTimeSource(nullptr);
    receiver.subscribeToTimeSource(source);
    receiver.subscribeToTimeSource(sourceAt(otherPeer));
    ASSERT_TRUE(awaitPing(peer, 128));
    ASSERT_TRUE(awaitPing(otherPeer, 129));
    otherPeer.sendTo(receiverAddress, message(129, 6));
    value = delegate.next();
    ASSERT_TRUE(value);
    EXPECT_EQ(value->f(), 6);
    EXPECT_EQ(value->myId, 1);
    EXPECT_EQ(delegate.count(), 3u);
}

TEST_F(TimecodeReceiverTest, SubscribesToASourceOnlyOnceItIsResolvedToAnAddress) {
    LogCapture log;
    UdpPeer peer;
    auto source = std::make_shared<FakeNetService>("peer");
    receiver.subscribeToTimeSource(source);
    EXPECT_FALSE(peer.receive(1500ms));
    EXPECT_TRUE(log.lines().empty()) << "an unresolved source is skipped silently";

    source->resolve(peer.port(), {});
    ASSERT_TRUE(eventually([&] { return !log.lines().empty(); }));
    EXPECT_EQ(log.lines().front(), "No addresses avaliable");
    EXPECT_FALSE(peer.receive(0ms));

    source->resolveToLoopback(peer.port());
    EXPECT_TRUE(awaitPing(peer, 120));
    EXPECT_TRUE(awaitPing(peer, 120));
}

TEST_F(TimecodeReceiverTest, TakesTimecodeFromARealSenderOverLoopback) {
    TimecodeSender sender;
    {
        LogCapture quiet;
        sender.setBonjourName("mirel://studio");
    }
    auto source = std::make_shared<FakeNetService>("mirel://studio");
    browser().find(source);
    source->resolveToLoopback(sender.chosenPort());
    receiver.subscribeToTimeSource(receiver.getSourceForUrl("mirel://studio"));
    ASSERT_TRUE(eventually([&] { return sender.clientsCurrentlyConnected() == 1; }));

    SMPTE_tc sent{};
    sent.ht = 2, sent.hu = 3, sent.mt = 5, sent.mu = 9, sent.st = 5, sent.su = 8, sent.ft = 2;
    sent.fu = 9, sent.u1 = 15, sent.u8 = 10, sent.dropFrame = true, sent.colorFrame = true;
    sent.myId = 7;
    sender.sendTimecodeToAllClients(&sent);
    const auto value = delegate.next();
    ASSERT_TRUE(value);
    EXPECT_EQ(value->h() * 1000000 + value->m() * 10000 + value->s() * 100 + value->f(), 23595829);
    EXPECT_EQ(value->u1, 15);
    EXPECT_EQ(value->u8, 10);
    EXPECT_TRUE(value->dropFrame);
    EXPECT_FALSE(value->colorFrame);
    EXPECT_EQ(value->myId, 0);
}

// As in the program: nothing is torn down, and the process ends while the
// threads are blocked in their receives or on their way to the delegate.
void exitWhileTimecodeFlows() {
    new FakeNetServices;
    auto* sender = new TimecodeSender;
    sender->setBonjourName("mirel://studio");
    auto* delegate = new RecordingDelegate;
    auto* receiver = new TimecodeReceiver;
    receiver->setDelegate(delegate);
    auto source = std::make_shared<FakeNetService>("mirel://studio");
    source->resolveToLoopback(sender->chosenPort());
    receiver->subscribeToTimeSource(source);
    SMPTE_tc tc{};
    while (delegate->count() < 100) sender->sendTimecodeToAllClients(&tc);
    std::exit(0);
}

TEST(TimecodeReceiverDeathTest, LetsTheProcessExitWhileTimecodeFlows) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(exitWhileTimecodeFlows(), ::testing::ExitedWithCode(0), "");
}
