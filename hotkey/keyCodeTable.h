#pragma once

// Which key, on the US (ANSI) layout, types a character of the formatted time.
//
// Key codes name physical key positions (0 is the A key, 36 Return,
// 48 Tab, 49 the space bar, 51 Backspace), not characters; the platform layer
// maps positions to its own key codes. Every key serves two characters, the
// second typed with Shift held.

/// Writes both outputs on every call. A character no key types, any byte
/// of 128 or more among them, strikes the space bar without Shift.
/// Constant time, no allocation.
void getKeyCode(char c, int& keyCode, bool& shift);
