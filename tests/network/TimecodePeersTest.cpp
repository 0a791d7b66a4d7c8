// Sender and receiver against hand-written bytes: a byte moved fails even if both sides agree.

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <deque>
#include <set>
#include <string>
#include <vector>

#include "FakeNetServices.h"
#include "RecordingDelegate.h"
#include "UdpPeer.h"
#include "network/TimecodeReceiver.h"
#include "network/TimecodeSender.h"
#include "platform/LogCapture.h"
#include "tests/platform/MainLoop.h"

using namespace std::chrono_literals;
using namespace std::string_literals;

namespace {

const auto ping = [](int number) { return "TCMDPing: #" + std::to_string(number) + "\n"; };

// A timecode message as another copy writes it; the frames tell values apart.
std::string message(int number, int frames, const std::string& rest = " 00000000 n 0\n") {
    return "TCMD: " + std::to_string(number) + "\nNAME: mirel://peer\nTC: 01:02:03." +
           (frames < 10 ? "0" : "") + std::to_string(frames) + rest;
}

class TimecodeSenderTest : public ::testing::Test {
protected:
    void SetUp() override { sender.setBonjourName("mirel://studio"); }

    /// Subscribes and waits until the sender has taken it; its slot or -1.
    int subscribe(const UdpPeer& peer, int number) {
        peer.sendTo(sender.chosenPort(), ping(number));
        runMainLoopUntil([&] { return sender.slotOf(peer.address()) >= 0; });
        return sender.slotOf(peer.address());
    }
    /// Sends until `peer` gets message `number`: the sender has read all sent to it before.
    bool sendUntil(UdpPeer& peer, int number) {
        return runMainLoopUntil([&] {
            sender.sendTimecodeToAllClients(&value);
            while (auto message = peer.receive(20ms))
                if (message->starts_with("TCMD: " + std::to_string(number) + "\n")) return true;
            return false;
        });
    }

    FakeNetServices services;
    LogCapture log;  // keeps the system log quiet
    std::atomic<time_t> now{1'000'000};
    SMPTE_tc value{};
    TimecodeSender sender{[this] { return now.load(); }};
};

class TimecodeReceiverTest : public ::testing::Test {
protected:
    void SetUp() override { receiver.setDelegate(&delegate); }

    /// A subscription's number, or -1; then `to` holds the receiver's address (no port before).
    int pinged(UdpPeer& peer) {
        const std::string bytes = peer.receive().value_or("");
        to = peer.lastSource;
        const int number = bytes.size() > 11 ? std::atoi(&bytes[11]) : -1;
        return bytes == ping(number) ? number : -1;
    }

    FakeNetServices services;
    RecordingDelegate delegate;
    TimecodeReceiver receiver;
    sockaddr_in to{};
};

}  // namespace

TEST(TimecodeSenderPublishing, PublishesTheBoundPortOnceForEachNameAndWithdrawsItAtTheEnd) {
    FakeNetServices services;
    LogCapture log;
    auto sender = std::make_unique<TimecodeSender>();
    sender->setBonjourName("mirel://studio");
    sender->setBonjourName("mirel://studio");
    ASSERT_EQ(services.made.size(), 1u);
    const FakeNetService& first = *services.made[0];
    EXPECT_EQ(std::make_tuple(first.name(), first.type(), first.port(), first.publishes),
              std::make_tuple("mirel://studio"s, "_mirel._udp."s, sender->chosenPort(), 1));

    // A new name republishes the same socket: another would leave a listener nobody is told of.
    sender->setBonjourName("mirel://stage");
    ASSERT_EQ(services.made.size(), 2u);
    EXPECT_EQ(std::make_tuple(first.stops, services.made[1]->name(), services.made[1]->port()),
              std::make_tuple(1, "mirel://stage"s, sender->chosenPort()));
    EXPECT_EQ(log.lines(), std::vector{"Listening on port #" + std::to_string(first.port())});

    // Its own clock counts real seconds: a subscriber goes five whole seconds after, not before.
    UdpPeer peer;
    peer.sendTo(sender->chosenPort(), ping(1));
    ASSERT_TRUE(runMainLoopUntil([&] { return sender->clientsCurrentlyConnected() == 1; }));
    const auto taken = std::chrono::steady_clock::now();
    ASSERT_TRUE(runMainLoopUntil([&] {
        sender->sendTimecodeToAllClients(nullptr);  // expires, sends nothing
        return sender->clientsCurrentlyConnected() == 0;
    }));
    EXPECT_GE(std::chrono::steady_clock::now() - taken, 4900ms);
    sender.reset();
    EXPECT_EQ(services.made[1]->stops, 1);
}

