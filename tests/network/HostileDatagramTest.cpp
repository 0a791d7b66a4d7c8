// Anything on the network may send to our ports. Floods of junk and of
// near-miss messages must neither crash a side nor keep it from its work, and
// datagrams longer than the 2000 bytes every copy reads are cut there.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <thread>
#include <vector>

#include "FakeNetServices.h"
#include "RecordingDelegate.h"
#include "UdpPeer.h"
#include "network/TimecodeReceiver.h"
#include "network/TimecodeSender.h"
#include "platform/LogCapture.h"

using namespace std::chrono_literals;
using namespace std::string_literals;

namespace {

constexpr int kFloodSize = 20000;

std::string randomBytes(std::mt19937& random) {
    std::string bytes(std::uniform_int_distribution<std::size_t>(0, 2100)(random), '\0');
    for (char& c : bytes) c = char(random());
    return bytes;
}

// Near misses of both messages; the readers' own tests and fuzzers cover the rest.
const std::vector<std::string> kNearMisses = {
    "",
    "TCMDPing: #5",
    "TCMDPing: #5\xff\n",
    "TCMD: 300\nNAME: x\nTC: 01:02:03.04 00000000 n 0",
    "TCMD: 300\nNAME: x\nTC: 01:02:03.04\n",
    "TCMD: 99999999999\nNAME: \xff\nTC: 01:02:03.04 00000000 n 0\n",
    std::string(2000, '\n'),
};

/// Sends kFloodSize datagrams of junk and near misses to `to`, from two sockets.
void flood(const sockaddr_in& to) {
    std::mt19937 random(20240611);
    UdpPeer a, b;
    for (int i = 0; i < kFloodSize; ++i) {
        const std::string bytes =
            i % 3 == 0 ? kNearMisses[std::size_t(i / 3) % kNearMisses.size()] : randomBytes(random);
        (i % 2 ? a : b).sendTo(to, bytes);
    }
}

class HostileDatagramTest : public ::testing::Test {
protected:
    FakeNetServices services;
    LogCapture log;
};

}  // namespace

TEST_F(HostileDatagramTest, SenderKeepsSendingAndSubscribingThroughAFlood) {
    TimecodeSender sender;
    sender.setBonjourName("mirel://studio");
    UdpPeer subscriber;
    subscriber.sendTo(sender.chosenPort(), "TCMDPing: #1\n");
    ASSERT_TRUE(eventually([&] { return sender.slotOf(subscriber.address()) == 0; }));

    std::thread flooding(flood, UdpPeer::loopback(sender.chosenPort()));
    SMPTE_tc tc{};
    for (int i = 0; i < 300; ++i) {
        sender.sendTimecodeToAllClients(&tc);
        ASSERT_TRUE(subscriber.receive()) << i;
    }
    flooding.join();

    // The listener survived: a newcomer is still taken.
    UdpPeer newcomer;
    newcomer.sendTo(sender.chosenPort(), "TCMDPing: #2\n");
    EXPECT_TRUE(eventually([&] { return sender.slotOf(newcomer.address()) >= 0; }));
}

TEST_F(HostileDatagramTest, SenderReadsTheFirst2000BytesOfALongerDatagram) {
    TimecodeSender sender;
    sender.setBonjourName("mirel://studio");
    UdpPeer cut, whole, marker;
    // Whole, these would subscribe; cut, the line feed is gone.
    cut.sendTo(sender.chosenPort(), "TCMDPing: #5" + std::string(3000, ' ') + "\n");
    // The message ends at the zero byte, well inside the first 2000.
    whole.sendTo(sender.chosenPort(), "TCMDPing: #6\n\0"s + std::string(3986, 'x'));
    marker.sendTo(sender.chosenPort(), "TCMDPing: #7\n");
    ASSERT_TRUE(eventually([&] { return sender.slotOf(marker.address()) >= 0; }));
    EXPECT_EQ(sender.slotOf(cut.address()), -1);
    EXPECT_EQ(sender.slotOf(whole.address()), 0);
}

TEST_F(HostileDatagramTest, ReceiverKeepsDeliveringThroughAFloodAndCutsLongDatagrams) {
    RecordingDelegate delegate;
    TimecodeReceiver receiver(300);
    UdpPeer source;
    auto service = std::make_shared<FakeNetService>("mirel://peer");
    service->resolveToLoopback(source.port());
    receiver.subscribeToTimeSource(service);
    ASSERT_EQ(source.receive(), "TCMDPing: #300\n");
    const sockaddr_in receiverAddress = source.lastSource;
    const std::string head = "TCMD: 300\nNAME: x\n";
    const std::string first = head + "TC: 00:00:00.01 00000000 n 0\n";

    // No delegate yet: these are dropped, or reach the delegate set below.
    for (int i = 0; i < 100; ++i) source.sendTo(receiverAddress, first);
    // Nothing in the flood carries number 300 in a well-formed message.
    flood(receiverAddress);
    receiver.setDelegate(&delegate);
    // The flood may have filled the socket's queue: repeat until one gets through.
    ASSERT_TRUE(eventually([&] {
        source.sendTo(receiverAddress, first);
        return delegate.next(100ms).has_value();
    }));

    // Whole, this would be taken; cut, its last line feed is gone.
    source.sendTo(receiverAddress,
                  head + "TC: 00:00:00.02 00000000 n 0" + std::string(3000, ' ') + "\n");
    source.sendTo(receiverAddress,
                  head + "TC: 00:00:00.03 00000000 n 0\n\0"s + std::string(3950, 'x'));
    std::optional<SMPTE_tc> value;
    do {
        value = delegate.next();  // past the repeats of the first
        ASSERT_TRUE(value);
    } while (value->f() == 1);
    EXPECT_EQ(value->f(), 3);
}
