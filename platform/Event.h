#pragma once

#include <cstdint>
#include <string>

// A keyboard event as the application object routes it: key presses from its
// windows, and the global hot key's presses. The numbers are the event types
// and modifier flag bits that the routing and the hot key settings are
// written in terms of.
struct Event {
    static constexpr int kKeyDown = 10;
    static constexpr int kKeyUp = 11;
    static constexpr int kSystemDefined = 14;
    static constexpr int kHotKeyPressed = 6;  ///< subtype of kSystemDefined

    static constexpr uint32_t kAlphaShiftKeyMask = 1u << 16;  ///< Caps Lock
    static constexpr uint32_t kShiftKeyMask = 1u << 17;
    static constexpr uint32_t kControlKeyMask = 1u << 18;    ///< Super on Linux
    static constexpr uint32_t kAlternateKeyMask = 1u << 19;  ///< Option: Alt
    static constexpr uint32_t kCommandKeyMask = 1u << 20;    ///< Command: Ctrl
    static constexpr uint32_t kFunctionKeyMask = 1u << 23;   ///< F keys, arrows, paging

    static Event hotKeyPressed() {
        Event event;
        event.type = kSystemDefined;
        event.subtype = kHotKeyPressed;
        return event;
    }

    int type = 0;
    int subtype = 0;
    /// The virtual key code: the key's position on a US keyboard.
    uint16_t keyCode = 0;
    /// What the key types with the modifiers held, as UTF-8; empty for none.
    std::string characters;
    uint32_t modifierFlags = 0;
    /// The window the event is for (a GtkWindow); null for a hot key press.
    void* window = nullptr;
};
