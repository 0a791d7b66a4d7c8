#include "platform/X11Keyboard.h"

#include <X11/XKBlib.h>
#include <X11/extensions/XInput.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <gdk/gdkx.h>

#include <array>
#include <bit>
#include <cstring>
#include <utility>

#include "platform/CallbackGuard.h"
#include "platform/Log.h"
#include "platform/X11KeyPositions.h"

namespace {

constexpr uint16_t kShiftKeyCode = 56;
constexpr unsigned kLockVariantCount = 4;

bool isDown(const std::array<char, 32>& keys, unsigned keycode) {
    return keycode < 256 && (keys[keycode / 8] & (1 << (keycode % 8))) != 0;
}

// The keys every physical keyboard holds down now. XTest's own device is left
// out: a key we posted, or released with a posted release, is not the user's.
std::array<char, 32> physicallyHeld(Display* display) {
    std::array<char, 32> held{};
    int count = 0;
    XDeviceInfo* devices = XListInputDevices(display, &count);
    for (int i = 0; i < count; ++i) {
        const XDeviceInfo& info = devices[i];
        if (info.use != IsXExtensionKeyboard || std::strstr(info.name, "XTEST") != nullptr)
            continue;
        XDevice* device = XOpenDevice(display, info.id);
        if (device == nullptr) continue;
        if (XDeviceState* state = XQueryDeviceState(display, device)) {
            auto* cls = state->data;
            for (int c = 0; c < state->num_classes; ++c) {
                if (cls->c_class == KeyClass) {
                    const auto* keys = reinterpret_cast<XKeyState*>(cls);
                    for (size_t b = 0; b < held.size(); ++b) {
                        held[b] = static_cast<char>(held[b] | keys->keys[b]);
                    }
                }
                cls = reinterpret_cast<XInputClass*>(reinterpret_cast<char*>(cls) + cls->length);
            }
            XFreeDeviceState(state);
        }
        XCloseDevice(display, device);
    }
    if (devices != nullptr) XFreeDeviceList(devices);
    return held;
}

// One burst of posted keys on the keyboard as it is now.
class Burst {
public:
    explicit Burst(Display* display)
        : display_(display),
          xkb_(XkbGetMap(display, XkbAllClientInfoMask, XkbUseCoreKbd)),
          modifiers_(XGetModifierMapping(display)) {
        XkbStateRec state{};
        XkbGetState(display_, XkbUseCoreKbd, &state);
        group_ = state.group;
        capsLocked_ = (state.locked_mods & LockMask) != 0;
    }
    ~Burst() {
        if (xkb_ != nullptr) XkbFreeKeyboard(xkb_, 0, True);
        if (modifiers_ != nullptr) XFreeModifiermap(modifiers_);
    }
    Burst(const Burst&) = delete;
    Burst& operator=(const Burst&) = delete;

    // Held modifiers would turn digits into control characters, and Caps Lock
    // would change the case of letters.
    void begin() {
        std::array<char, 32> keys{};
        XQueryKeymap(display_, keys.data());
        forEachModifierKey(~unsigned(LockMask), [&](KeyCode keycode) {
            if (isDown(keys, keycode)) {
                key(keycode, false);
                released_.push_back(keycode);
            }
        });
        if (capsLocked_) XkbLockModifiers(display_, XkbUseCoreKbd, LockMask, 0);
    }

    // A modifier the user let go of during the burst stays up: putting it
    // back would leave it stuck.
    void end() {
        if (capsLocked_) XkbLockModifiers(display_, XkbUseCoreKbd, LockMask, LockMask);
        if (!released_.empty()) {
            const std::array<char, 32> held = physicallyHeld(display_);
            for (const KeyCode keycode : released_) {
                if (isDown(held, keycode)) key(keycode, true);
            }
        }
        XSync(display_, False);
    }

