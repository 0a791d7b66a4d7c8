#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hotkey/HotkeyController.h"
#include "platform/LogCapture.h"
#include "platform/SettingsDefaults.h"
#include "platform/UserDefaultsController.h"
#include "routing/TimecodeWrapper.h"
#include "tests/hotkey/FakeKeyboard.h"

namespace {

struct Listeners : TimecodeListeners {
    void listen(TimecodeControllerListener& l) override { listener = &l; }
    void stopListening(TimecodeControllerListener&) override { listener = nullptr; }
    TimecodeControllerListener* listener = nullptr;
};

class HotkeyControllerTest : public ::testing::Test {
protected:
    HotkeyControllerTest() { settings.registerDefaults(SettingsDefaults::registered()); }

    std::vector<std::string> typed() {
        keyboard.posted.clear();
        hotkey->hotKeyEvent(Event::hotKeyPressed());
        return keyboard.posted;
    }

    LogCapture log;
    UserDefaultsController settings;
    Listeners listeners;
    FakeKeyboard keyboard;
    std::optional<HotkeyController> hotkey;
};

TEST_F(HotkeyControllerTest, APressTypesTheLastValueKeyByKey) {
    hotkey.emplace(listeners, settings, keyboard);
    EXPECT_EQ(keyboard.calls, std::vector<std::string>{"register 50 0"});
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"Starting hot key: 00 050", "Registered hot key 1"}));
    SMPTE_tc tc{};
    tc.hu = 1, tc.mu = 2, tc.su = 3, tc.fu = 4;
    ASSERT_EQ(listeners.listener, &*hotkey);
    listeners.listener->receiveTimecode(TimecodeWrapper(tc));

    // Shift+Return, the digits with Shift+; for the colons, then Tab: 32 events.
    const std::vector<std::string> expected = {
        "[",    "56v",  "36v",  "36^",  "56^",  "29v0", "29^0", "18v1", "18^1",
        "56v",  "41v:", "41^:", "56^",  "29v0", "29^0", "19v2", "19^2", "56v",
        "41v:", "41^:", "56^",  "29v0", "29^0", "20v3", "20^3", "47v.", "47^.",
        "29v0", "29^0", "21v4", "21^4", "48v",  "48^",  "]"};
    EXPECT_EQ(typed(), expected);

    // Only a hot key press types, and only while a key is registered.
    keyboard.posted.clear();
    for (const auto& [type, subtype] : {std::pair{14, 7}, std::pair{10, 6}}) {
        Event event;
        event.type = type, event.subtype = subtype;
        hotkey->hotKeyEvent(event);
    }
    EXPECT_TRUE(keyboard.posted.empty());
}

TEST_F(HotkeyControllerTest, EverySettingChangeRegistersAfresh) {
    hotkey.emplace(listeners, settings, keyboard);
    settings.setObjectForKey(true, "HotKeyCommand");
    settings.setObjectForKey(true, "HotKeyAlt");
    settings.setObjectForKey(0, "HotKeyCode");
    EXPECT_EQ(keyboard.calls,
              (std::vector<std::string>{"register 50 0", "unregister 1", "register 50 256",
                                        "unregister 2", "register 50 2304", "unregister 3"}));
    EXPECT_FALSE(hotkey->isRegistered());
    EXPECT_EQ(log.lines().back(), "No hot key listener");

    keyboard.refuse = true;
    settings.setObjectForKey(17, "HotKeyCode");
    EXPECT_EQ(log.lines().back(), "Registered hot key 0");
    EXPECT_EQ(typed(), std::vector<std::string>{}) << "a refused key types nothing";

    // No format: the burst is still opened and closed.
    keyboard.refuse = false;
    settings.setObjectForKey(nullptr, "TypedFormat");
    settings.setObjectForKey(18, "HotKeyCode");
    EXPECT_EQ(typed(), (std::vector<std::string>{"[", "]"}));
}

}  // namespace
