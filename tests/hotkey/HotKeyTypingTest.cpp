// The hot key as a person uses it under Xvfb: the "user" presses keys through XTest on a
// connection of their own, into the focused text view of another program.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <algorithm>
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
    void hotKeyTypes(const char* layout, const std::string& text) {
        SCOPED_TRACE(layout);
        setLayout(layout);
        field.clear();
        press({kGrave});
        EXPECT_EQ(field.await(text), text);
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
    for (const char* layout : {"us", "de", "fr"}) hotKeyTypes(layout, "\n01:02:03.04\t");

    // Caps Lock must not change the case of what is typed.
    settings.setObjectForKey("Take %h-%m%%|AbZ", "TypedFormat");
    XkbLockModifiers(user, XkbUseCoreKbd, LockMask, LockMask);
    for (const char* layout : {"de", "us"}) hotKeyTypes(layout, "Take 01-02%|AbZ");
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
    hotKeyTypes("us", expected);
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
    char keys[32] = {};
    XQueryKeymap(user, keys);
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
    const std::string refused = "Hot key 16 not registered: another application holds it";
    EXPECT_EQ(std::ranges::count_if(lines, [&](auto& l) { return l.starts_with(refused); }), 1);
    EXPECT_EQ(lines.back(), "Registered hot key 0");
}

}  // namespace

int main(int argc, char** argv) {
    gdk_set_allowed_backends("x11");
    gtk_init(&argc, &argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