    void post(uint16_t character, uint16_t keyCode, bool down) {
        if (keyCode == kShiftKeyCode && character == 0) shiftPosted_ = down;
        if (!down && substituting_) {
            key(substitute_.keycode, false);
            setModifiers(substitute_, false);
            substituting_ = false;
            return;
        }
        const KeyCode position = x11KeycodeForKeyCode(keyCode);
        if (down && character >= 0x20 && character < 0x7F && !types(position, character)) {
            if (auto found = findKeysym(character)) {
                substitute_ = Substitute{found->first, found->second,
                                         ((found->second & ShiftMask) != 0) != shiftPosted_};
                substituting_ = true;
                setModifiers(substitute_, true);
                key(substitute_.keycode, true);
                return;
            }
        }
        if (position != 0) key(position, down);
    }

private:
    using KeyAndModifiers = std::pair<KeyCode, unsigned>;
    // A character typed by another key than the table's, with the modifiers
    // its level needs.
    struct Substitute {
        KeyCode keycode = 0;
        unsigned mask = 0;
        bool flipShift = false;
    };

    void key(KeyCode keycode, bool down) {
        XTestFakeKeyEvent(display_, keycode, down ? True : False, CurrentTime);
        XFlush(display_);
    }

    template <typename F>
    void forEachModifierKey(unsigned mask, F&& f) const {
        if (modifiers_ == nullptr) return;
        for (int row = 0; row < 8; ++row) {
            if ((mask & (1u << row)) == 0) continue;
            for (int k = 0; k < modifiers_->max_keypermod; ++k) {
                const KeyCode keycode =
                    modifiers_->modifiermap[row * modifiers_->max_keypermod + k];
                if (keycode != 0) f(keycode);
            }
        }
    }

    // Puts Shift where the character needs it and presses one key for each
    // other modifier it needs; with down false, undoes that.
    void setModifiers(const Substitute& s, bool down) {
        if (s.flipShift) key(shiftKeycode(), down != shiftPosted_);
        for (int row = 0; row < 8; ++row) {
            const unsigned bit = 1u << row;
            if ((s.mask & bit) == 0 || bit == ShiftMask) continue;
            if (const KeyCode keycode = modifierKey(bit)) key(keycode, down);
        }
    }

    // A key that sets the modifier bit. Mode_switch shares its bit with
    // ISO_Level3_Shift on common maps, but switches the group instead.
    KeyCode modifierKey(unsigned bit) const {
        KeyCode chosen = 0;
        forEachModifierKey(bit, [&](KeyCode keycode) {
            const KeySym sym = symAt(keycode, 0);
            if (sym == XK_ISO_Level3_Shift || (chosen == 0 && sym != XK_Mode_switch)) {
                chosen = keycode;
            }
        });
        return chosen;
    }

    KeyCode shiftKeycode() const { return x11KeycodeForKeyCode(kShiftKeyCode); }

    KeySym symAt(KeyCode keycode, int level) const {
        if (xkb_ == nullptr || XkbKeyNumGroups(xkb_, keycode) == 0) return NoSymbol;
        const int group = group_ < XkbKeyNumGroups(xkb_, keycode) ? group_ : 0;
        if (level >= XkbKeyGroupWidth(xkb_, keycode, group)) return NoSymbol;
        return XkbKeySymEntry(xkb_, keycode, level, group);
    }

    // Whether the key at the position types the character at the level the
    // posted Shift selects.
    bool types(KeyCode position, uint16_t character) const {
        return position != 0 && symAt(position, shiftPosted_ ? 1 : 0) == character;
    }

    unsigned levelModifiers(KeyCode keycode, int level) const {
        if (level == 0) return 0;
        const int group = group_ < XkbKeyNumGroups(xkb_, keycode) ? group_ : 0;
        const XkbKeyTypePtr type = XkbKeyKeyType(xkb_, keycode, group);
        for (int e = 0; e < type->map_count; ++e) {
            const XkbKTMapEntryRec& entry = type->map[e];
            if (entry.active && entry.level == level && (entry.mods.mask & LockMask) == 0) {
                return entry.mods.mask;
            }
        }
        return ~0u;
    }

    // Printable ASCII characters are their own keysyms. The key that needs the
    // fewest modifiers wins.
    std::optional<KeyAndModifiers> findKeysym(uint16_t character) const {
        std::optional<KeyAndModifiers> best;
        if (xkb_ == nullptr) return best;
        for (int keycode = xkb_->min_key_code; keycode <= xkb_->max_key_code; ++keycode) {
            for (int level = 0; level < 4; ++level) {
                if (symAt(KeyCode(keycode), level) != character) continue;
                const unsigned mask = levelModifiers(KeyCode(keycode), level);
                if (mask == ~0u) continue;
                if (!best || std::popcount(mask) < std::popcount(best->second)) {
                    best = KeyAndModifiers{KeyCode(keycode), mask};
                }
            }
        }
        return best;
    }

