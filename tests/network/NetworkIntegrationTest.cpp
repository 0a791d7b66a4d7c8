// The sender and the receiver in two processes, finding each other through a
// real avahi-daemon private to the test, for longer than a subscription lasts
// unrenewed. The other process is this program again, as "--peer NAME".

#include <glib.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "RecordingDelegate.h"
#include "network/TimecodeReceiver.h"
#include "network/TimecodeSender.h"
#include "platform/RepeatingTimer.h"
#include "tests/support/DnsSdDaemon.h"

using namespace std::chrono_literals;

namespace {

// 19:59:50.00: within seconds the hours' tens and units both change.
constexpr int kFirstFrame = ((19 * 60 + 59) * 60 + 50) * 30;

// The peer's value k: k frames at 30 a second after kFirstFrame, user bits
// counting from k, drop frame on every other second. The colour-frame flag and
// bpm are not carried: a receiver that reports them read what was never sent.
SMPTE_tc valueAt(int k, bool uncarried) {
    const int frame = kFirstFrame + k;
    SMPTE_tc tc{};
    int32_t* const digits[] = {&tc.fu, &tc.ft, &tc.su, &tc.st, &tc.mu, &tc.mt, &tc.hu, &tc.ht};
    const int values[] = {frame % 30, frame / 30 % 60, frame / 1800 % 60, frame / 108000 % 24};
    for (int i = 0; i < 8; ++i) *digits[i] = i % 2 ? values[i / 2] / 10 : values[i / 2] % 10;
    int32_t* const userBits[] = {&tc.u1, &tc.u2, &tc.u3, &tc.u4, &tc.u5, &tc.u6, &tc.u7, &tc.u8};
    for (int i = 0; i < 8; ++i) *userBits[i] = (k + i) % 16;
    tc.dropFrame = k / 30 % 2 == 1;
    tc.colorFrame = tc.bpm = uncarried;
    return tc;
}

int indexOf(const SMPTE_tc& tc) {
    return ((tc.h() * 60 + tc.m()) * 60 + tc.s()) * 30 + tc.f() - kFirstFrame;
}

// Shares the values 30 a second under `name`, printing "clients N K" whenever
// the number of subscribers seen after sending value K changes. It runs until
// killed, and dies with the test that started it should that crash.
int runPeer(const char* name) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    TimecodeSender sender;
    sender.setBonjourName(name);
    int k = 0;
    int reported = -1;
    RepeatingTimer timer(33ms, [&] {
        const SMPTE_tc tc = valueAt(k, true);
        sender.sendTimecodeToAllClients(&tc);
        if (const int clients = sender.clientsCurrentlyConnected(); clients != reported) {
            std::printf("clients %d %d\n", clients, k);
            std::fflush(stdout);
            reported = clients;
        }
        ++k;
    });
    g_main_loop_run(g_main_loop_new(nullptr, FALSE));
    return 0;
}

// Runs the main loop until `done`; false after a deadline that only turns a hang into a failure.
template <typename Done>
bool runUntil(Done done) {
    const auto end = std::chrono::steady_clock::now() + 20s;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        if (!g_main_context_iteration(nullptr, FALSE)) std::this_thread::sleep_for(1ms);
    }
    return true;
}

// The peer, publishing under `name` until this goes.
struct Peer {
    explicit Peer(const char* name) {
        const char* argv[] = {"/proc/self/exe", "--peer", name, nullptr};
        g_spawn_async_with_pipes(nullptr, const_cast<char**>(argv), nullptr,
                                 G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr, &pid, nullptr, &out,
                                 nullptr, nullptr);
    }
    ~Peer() {
        if (pid > 0) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
        if (out >= 0) close(out);
    }
    GPid pid = 0;
    int out = -1;
};

}  // namespace

TEST(NetworkIntegration, EveryValueSentAfterSubscribingArrivesWholeAndInOrder) {
    DnsSdDaemon daemon;  // first: it points this process and the peer at the private bus
    ASSERT_TRUE(daemon.start()) << daemon.error();
    RecordingDelegate delegate;
    TimecodeReceiver receiver;
    receiver.setDelegate(&delegate);
    const char* const name = "mirel://integration";
    Peer peer(name);
    ASSERT_TRUE(runUntil([&] { return receiver.getSourceForUrl(name) != nullptr; }));
    receiver.subscribeToTimeSource(receiver.getSourceForUrl(name));

    // Seven seconds of values: past the five after which the sender would drop
    // a subscriber whose once-a-second messages did not keep it.
    std::vector<SMPTE_tc> values;
    ASSERT_TRUE(runUntil([&] {
        while (auto value = delegate.next(0ms)) values.push_back(*value);
        return values.size() >= 210;
    }));
    for (size_t i = 0; i < values.size(); ++i) {
        const int k = indexOf(values[i]);
        ASSERT_EQ(describe(values[i]), describe(valueAt(k, false))) << "value " << i;
        ASSERT_EQ(k, i == 0 ? k : indexOf(values[i - 1]) + 1) << "value " << i;
    }

    // "clients 0 0", then "clients 1 K": value K+1 was the first the sender
    // surely sent us, so none were lost at the start.
    char report[256] = {};
    ASSERT_GT(read(peer.out, report, sizeof report - 1), 0);
    int clients[2], after[2];
    ASSERT_EQ(std::sscanf(report, "clients %d %d\nclients %d %d\n", &clients[0], &after[0],
                          &clients[1], &after[1]),
              4)
        << report;
    EXPECT_EQ(std::count(report, report + sizeof report, '\n'), 2) << report;
    EXPECT_EQ(clients[1], 1);
    EXPECT_LE(indexOf(values.front()), after[1] + 1);
}

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--peer") return runPeer(argv[2]);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
