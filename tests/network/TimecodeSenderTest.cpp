#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "FakeNetServices.h"
#include "UdpPeer.h"
#include "network/TimecodeSender.h"
#include "platform/LogCapture.h"

using namespace std::chrono_literals;

namespace {

std::string ping(int number) {
    return "TCMDPing: #" + std::to_string(number) + "\n";
}

// Subscribers are real sockets; only the sender's clock is the test's.
class TimecodeSenderTest : public ::testing::Test {
protected:
    void SetUp() override { sender.setBonjourName("mirel://studio"); }

    /// Subscribes and waits until the sender has taken it; its slot or -1.
    int subscribe(const UdpPeer& peer, int number) {
        peer.sendTo(sender.chosenPort(), ping(number));
        eventually([&] { return sender.slotOf(peer.address()) >= 0; });
        return sender.slotOf(peer.address());
    }

    /// Keeps sending until `peer` gets a message numbered `number`: proof that
    /// the sender has read everything sent to it before that number.
    bool sendUntil(UdpPeer& peer, int number) {
        const std::string head = "TCMD: " + std::to_string(number) + "\n";
        return eventually([&] {
            sender.sendTimecodeToAllClients(&value);
            while (auto message = peer.receive(20ms)) {
                if (message->starts_with(head)) return true;
            }
            return false;
        });
    }

    /// One send; whether `peer` gets a message from it.
    bool reached(UdpPeer& peer) {
        peer.drain();
        sender.sendTimecodeToAllClients(&value);
        return peer.receive(200ms).has_value();
    }

    FakeNetServices services;
    std::atomic<time_t> now{1'000'000};
    SMPTE_tc value{};
    TimecodeSender sender{[this] { return now.load(); }};
};

}  // namespace

TEST(TimecodeSenderPublishing, PublishesTheBoundPortOnceForEachNewName) {
    FakeNetServices services;
    LogCapture log;
    TimecodeSender sender;
    EXPECT_FALSE(sender.isRunning());
    EXPECT_EQ(sender.chosenPort(), 0);

    sender.setBonjourName("mirel://studio");
    ASSERT_TRUE(sender.isRunning());
    ASSERT_EQ(services.made.size(), 1u);
    const auto& service = *services.made[0];
    EXPECT_EQ(service.name(), "mirel://studio");
    EXPECT_EQ(service.type(), "_mirel._udp.");
    EXPECT_EQ(services.madeDomains[0], "");
    EXPECT_EQ(service.publishes, 1);
    EXPECT_NE(sender.chosenPort(), 0);
    EXPECT_EQ(service.port(), sender.chosenPort());
    EXPECT_EQ(log.lines(), std::vector<std::string>{"Listening on port #" +
                                                    std::to_string(sender.chosenPort())});

    sender.setBonjourName("mirel://studio");
    EXPECT_EQ(services.made.size(), 1u);

    // A new name withdraws the old service and republishes the same socket.
    sender.setPortNumber(1);
    sender.setBonjourName("mirel://stage");
    ASSERT_EQ(services.made.size(), 2u);
    EXPECT_EQ(services.made[0]->stops, 1);
    EXPECT_EQ(services.made[1]->name(), "mirel://stage");
    EXPECT_EQ(services.made[1]->port(), sender.chosenPort());
    EXPECT_EQ(log.lines().size(), 1u);
}

// A process that may open no descriptor at all, as the sender first meets it.
void startWithoutDescriptors() {
    FakeNetServices services;
    TimecodeSender sender;
    const rlimit none{0, 0};
    setrlimit(RLIMIT_NOFILE, &none);
    sender.setBonjourName("mirel://studio");
}

TEST(TimecodeSenderDeathTest, EndsTheProcessWhenItCannotOpenItsSocket) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(startWithoutDescriptors(), ::testing::ExitedWithCode(1), "socket: ");
}

TEST_F(TimecodeSenderTest, TakesTenSubscribersAndTheEleventhOnlyAfterOneExpires) {
    std::vector<std::unique_ptr<UdpPeer>> peers;
    for (int i = 0; i < 10; ++i) {
        peers.push_back(std::make_unique<UdpPeer>(("127.0.0." + std::to_string(i + 1)).c_str()));
        ASSERT_EQ(subscribe(*peers[i], 100 + i), i);
    }
    UdpPeer eleventh("127.0.0.11");
    eleventh.sendTo(sender.chosenPort(), ping(111));

    // One second on, all but subscriber 3 renew with new numbers; the last of
    // them arriving proves the eleventh was read, and turned away, before.
    now += 1;
    for (int i = 0; i < 10; ++i) {
        if (i == 3) continue;
        peers[i]->sendTo(sender.chosenPort(), ping(200 + i));
        ASSERT_TRUE(sendUntil(*peers[i], 200 + i));
    }
    EXPECT_EQ(sender.slotOf(eleventh.address()), -1);
    EXPECT_EQ(sender.clientsCurrentlyConnected(), 10);

    // Five whole seconds after the renewals they are still served; subscriber
    // 3, six seconds silent, is dropped before the send.
    now += 5;
    for (auto& peer : peers) peer->drain();
    sender.sendTimecodeToAllClients(&value);
    for (int i = 0; i < 10; ++i) {
        if (i == 3) continue;
        const auto message = peers[i]->receive();
        ASSERT_TRUE(message) << i;
        EXPECT_TRUE(message->starts_with("TCMD: " + std::to_string(200 + i) + "\n")) << *message;
    }
    EXPECT_FALSE(peers[3]->receive(100ms));
    EXPECT_EQ(sender.clientsCurrentlyConnected(), 9);

    eleventh.sendTo(sender.chosenPort(), ping(111));
    ASSERT_TRUE(eventually([&] { return sender.slotOf(eleventh.address()) == 3; }));
    EXPECT_TRUE(sendUntil(eleventh, 111));
}

TEST_F(TimecodeSenderTest, TellsSubscribersApartByAddressAndPortAndFollowsNewNumbers) {
    UdpPeer first, second;  // two receivers on one host
    EXPECT_EQ(subscribe(first, 5), 0);
    EXPECT_EQ(subscribe(second, 6), 1);
    EXPECT_TRUE(sendUntil(first, 5));
    EXPECT_TRUE(sendUntil(second, 6));

    first.sendTo(sender.chosenPort(), ping(9));
    EXPECT_TRUE(sendUntil(first, 9));
    EXPECT_EQ(sender.slotOf(first.address()), 0);
    EXPECT_EQ(sender.clientsCurrentlyConnected(), 2);
}

TEST_F(TimecodeSenderTest, TakesADroppedSubscriberBackIntoTheLowestFreeSlot) {
    UdpPeer a, b, c;
    EXPECT_EQ(subscribe(a, 1), 0);
    EXPECT_EQ(subscribe(b, 2), 1);
    EXPECT_EQ(subscribe(c, 3), 2);
    now += 1;
    c.sendTo(sender.chosenPort(), ping(30));
    ASSERT_TRUE(sendUntil(c, 30));

    now += 5;
    EXPECT_FALSE(reached(a));
    EXPECT_FALSE(reached(b));
    EXPECT_TRUE(reached(c));
    EXPECT_EQ(sender.clientsCurrentlyConnected(), 1);

    EXPECT_EQ(subscribe(b, 20), 0);
    EXPECT_TRUE(sendUntil(b, 20));
    EXPECT_EQ(sender.slotOf(c.address()), 2);
}
