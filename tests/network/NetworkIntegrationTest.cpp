// The sender and the receiver in two processes, finding each other through a
// real avahi-daemon private to the test: values going across, a receiver that
// leaves, a sender that goes, and the daemon going away and coming back.

#include <fcntl.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "RecordingDelegate.h"
#include "network/TimecodeReceiver.h"
#include "platform/AvahiNetServices.h"
#include "tests/support/DnsSdDaemon.h"

using namespace std::chrono_literals;

namespace {

// network_peer's sequence, value k of it: k frames at 30 a second after
// 19:59:50.00, user bits counting from k, drop frame on every other second.
constexpr int kFirstFrame = ((19 * 60 + 59) * 60 + 50) * 30;

int indexOf(const SMPTE_tc& tc) {
    return ((tc.h() * 60 + tc.m()) * 60 + tc.s()) * 30 + tc.f() - kFirstFrame;
}

// Every field a test can see, the raw digits included, so that a mismatch reads plainly.
std::string describe(const SMPTE_tc& tc) {
    char text[80];
    std::snprintf(text, sizeof text, "%d%d:%d%d:%d%d.%d%d %X%X%X%X%X%X%X%X %s%s%s id %d", tc.ht,
                  tc.hu, tc.mt, tc.mu, tc.st, tc.su, tc.ft, tc.fu, tc.u1, tc.u2, tc.u3, tc.u4,
                  tc.u5, tc.u6, tc.u7, tc.u8, tc.dropFrame ? "drop" : "non-drop",
                  tc.colorFrame ? " colour" : "", tc.bpm ? " bpm" : "", tc.myId);
    return text;
}

// Value k as subscription 0 receives it: the colour-frame flag and bpm are not carried.
std::string expected(int k) {
    const int frame = kFirstFrame + k;
    char digits[32];
    std::snprintf(digits, sizeof digits, "%02d:%02d:%02d.%02d ", frame / 108000 % 24,
                  frame / 1800 % 60, frame / 30 % 60, frame % 30);
    std::string text = digits;
    for (int i = 0; i < 8; ++i) text += "0123456789ABCDEF"[(k + i) % 16];
    return text + (k / 30 % 2 == 1 ? " drop" : " non-drop") + " id 0";
}

// From `from` on, each value is the one after the last, and whole.
::testing::AssertionResult wholeAndInOrder(const std::vector<SMPTE_tc>& values, size_t from) {
    for (size_t i = from; i < values.size(); ++i) {
        const int k = indexOf(values[i]);
        if (i > from && k != indexOf(values[i - 1]) + 1)
            return ::testing::AssertionFailure() << "value " << i << " is " << describe(values[i])
                                                 << " after " << describe(values[i - 1]);
        if (describe(values[i]) != expected(k))
            return ::testing::AssertionFailure()
                   << "value " << i << " is " << describe(values[i]) << ", sent as " << expected(k);
    }
    return ::testing::AssertionSuccess();
}

// Runs the main loop until `done`; false after a deadline that only turns a hang into a failure.
bool runUntil(const std::function<bool()>& done, std::chrono::seconds deadline = 20s) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        if (!g_main_context_iteration(nullptr, FALSE)) std::this_thread::sleep_for(1ms);
    }
    return true;
}

// network_peer publishing under `name`, with its reports of subscribers read as they come.
class Peer {
public:
    explicit Peer(const std::string& name) {
        char* argv[] = {const_cast<char*>(NETWORK_PEER), const_cast<char*>(name.c_str()), nullptr};
        g_spawn_async_with_pipes(nullptr, argv, nullptr, G_SPAWN_DO_NOT_REAP_CHILD, nullptr,
                                 nullptr, &pid_, nullptr, &out_, nullptr, nullptr);
        if (out_ >= 0) fcntl(out_, F_SETFL, O_NONBLOCK);
    }
    ~Peer() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) close(out_);
    }

    /// Each "clients N K": N subscribers once value K had been sent.
    const std::vector<std::pair<int, int>>& reports() {
        char buffer[256];
        for (ssize_t n; (n = read(out_, buffer, sizeof buffer)) > 0;) text_.append(buffer, n);
        for (size_t end; (end = text_.find('\n')) != std::string::npos; text_.erase(0, end + 1)) {
            int clients = -1;
            int after = -1;
            std::sscanf(text_.c_str(), "clients %d %d", &clients, &after);
            reports_.emplace_back(clients, after);
        }
        return reports_;
    }
    /// The latest count of subscribers, or -1 before the first.
    int clients() { return reports().empty() ? -1 : reports().back().first; }

    /// Asks it to quit as the program does; true when it then exits cleanly.
    bool quit() {
        if (pid_ <= 0) return false;
        kill(pid_, SIGTERM);
        int status = -1;
        if (!runUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; })) return false;
        pid_ = 0;
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

private:
    GPid pid_ = 0;
    int out_ = -1;
    std::string text_;
    std::vector<std::pair<int, int>> reports_;
};