TEST(TimecodeSenderDeathTest, EndsTheProcessWhenItCannotOpenItsSocket) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    FakeNetServices services;
    TimecodeSender sender;
    const rlimit none{0, 0};
    EXPECT_EXIT(
        {
            setrlimit(RLIMIT_NOFILE, &none);  // may open no descriptor at all
            sender.setBonjourName("mirel://studio");
        },
        ::testing::ExitedWithCode(1), "socket: ");
}

TEST_F(TimecodeSenderTest, AnswersInFixedLayoutFromThePublishedPortThroughNearMisses) {
    UdpPeer peer;
    ASSERT_EQ(subscribe(peer, 57), 0);
    value.hu = 1, value.mu = 2, value.su = 3, value.fu = 4;
    // A group out of range still takes one character, so later bytes keep their place.
    value.u1 = 16, value.u2 = 2, value.u3 = 3, value.u4 = 4;
    value.u5 = 10, value.u6 = 11, value.u7 = 12, value.u8 = -6;
    value.colorFrame = true, value.bpm = true, value.myId = 5;  // not carried
    const std::string head = "TCMD: 57\nNAME: mirel://studio\nTC: 01:02:03.04 0234ABCA ";
    // Anyone may send to our port: near misses of both messages, from two sockets.
    const std::string near = "TCMD: 57\nNAME: x\n";
    const UdpPeer a, b, cut, whole, marker;
    for (const std::string& bytes :
         {""s, "TCMDPing: #5"s, "TCMDPing: #5\xff\n"s, near + "TC: 01:02:03.04 00000000 n 0",
          near + "TC: 01:02:03.04\n",
          "TCMD: 99999999999\nNAME: \xff\nTC: 01:02:03.04 00000000 n 0\n"s,
          std::string(2000, '\n')})
        a.sendTo(sender.chosenPort(), bytes), b.sendTo(sender.chosenPort(), bytes);
    std::set<char> digits;
    for (int i = 0; i < 20; ++i) {
        value.dropFrame = i % 2 == 1;
        sender.sendTimecodeToAllClients(&value);
        const std::string bytes = peer.receive().value_or("");
        const char digit = bytes.size() > head.size() + 2 ? bytes[head.size() + 2] : '?';
        ASSERT_EQ(bytes, head + (value.dropFrame ? "d " : "n ") + digit + "\n");
        ASSERT_TRUE(digit >= '0' && digit <= '9') << bytes;
        digits.insert(digit);
    }
    EXPECT_GT(digits.size(), 1u) << "the last digit is drawn afresh for each message";
    EXPECT_EQ(ntohs(peer.lastSource.sin_port), services.made[0]->port());

    // Only 2000 bytes are read: the first loses its line feed; the second ends at its zero byte.
    cut.sendTo(sender.chosenPort(), "TCMDPing: #5" + std::string(3000, ' ') + "\n");
    whole.sendTo(sender.chosenPort(), "TCMDPing: #6\n\0"s + std::string(3986, 'x'));
    EXPECT_EQ(subscribe(marker, 7), 2);
    EXPECT_EQ(sender.slotOf(cut.address()), -1);
    EXPECT_EQ(sender.slotOf(whole.address()), 1);
}

TEST_F(TimecodeSenderTest, KeepsTenSubscribersApartByAddressAndPortUntilFiveSilentSecondsPass) {
    std::deque<UdpPeer> peers;  // two on each of five hosts
    for (int i = 0; i < 10; ++i) {
        peers.emplace_back(("127.0.0." + std::to_string(i / 2 + 1)).c_str());
        ASSERT_EQ(subscribe(peers[i], 100 + i), i);
    }
    UdpPeer eleventh("127.0.0.11");
    eleventh.sendTo(sender.chosenPort(), ping(111));

    // A second on, all but 3 and 6 renew; the last proves the eleventh was turned away before.
    now += 1;
    for (int i : {0, 1, 2, 4, 5, 7, 8, 9}) {
        peers[i].sendTo(sender.chosenPort(), ping(200 + i));
        ASSERT_TRUE(sendUntil(peers[i], 200 + i));
    }
    EXPECT_EQ(sender.slotOf(eleventh.address()), -1);
    EXPECT_EQ(sender.clientsCurrentlyConnected(), 10);

    // Five seconds after the renewals those are served; 3 and 6, six seconds silent, are not.
    now += 5;
    for (auto& peer : peers) peer.drain();
    sender.sendTimecodeToAllClients(&value);
    for (int i = 0; i < 10; ++i) {
        const bool dropped = i == 3 || i == 6;
        EXPECT_EQ(peers[i].receive(dropped ? 100ms : 5s).value_or("nothing").substr(0, 9),
                  dropped ? "nothing" : "TCMD: " + std::to_string(200 + i));
    }
    EXPECT_EQ(sender.clientsCurrentlyConnected(), 8);

    // A newcomer takes the lowest free slot, and one that was dropped comes back.
    ASSERT_EQ(subscribe(eleventh, 111), 3);
    EXPECT_EQ(subscribe(peers[6], 306), 6);
    EXPECT_TRUE(sendUntil(eleventh, 111) && sendUntil(peers[6], 306));
}

