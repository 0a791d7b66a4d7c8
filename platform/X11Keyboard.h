#pragma once

#include <gdk/gdk.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/Event.h"
#include "platform/Keyboard.h"

// The keyboard on an X server, through GDK's connection: the hot key is a
// passive grab on the root window, its presses arrive through a GDK event
// filter on the main loop, and posted keys go through XTest.
//
// What the X server makes necessary:
// - The grab is taken four times, with and without Caps Lock and Num Lock,
//   since grabs match modifiers exactly.
// - While the hot key is down our own grab would swallow posted keys, so a
//   burst posted during the press is held back and sent at the key's release.
// - Keys are posted by position when the layout is the US one the key codes
//   were made for; on any other layout each character is posted by its keysym,
//   with the level modifiers it needs, so every layout receives the same text.
// - Modifiers the user holds are released for the burst and put back after it
//   only if a physical keyboard still holds them; Caps Lock is unlocked for the
//   burst and locked again after it.
//
// Thread contract: main thread.
class X11Keyboard final : public Keyboard {
public:
    explicit X11Keyboard(GdkDisplay* display = gdk_display_get_default());
    ~X11Keyboard() override;

    X11Keyboard(const X11Keyboard&) = delete;
    X11Keyboard& operator=(const X11Keyboard&) = delete;

    std::optional<uint32_t> registerEventHotKey(uint32_t keyCode, uint32_t modifiers) override;
    void unregisterEventHotKey(uint32_t handle) override;
    void setHotKeyHandler(HotKeyPressed pressed) override;
    void postKeyboardEvent(uint16_t character, uint16_t keyCode, bool down) override;
    void enableEventStateCombining(bool combine) override;

    /// Sends a burst that was held back for the hot key's release now.
    void flush();

private:
    struct Posted {
        uint16_t character;
        uint16_t keyCode;
        bool down;
    };
    struct Grab {
        uint8_t keycode;
        unsigned modifiers;
    };

    static GdkFilterReturn filter(GdkXEvent* xevent, GdkEvent*, gpointer self);
    // Xlib's own tag names: the header stays free of Xlib's macros.
    GdkFilterReturn handle(const union _XEvent& event);  // NOLINT(bugprone-reserved-identifier)
    unsigned lockVariants(unsigned index) const;
    int grabKey(const Grab& grab);
    void ungrab(const Grab& grab, unsigned variants);
    void send(const std::vector<Posted>& burst);

    GdkDisplay* gdkDisplay_;
    struct _XDisplay* display_;  // NOLINT(bugprone-reserved-identifier): Xlib's Display
    unsigned long root_;
    unsigned numLockMask_ = 0;
    std::optional<Grab> grab_;
    uint32_t nextHandle_ = 1;
    HotKeyPressed pressed_;
    bool hotKeyDown_ = false;
    bool bursting_ = false;
    std::vector<Posted> burst_;
};

/// A GDK key press or release as the application object routes it: the key's
/// position as a virtual key code, what it types, and the modifier flags
/// (Ctrl as Command, Alt as Option, Super as Control).
Event keyEvent(const GdkEventKey& key, void* window);