    Display* display_;
    XkbDescPtr xkb_;
    XModifierKeymap* modifiers_;
    int group_ = 0;
    bool capsLocked_ = false;
    bool shiftPosted_ = false;
    std::vector<KeyCode> released_;
    Substitute substitute_{};
    bool substituting_ = false;
};

unsigned x11Modifiers(uint32_t modifiers) {
    unsigned mask = 0;
    if ((modifiers & Keyboard::kCommandKey) != 0) mask |= ControlMask;
    if ((modifiers & Keyboard::kShiftKey) != 0) mask |= ShiftMask;
    if ((modifiers & Keyboard::kOptionKey) != 0) mask |= Mod1Mask;
    return mask;
}

unsigned numLockMask(Display* display) {
    unsigned mask = 0;
    const KeyCode numLock = XKeysymToKeycode(display, XK_Num_Lock);
    XModifierKeymap* map = XGetModifierMapping(display);
    for (int i = 0; map != nullptr && numLock != 0 && i < 8 * map->max_keypermod; ++i) {
        if (map->modifiermap[i] == numLock) mask = 1u << (i / map->max_keypermod);
    }
    if (map != nullptr) XFreeModifiermap(map);
    return mask;
}

}  // namespace

X11Keyboard::X11Keyboard(GdkDisplay* display)
    : gdkDisplay_(display),
      display_(GDK_DISPLAY_XDISPLAY(display)),
      root_(DefaultRootWindow(display_)),
      numLockMask_(numLockMask(display_)) {
    burst_.reserve(256);
    gdk_window_add_filter(nullptr, &X11Keyboard::filter, this);
}

X11Keyboard::~X11Keyboard() {
    gdk_window_remove_filter(nullptr, &X11Keyboard::filter, this);
    if (grab_) ungrab(*grab_, kLockVariantCount);
}

unsigned X11Keyboard::lockVariants(unsigned index) const {
    constexpr unsigned kVariants[] = {0, LockMask, 0, LockMask};
    return kVariants[index] | (index >= 2 ? numLockMask_ : 0);
}

void X11Keyboard::ungrab(const Grab& grab, unsigned variants) {
    gdk_x11_display_error_trap_push(gdkDisplay_);
    for (unsigned i = 0; i < variants; ++i) {
        XUngrabKey(display_, grab.keycode, grab.modifiers | lockVariants(i), root_);
    }
    gdk_x11_display_error_trap_pop_ignored(gdkDisplay_);
    XFlush(display_);
}

int X11Keyboard::grabKey(const Grab& grab) {
    // A key another application holds is refused with BadAccess, which GDK
    // would otherwise treat as fatal; some variants may have been granted.
    gdk_x11_display_error_trap_push(gdkDisplay_);
    for (unsigned i = 0; i < kLockVariantCount; ++i) {
        XGrabKey(display_, grab.keycode, grab.modifiers | lockVariants(i), root_, False,
                 GrabModeAsync, GrabModeAsync);
    }
    const int error = gdk_x11_display_error_trap_pop(gdkDisplay_);
    if (error != 0) ungrab(grab, kLockVariantCount);
    return error;
}

std::optional<uint32_t> X11Keyboard::registerEventHotKey(uint32_t keyCode, uint32_t modifiers) {
    if (grab_) ungrab(*grab_, kLockVariantCount);
    grab_.reset();
    hotKeyDown_ = false;
    const Grab grab{x11KeycodeForKeyCode(keyCode), x11Modifiers(modifiers)};
    if (grab.keycode == 0) {
        Log::line("Hot key %u not registered: it has no key on this keyboard", keyCode);
        return std::nullopt;
    }
    if (const int error = grabKey(grab); error != 0) {
        Log::line("Hot key %u not registered: another application holds it (X error %d)", keyCode,
                  error);
        return std::nullopt;
    }
    grab_ = grab;
    return nextHandle_++;
}

void X11Keyboard::unregisterEventHotKey(uint32_t) {
    if (grab_) ungrab(*grab_, kLockVariantCount);
    grab_.reset();
    hotKeyDown_ = false;
}

