#pragma once

#include <cstdint>

// Where each of the system's virtual key codes sits on a PC keyboard: the X
// keycode of the same physical position under the evdev rules that every
// current X server and XWayland use (the Linux key number + 8). A hot key
// names a position, so it stays on the same key whatever the layout; 0 means
// the position has no key on a PC keyboard (the Fn key, for one).
//
// Command is the Ctrl key and Option the Alt key; the Control key is Super.
uint8_t x11KeycodeForKeyCode(uint32_t keyCode);

/// The virtual key code at an X keycode's position; kNoKeyCode for a key
/// that has none.
inline constexpr uint16_t kNoKeyCode = 0xFFFF;
uint16_t keyCodeForX11Keycode(uint32_t keycode);