// The controller's tests see the news passed on; mirel-decode's, a source resolved for real.
TEST_F(TimecodeReceiverTest, ListsWhatItFindsAndNamesTheFirstSourceOfEachName) {
    auto first = std::make_shared<FakeNetService>("mirel://same");
    auto second = std::make_shared<FakeNetService>("mirel://same");
    services.browsers.back()->find(first, true);
    services.browsers.back()->find(second, false);
    EXPECT_EQ(receiver.visibleTimecodeSources(),
              (std::vector<std::shared_ptr<NetService>>{first, second}));
    EXPECT_EQ(second->resolveTimeouts.size(), 1u);
    EXPECT_EQ(receiver.getSourceForUrl("mirel://same"), first);
    services.browsers.back()->remove(first, false);
    EXPECT_EQ(receiver.getSourceForUrl("mirel://same"), second);
    EXPECT_EQ(receiver.getSourceForUrl("mirel://other"), nullptr);

    // Without a delegate the news is only listed; the three before were passed on.
    receiver.setDelegate(nullptr);
    services.browsers.back()->find(first, false);
    services.browsers.back()->remove(second, false);
    EXPECT_EQ(receiver.visibleTimecodeSources(), std::vector<std::shared_ptr<NetService>>{first});
    EXPECT_EQ(delegate.news, 3);
}

TEST_F(TimecodeReceiverTest, SubscribesOnceResolvedAndTakesMessagesForItsNumbersOnly) {
    LogCapture log;
    UdpPeer peer, other;
    auto source = std::make_shared<FakeNetService>("mirel://peer");
    receiver.subscribeToTimeSource(source);
    EXPECT_FALSE(peer.receive(1500ms));
    EXPECT_TRUE(log.lines().empty()) << "an unresolved source is skipped silently";
    source->resolve(peer.port(), {});
    ASSERT_TRUE(runMainLoopUntil([&] { return !log.lines().empty(); }));
    EXPECT_EQ(log.lines().front(), "No addresses avaliable");
    EXPECT_FALSE(peer.receive(0ms));

    source->resolveToLoopback(peer.port());
    const int base = pinged(peer);
    EXPECT_TRUE(base >= 0 && base < 500) << base;
    EXPECT_EQ(pinged(peer), base) << "renewed a second later";
    // Not taken: no final line feed, then numbers either side of ours.
    for (const std::string& bytes : {message(base, 1, " 00000000 n 0"), message(base - 1, 2),
                                     message(base + 1, 3), message(base, 4, " 0123456F d 4\n")})
        peer.sendTo(to, bytes);
    EXPECT_EQ(delegate.next(), "01:02:03.04 0123456F drop id 0");

    // Leaving the only source moves the base by one subscription plus 2: in-flight is stale.
    receiver.unsubscribeToTimeSource(source);
    receiver.subscribeToTimeSource(source);
    ASSERT_TRUE(runMainLoopUntil([&] { return pinged(peer) == base + 3; }));
    peer.sendTo(to, message(base, 5));
    peer.sendTo(to, message(base + 3, 6));
    EXPECT_EQ(delegate.next(), "01:02:03.06 00000000 non-drop id 0");

    // With nothing subscribed, a null source moves it by 2 alone; identifiers tell sources apart.
    receiver.unsubscribeToTimeSource(source);
    receiver.unsubscribeToTimeSource(nullptr);
    receiver.subscribeToTimeSource(source);
    const auto second = std::make_shared<FakeNetService>("mirel://peer");
    second->resolveToLoopback(other.port());
    receiver.subscribeToTimeSource(second);
    ASSERT_TRUE(runMainLoopUntil([&] { return pinged(peer) == base + 8; }));
    ASSERT_TRUE(runMainLoopUntil([&] { return pinged(other) == base + 9; }));
    other.sendTo(to, message(base + 9, 7));
    EXPECT_EQ(delegate.next(), "01:02:03.07 00000000 non-drop id 1");
    EXPECT_EQ(delegate.next(200ms), "nothing");
}
