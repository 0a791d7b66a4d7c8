#pragma once

#include <cstdint>
#include <functional>
#include <optional>

// The keyboard as the hot key controller needs it: one global hot key, and
// key strokes posted to whatever application is in front.
//
// Key codes are the system's virtual key codes, which name physical positions
// on a US keyboard (0 the A key, 36 Return, 56 Shift); modifiers are the
// system's masks below. How they reach the display server is the
// implementation's business (X11Keyboard).
//
// Thread contract: main thread.
class Keyboard {
public:
    static constexpr uint32_t kCommandKey = 0x0100;  // Ctrl on Linux
    static constexpr uint32_t kShiftKey = 0x0200;
    static constexpr uint32_t kOptionKey = 0x0800;  // Alt on Linux

    /// Called on the main loop for every press of the registered key (not for
    /// its auto-repeat).
    using HotKeyPressed = std::function<void()>;

    virtual ~Keyboard() = default;

    /// Registers the one global hot key, in place of any earlier one. The
    /// handle is absent when the display refuses the key (another application
    /// holds it); the refusal has been logged.
    virtual std::optional<uint32_t> registerEventHotKey(uint32_t keyCode, uint32_t modifiers) = 0;
    virtual void unregisterEventHotKey(uint32_t handle) = 0;
    virtual void setHotKeyHandler(HotKeyPressed pressed) = 0;

    /// Posts one key stroke half: the key at `keyCode`, meant to type
    /// `character` (0 for a modifier key).
    virtual void postKeyboardEvent(uint16_t character, uint16_t keyCode, bool down) = 0;
    /// Brackets a burst of posted keys: with false the modifiers the user
    /// holds stop applying to posted keys, with true they apply again.
    virtual void enableEventStateCombining(bool combine) = 0;
};
