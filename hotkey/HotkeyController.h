#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "decode/SMPTE_tc.h"
#include "platform/Event.h"
#include "platform/SettingsObserver.h"
#include "routing/TimecodeControllerListener.h"

class Keyboard;
class UserDefaultsController;

// The global hot key: registered from the settings "HotKeyCode",
// "HotKeyCommand" and "HotKeyAlt" and kept in step with them; each press types
// the last accepted timecode, formatted by "TypedFormat", into the front
// application.
//
// Thread contract: main thread (settings written on other threads reach the
// observer there, so they must not change the hot key keys).
class HotkeyController final : public SettingsObserver, public TimecodeControllerListener {
public:
    /// Listens to the controller, follows the four settings and registers the
    /// hot key from them. The keyboard's presses reach hotKeyEvent() through
    /// the application object's event routing.
    HotkeyController(TimecodeListeners& controller, UserDefaultsController& settings,
                     Keyboard& keyboard);
    ~HotkeyController();

    HotkeyController(const HotkeyController&) = delete;
    HotkeyController& operator=(const HotkeyController&) = delete;

    void observeValueForKeyPath(const std::optional<std::string>& keyPath) override;
    void receiveTimecode(const TimecodeWrapper& wrapper) override;

    void updateTypingFormat();
    std::string getFormattedTime() const;

    void enableHotkey();
    void disableHotkey();
    void setupHotKey(int32_t keyCode, bool cmd, bool alt, bool shift);

    /// Types the time for a hot key press; any other event, or any event while
    /// no hot key is registered, does nothing.
    void hotKeyEvent(const Event& event);
    void printTime1();
    void printChar(char c);

    bool isRegistered() const { return hotKey1Ref_.has_value(); }

private:
    TimecodeListeners& controller_;
    UserDefaultsController& settings_;
    Keyboard& keyboard_;

    SMPTE_tc timecode_{};
    std::optional<std::u16string> format_;
    std::optional<uint32_t> hotKey1Ref_;
};