class NetworkIntegration : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(daemon.start()) << daemon.error();
        setNetServices(&dnssd);
        receiver = std::make_unique<TimecodeReceiver>();
        receiver->setDelegate(&delegate);
        peer = std::make_unique<Peer>(name);
    }
    void TearDown() override {
        peer.reset();
        receiver.reset();
        setNetServices(nullptr);
    }

    /// The peer's service as found the `times`th time, or null.
    std::shared_ptr<NetService> found(size_t times = 1) {
        std::shared_ptr<NetService> seen;
        runUntil([&] {
            size_t count = 0;
            for (const auto& event : delegate.found)
                if (event.service->name() == name && ++count == times) seen = event.service;
            return seen != nullptr;
        });
        return seen;
    }
    bool removed(const std::shared_ptr<NetService>& service) const {
        return std::any_of(delegate.removed.begin(), delegate.removed.end(),
                           [&](const auto& event) { return event.service == service; });
    }
    void collect() {
        while (auto value = delegate.next(0ms)) values.push_back(*value);
    }
    bool collectUntil(size_t count) {
        return runUntil([&] {
            collect();
            return values.size() >= count;
        });
    }

    DnsSdDaemon daemon;  // first: it points this process and the peer at the private bus
    AvahiNetServices dnssd;
    RecordingDelegate delegate;
    std::unique_ptr<TimecodeReceiver> receiver;
    std::unique_ptr<Peer> peer;
    std::vector<SMPTE_tc> values;
    const std::string name =
        std::string("mirel://") +
        std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()).substr(0, 50);
};

TEST_F(NetworkIntegration, EveryValueSentAfterSubscribingArrivesWholeAndInOrder) {
    const auto source = found();
    ASSERT_NE(source, nullptr);
    receiver->subscribeToTimeSource(source);
    // Seven seconds of values: past the five after which the sender would drop
    // a subscriber whose once-a-second messages did not keep it.
    ASSERT_TRUE(collectUntil(210));
    EXPECT_TRUE(wholeAndInOrder(values, 0));

    const auto reports = peer->reports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[1].first, 1);
    // Value K+1 was the first the sender surely sent us: none lost at the start.
    EXPECT_LE(indexOf(values.front()), reports[1].second + 1);
}

TEST_F(NetworkIntegration, AReceiverThatUnsubscribesIsDroppedAfterFiveSilentSeconds) {
    const auto source = found();
    ASSERT_NE(source, nullptr);
    receiver->subscribeToTimeSource(source);
    ASSERT_TRUE(collectUntil(1));
    ASSERT_TRUE(runUntil([&] { return peer->clients() == 1; }));

    receiver->unsubscribeToTimeSource(source);
    const auto left = std::chrono::steady_clock::now();
    collect();
    const size_t atLeaving = values.size();
    // Due five to seven seconds after our last subscription message; the
    // deadline leaves room for a slow machine, not for a sender that waits
    // twice as long.
    ASSERT_TRUE(runUntil(
        [&] {
            collect();
            return peer->clients() == 0;
        },
        10s));
    // Our last subscription message went out about a second before we left
    // (two, should the notify thread be late), and the sender keeps a
    // subscriber for more than five seconds after its last one.
    EXPECT_GE(std::chrono::steady_clock::now() - left, 3s);
    // What it kept sending us meanwhile was stale: at most the one value being
    // handed over as we left gets through.
    EXPECT_LE(values.size() - atLeaving, 1u);

    // Subscribing again, under the new number, is taken as a new subscriber.
    receiver->subscribeToTimeSource(source);
    const size_t again = values.size();
    ASSERT_TRUE(collectUntil(again + 30));
    EXPECT_TRUE(wholeAndInOrder(values, again));
    EXPECT_EQ(peer->clients(), 1);
}

TEST_F(NetworkIntegration, APublisherThatExitsIsReportedRemoved) {
    const auto source = found();
    ASSERT_NE(source, nullptr);
    receiver->subscribeToTimeSource(source);
    ASSERT_TRUE(collectUntil(1));

    ASSERT_TRUE(peer->quit());
    ASSERT_TRUE(runUntil([&] { return removed(source); }));
    EXPECT_EQ(delegate.removed.size(), 1u);
    EXPECT_FALSE(delegate.removed.front().moreComing);
    EXPECT_EQ(receiver->getSourceForUrl(name), nullptr);
    EXPECT_TRUE(receiver->visibleTimecodeSources().empty());
}

TEST_F(NetworkIntegration, AcrossADaemonRestartTheSourceGoesComesBackAndCanBeSubscribedAgain) {
    const auto before = found();
    ASSERT_NE(before, nullptr);
    receiver->subscribeToTimeSource(before);
    ASSERT_TRUE(collectUntil(1));

    daemon.stopAvahi();
    ASSERT_TRUE(runUntil([&] { return removed(before); }));
    // The subscription outlives the announcement: values keep coming from the
    // address the source was resolved to, for longer than the sender would
    // keep a subscriber whose messages had stopped.
    collect();
    ASSERT_TRUE(collectUntil(values.size() + 210));
    EXPECT_TRUE(wholeAndInOrder(values, 0));

    ASSERT_TRUE(daemon.startAvahi()) << daemon.error();
    const auto after = found(2);
    ASSERT_NE(after, nullptr);
    EXPECT_NE(after, before);
    EXPECT_EQ(receiver->getSourceForUrl(name), after);
    // As the controller does when a chosen source comes back: leave the old, take the new.
    receiver->unsubscribeToTimeSource(before);
    receiver->subscribeToTimeSource(after);
    collect();
    // The first may be the last of the old subscription, handed over as we left it.
    const size_t again = values.size() + 1;
    ASSERT_TRUE(collectUntil(again + 30));
    EXPECT_TRUE(wholeAndInOrder(values, again));
}

}  // namespace
