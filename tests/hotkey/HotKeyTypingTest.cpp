// The hot key as a person uses it, on a display of its own (xvfb-run): a
// separate program has a focused text view, the "user" presses keys through
// XTest on a connection of their own, and what the text view received is
// compared with what the controller should have typed.
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <string>

#include "hotkey/HotkeyController.h"
#include "platform/LogCapture.h"
#include "platform/SettingsDefaults.h"
#include "platform/UserDefaultsController.h"
#include "platform/X11Keyboard.h"
#include "routing/TimecodeWrapper.h"
#include "tests/hotkey/TextField.h"
#include "tests/platform/MainLoop.h"

// Last: Xlib's macros (None, Bool, Status) would break the headers above.
#include <X11/XKBlib.h>
#include <X11/extensions/XTest.h>

namespace {

using namespace std::chrono_literals;

// X keycodes of the evdev rules.
constexpr KeyCode kGrave = 49, kT = 28, kY = 29, kA = 38, kLeftCtrl = 37;

struct NoListeners : TimecodeListeners {
    void listen(TimecodeControllerListener&) override {}
    void stopListening(TimecodeControllerListener&) override {}
};

class HotKeyTyping : public ::testing::Test {
protected:
    HotKeyTyping() : user(XOpenDisplay(nullptr)) {
        keyboard.setHotKeyHandler([this] { hotkey.hotKeyEvent(Event::hotKeyPressed()); });
        EXPECT_TRUE(field.ready());
    }
    ~HotKeyTyping() override {
        setLayout("us");
        XCloseDisplay(user);
    }

    static void SetUpTestSuite() {
        gdk_set_allowed_backends("x11");
        ASSERT_TRUE(gtk_init_check(nullptr, nullptr)) << "no display: run under xvfb-run";
    }

    void key(KeyCode keycode, bool down) {
        XTestFakeKeyEvent(user, keycode, down ? True : False, CurrentTime);
        XSync(user, False);
        // Our connection sees the event before the next key of the user.
        runMainLoopUntil([] { return false; }, 30ms);
    }
    void press(std::initializer_list<KeyCode> keys) {
        for (const KeyCode k : keys) key(k, true);
        for (auto k = std::rbegin(keys); k != std::rend(keys); ++k) key(*k, false);
    }
    void setLayout(const char* layout) {
        const std::string command = std::string("setxkbmap ") + layout;
        ASSERT_TRUE(g_spawn_command_line_sync(command.c_str(), nullptr, nullptr, nullptr, nullptr));
        XSync(user, False);
    }
    void value(int h, int m, int s, int f) {
        SMPTE_tc tc{};
        tc.ht = h / 10, tc.hu = h % 10, tc.mt = m / 10, tc.mu = m % 10;
        tc.st = s / 10, tc.su = s % 10, tc.ft = f / 10, tc.fu = f % 10;
        hotkey.receiveTimecode(TimecodeWrapper(tc));
    }

    struct Settings : UserDefaultsController {
        Settings() { registerDefaults(SettingsDefaults::registered()); }
    };

    Display* user;
    LogCapture log;
    Settings settings;
    NoListeners listeners;
    X11Keyboard keyboard;
    HotkeyController hotkey{listeners, settings, keyboard};
    TextField field{MIREL_TEXT_FIELD};
};

TEST_F(HotKeyTyping, TypesTheLastValueInTheFormatOnEveryLayout) {
    // Held down past the auto-repeat delay, the key repeats: one press all the same.
    key(kGrave, true);
    runMainLoopUntil([] { return false; }, 1200ms);
    key(kGrave, false);
    EXPECT_EQ(field.await("\n00:00:00.00\t"), "\n00:00:00.00\t") << "zeros before any value";

    value(1, 2, 3, 4);
    for (const char* layout : {"us", "de", "fr"}) {
        SCOPED_TRACE(layout);
        setLayout(layout);
        field.clear();
        press({kGrave});
        EXPECT_EQ(field.await("\n01:02:03.04\t"), "\n01:02:03.04\t");
    }

    // Caps Lock must not change the case of what is typed.
    settings.setObjectForKey("Take %h-%m%%|AbZ", "TypedFormat");
    XkbLockModifiers(user, XkbUseCoreKbd, LockMask, LockMask);
    for (const char* layout : {"de", "us"}) {
        SCOPED_TRACE(layout);
        setLayout(layout);
        field.clear();
        press({kGrave});
        EXPECT_EQ(field.await("Take 01-02%|AbZ"), "Take 01-02%|AbZ");
    }
    XkbLockModifiers(user, XkbUseCoreKbd, LockMask, 0);
}

// Every printable character of the key code table reaches the field as itself.
TEST_F(HotKeyTyping, EveryPrintableCharacterArrivesAsItself) {
    std::string format, expected;
    for (char c = ' '; c <= '~'; ++c) {
        format += c == '%' ? "%%" : std::string(1, c);
        expected += c;
    }
    settings.setObjectForKey(format, "TypedFormat");
    press({kGrave});
    EXPECT_EQ(field.await(expected), expected);
}

// Ctrl held for Ctrl+T must neither turn digits into control characters nor
// stay down afterwards; the key given up is the user's again at once.
TEST_F(HotKeyTyping, ANewHotKeyTakesOverAndHeldModifiersDoNotLeak) {
    value(10, 0, 0, 0);
    settings.setObjectForKey("%H%M%S%F", "TypedFormat");
    settings.setObjectForKey(17, "HotKeyCode");
    settings.setObjectForKey(true, "HotKeyCommand");
    press({kGrave});
    EXPECT_EQ(field.await("`"), "`") << "the old hot key still grabbed";

    field.clear();
    press({kLeftCtrl, kT});
    EXPECT_EQ(field.await("10000000"), "10000000");
    std::array<char, 32> keys{};
    XQueryKeymap(user, keys.data());
    EXPECT_EQ(keys[kLeftCtrl / 8] & (1 << (kLeftCtrl % 8)), 0) << "Ctrl left down";
    press({kA});
    EXPECT_EQ(field.await("10000000a"), "10000000a");
}

TEST_F(HotKeyTyping, AKeyHeldByAnotherApplicationIsRefusedWithOneLine) {
    XGrabKey(user, kY, ControlMask, DefaultRootWindow(user), False, GrabModeAsync, GrabModeAsync);
    XSync(user, False);
    settings.setObjectForKey(true, "HotKeyCommand");
    settings.setObjectForKey(16, "HotKeyCode");
    EXPECT_FALSE(hotkey.isRegistered());
    const auto lines = log.lines();
    EXPECT_EQ(std::ranges::count_if(lines,
                                    [](const std::string& l) {
                                        return l.starts_with(
                                            "Hot key 16 not registered: another "
                                            "application holds it");
                                    }),
              1);
    EXPECT_EQ(lines.back(), "Registered hot key 0");
    XUngrabKey(user, kY, ControlMask, DefaultRootWindow(user));
    XSync(user, False);
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
