#include "tools/RunLoop.h"

#include <glib-unix.h>
#include <glib.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <initializer_list>

#include "platform/PortAudioHardware.h"

namespace {

gboolean quit(gpointer loop) {
    g_main_loop_quit(static_cast<GMainLoop*>(loop));
    return G_SOURCE_REMOVE;
}

}  // namespace

void runMainLoop(double seconds) {
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    const guint interrupt = g_unix_signal_add(SIGINT, quit, loop);
    const guint terminate = g_unix_signal_add(SIGTERM, quit, loop);
    const guint timeout = seconds > 0 ? g_timeout_add(guint(seconds * 1000.0), quit, loop) : 0;
    g_main_loop_run(loop);
    // Whichever ended the loop has removed itself; the others must not fire on a freed loop.
    for (const guint source : {interrupt, terminate, timeout}) {
        if (source == 0) continue;
        if (GSource* pending = g_main_context_find_source_by_id(nullptr, source))
            g_source_destroy(pending);
    }
    g_main_loop_unref(loop);
}

void stopCaptureAndDrain() {
    PortAudioHardware::shared().terminate();
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
}
