// A second process for the DNS-SD tests: publishes one "_mirel._udp."
// service, named and numbered by its arguments, through Mirel's DNS-SD until
// SIGTERM ends it cleanly (SIGKILL ends it as a crash would). It dies with
// the test that started it, should that crash.

#include <glib-unix.h>
#include <glib.h>
#include <signal.h>
#include <sys/prctl.h>

#include <cstdio>
#include <cstdlib>

#include "platform/NetService.h"

int main(int argc, char** argv) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (argc != 3) {
        std::fprintf(stderr, "usage: dnssd_child NAME PORT\n");
        return 2;
    }
    auto service = netServices().makeService("", "_mirel._udp.", argv[1], std::atoi(argv[2]));
    service->publish();
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    g_unix_signal_add(
        SIGTERM,
        [](void* running) {
            g_main_loop_quit(static_cast<GMainLoop*>(running));
            return G_SOURCE_REMOVE;
        },
        loop);
    g_main_loop_run(loop);
    service->stop();
    g_main_loop_unref(loop);
    return 0;
}