void X11Keyboard::setHotKeyHandler(HotKeyPressed pressed) {
    pressed_ = std::move(pressed);
}

void X11Keyboard::postKeyboardEvent(uint16_t character, uint16_t keyCode, bool down) {
    burst_.push_back(Posted{character, keyCode, down});
    if (!bursting_) flush();
}

void X11Keyboard::enableEventStateCombining(bool combine) {
    bursting_ = !combine;
    if (combine && !hotKeyDown_) flush();
}

// The hot key is let go while the burst is posted: a format may type the
// hot key's own character, which the grab would take for another press.
void X11Keyboard::flush() {
    if (burst_.empty()) return;
    std::vector<Posted> burst;
    burst.swap(burst_);
    if (grab_) ungrab(*grab_, kLockVariantCount);
    send(burst);
    if (grab_ && grabKey(*grab_) != 0) {
        Log::line("The hot key was taken by another application while Mirel typed");
        grab_.reset();
    }
    burst.clear();
    burst_.swap(burst);
}

void X11Keyboard::send(const std::vector<Posted>& burst) {
    Burst keys(display_);
    keys.begin();
    for (const Posted& p : burst) keys.post(p.character, p.keyCode, p.down);
    keys.end();
}

GdkFilterReturn X11Keyboard::filter(GdkXEvent* xevent, GdkEvent*, gpointer self) {
    return runGuarded("Hot key", GDK_FILTER_CONTINUE, [&] {
        return static_cast<X11Keyboard*>(self)->handle(*static_cast<XEvent*>(xevent));
    });
}

// Auto-repeat sends more presses while the key is held (GDK asks the server
// to leave out the releases in between): only the first one counts.
GdkFilterReturn X11Keyboard::handle(const XEvent& event) {
    if ((event.type != KeyPress && event.type != KeyRelease) || !grab_ ||
        event.xkey.keycode != grab_->keycode) {
        return GDK_FILTER_CONTINUE;
    }
    if (event.type == KeyRelease) {
        if (!hotKeyDown_) return GDK_FILTER_CONTINUE;
        hotKeyDown_ = false;
        flush();
        return GDK_FILTER_REMOVE;
    }
    if ((event.xkey.state & ~(LockMask | numLockMask_)) != grab_->modifiers) {
        return GDK_FILTER_CONTINUE;
    }
    if (!hotKeyDown_) {
        hotKeyDown_ = true;
        if (pressed_) pressed_();
    }
    return GDK_FILTER_REMOVE;
}

namespace {

bool isFunctionKey(guint keyval) {
    return (keyval >= GDK_KEY_F1 && keyval <= GDK_KEY_F35) ||
           (keyval >= GDK_KEY_Home && keyval <= GDK_KEY_End) || keyval == GDK_KEY_Delete ||
           keyval == GDK_KEY_Insert || keyval == GDK_KEY_Help;
}

}  // namespace

Event keyEvent(const GdkEventKey& key, void* window) {
    Event event;
    event.type = key.type == GDK_KEY_RELEASE ? Event::kKeyUp : Event::kKeyDown;
    event.keyCode = keyCodeForX11Keycode(key.hardware_keycode);
    event.window = window;
    // The text of the key (keyval is after Shift); control characters are none.
    const gunichar c = gdk_keyval_to_unicode(key.keyval);
    if (c >= 0x20 && c != 0x7F) {
        std::array<char, 8> utf8{};
        event.characters.assign(utf8.data(), g_unichar_to_utf8(c, utf8.data()));
    }
    constexpr std::pair<unsigned, uint32_t> kFlags[] = {
        {GDK_LOCK_MASK, Event::kAlphaShiftKeyMask}, {GDK_SHIFT_MASK, Event::kShiftKeyMask},
        {GDK_SUPER_MASK, Event::kControlKeyMask},   {GDK_MOD1_MASK, Event::kAlternateKeyMask},
        {GDK_CONTROL_MASK, Event::kCommandKeyMask},
    };
    for (const auto& [gdk, flag] : kFlags) {
        if ((key.state & gdk) != 0) event.modifierFlags |= flag;
    }
    if (isFunctionKey(key.keyval)) event.modifierFlags |= Event::kFunctionKeyMask;
    return event;
}
