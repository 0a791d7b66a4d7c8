// Time from the hot key's release to the last typed character's arrival in
// another program's text view, for the default typing format. Runs on an X
// display (xvfb-run); prints the median and the 90th and 99th percentiles.
//
//   xvfb-run -a build/release/bench/mirel-hotkey-bench [PRESSES]
#include <X11/extensions/XTest.h>  // last: Xlib's macros
#include <gtk/gtk.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "hotkey/HotkeyController.h"
#include "platform/LogCapture.h"
#include "platform/SettingsDefaults.h"
#include "platform/UserDefaultsController.h"
#include "platform/X11Keyboard.h"
#include "routing/TimecodeWrapper.h"
#include "tests/hotkey/TextField.h"

namespace {

struct NoListeners : TimecodeListeners {
    void listen(TimecodeControllerListener&) override {}
    void stopListening(TimecodeControllerListener&) override {}
};

constexpr KeyCode kGrave = 49;

}  // namespace

int main(int argc, char** argv) {
    const int presses = argc > 1 ? std::atoi(argv[1]) : 100;
    gdk_set_allowed_backends("x11");
    if (!gtk_init_check(nullptr, nullptr)) {
        std::fprintf(stderr, "no display: run under xvfb-run\n");
        return 2;
    }
    LogCapture log;
    UserDefaultsController settings;
    settings.registerDefaults(SettingsDefaults::registered());
    NoListeners listeners;
    X11Keyboard keyboard;
    HotkeyController hotkey(listeners, settings, keyboard);
    keyboard.setHotKeyHandler([&] { hotkey.hotKeyEvent(Event::hotKeyPressed()); });
    SMPTE_tc tc{};
    tc.hu = 1, tc.mu = 2, tc.su = 3, tc.fu = 4;
    hotkey.receiveTimecode(TimecodeWrapper(tc));
    TextField field(MIREL_TEXT_FIELD);
    if (!field.ready()) return 2;
    Display* user = XOpenDisplay(nullptr);
    const std::string expected = "\n01:02:03.04\t";

    std::vector<double> ms;
    for (int i = 0; i < presses; ++i) {
        field.clear();
        XTestFakeKeyEvent(user, kGrave, True, CurrentTime);
        XSync(user, False);
        runMainLoopUntil([] { return false; }, std::chrono::milliseconds(20));
        const auto released = std::chrono::steady_clock::now();
        XTestFakeKeyEvent(user, kGrave, False, CurrentTime);
        XSync(user, False);
        if (field.await(expected) != expected) {
            std::fprintf(stderr, "press %d: the text did not arrive\n", i);
            return 1;
        }
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - released)
                .count());
    }
    XCloseDisplay(user);
    std::sort(ms.begin(), ms.end());
    const auto at = [&](double q) { return ms[std::min(ms.size() - 1, size_t(q * ms.size()))]; };
    std::printf(
        "hot key release to last character (%d presses, %zu characters): median %.2f ms, "
        "90th %.2f ms, 99th %.2f ms, max %.2f ms\n",
        presses, expected.size(), at(0.5), at(0.9), at(0.99), ms.back());
    return 0;
}
