// A second copy for the network integration tests: shares a known sequence of
// values, 30 a second, through a real TimecodeSender published under the name
// it is given. It prints "clients N K" whenever the number of subscribers
// seen after sending value K changes, and exits cleanly on SIGTERM (its
// service withdrawn). It dies with the test that started it, should that crash.
//
// Value K is valueAt(K) below; NetworkIntegrationTest.cpp checks what arrives
// against its own copy of it.

#include <glib-unix.h>
#include <glib.h>
#include <signal.h>
#include <sys/prctl.h>

#include <chrono>
#include <cstdio>

#include "network/TimecodeSender.h"
#include "platform/RepeatingTimer.h"

namespace {

// 19:59:50.00: within seconds the hours' tens and units both change.
constexpr int kFirstFrame = ((19 * 60 + 59) * 60 + 50) * 30;

SMPTE_tc valueAt(int k) {
    const int frame = kFirstFrame + k;
    SMPTE_tc tc{};
    tc.fu = frame % 30 % 10;
    tc.ft = frame % 30 / 10;
    tc.su = frame / 30 % 60 % 10;
    tc.st = frame / 30 % 60 / 10;
    tc.mu = frame / 1800 % 60 % 10;
    tc.mt = frame / 1800 % 60 / 10;
    tc.hu = frame / 108000 % 24 % 10;
    tc.ht = frame / 108000 % 24 / 10;
    int32_t* const userBits[] = {&tc.u1, &tc.u2, &tc.u3, &tc.u4, &tc.u5, &tc.u6, &tc.u7, &tc.u8};
    for (int i = 0; i < 8; ++i) *userBits[i] = (k + i) % 16;
    tc.dropFrame = k / 30 % 2 == 1;
    // Not carried: a receiver that reports them true has read what was never sent.
    tc.colorFrame = true;
    tc.bpm = true;
    return tc;
}

}  // namespace

int main(int argc, char** argv) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (argc != 2) {
        std::fprintf(stderr, "usage: network_peer NAME\n");
        return 2;
    }
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    {
        TimecodeSender sender;
        sender.setBonjourName(argv[1]);
        int k = 0;
        int reported = -1;
        RepeatingTimer timer(std::chrono::milliseconds(33), [&] {
            const SMPTE_tc tc = valueAt(k);
            sender.sendTimecodeToAllClients(&tc);
            const int clients = sender.clientsCurrentlyConnected();
            if (clients != reported) {
                std::printf("clients %d %d\n", clients, k);
                std::fflush(stdout);
                reported = clients;
            }
            ++k;
        });
        g_unix_signal_add(
            SIGTERM,
            [](void* running) {
                g_main_loop_quit(static_cast<GMainLoop*>(running));
                return G_SOURCE_REMOVE;
            },
            loop);
        g_main_loop_run(loop);
    }
    g_main_loop_unref(loop);
    return 0;
}
