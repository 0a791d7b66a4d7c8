#include "hotkey/HotkeyController.h"

#include <glib.h>

#include "hotkey/FormattedTime.h"
#include "hotkey/keyCodeTable.h"
#include "platform/Keyboard.h"
#include "platform/Log.h"
#include "platform/UserDefaultsController.h"
#include "routing/TimecodeWrapper.h"

namespace {

constexpr const char* kTypedFormat = "values.TypedFormat";
constexpr const char* kHotKeyPaths[] = {"values.HotKeyCode", "values.HotKeyCommand",
                                        "values.HotKeyAlt"};
constexpr uint16_t kShiftKeyCode = 56;

// Settings written by hand or by an older page may hold a boolean, a number
// or a numeric text: read each as the number it stands for, 0 otherwise.
int32_t integerSetting(const nlohmann::json& value) {
    if (value.is_boolean()) return value.get<bool>() ? 1 : 0;
    if (value.is_number()) return static_cast<int32_t>(value.get<double>());
    if (value.is_string())
        return static_cast<int32_t>(
            g_ascii_strtoll(value.get_ref<const std::string&>().c_str(), nullptr, 10));
    return 0;
}

}  // namespace

HotkeyController::HotkeyController(TimecodeListeners& controller, UserDefaultsController& settings,
                                   Keyboard& keyboard)
    : controller_(controller), settings_(settings), keyboard_(keyboard) {
    controller_.listen(*this);
    settings_.addObserver(*this, kTypedFormat);
    for (const char* path : kHotKeyPaths) settings_.addObserver(*this, path);
    updateTypingFormat();
    enableHotkey();
}

HotkeyController::~HotkeyController() {
    disableHotkey();
    for (const char* path : kHotKeyPaths) settings_.removeObserver(*this, path);
    settings_.removeObserver(*this, kTypedFormat);
    controller_.stopListening(*this);
}

void HotkeyController::observeValueForKeyPath(const std::optional<std::string>& keyPath) {
    if (!keyPath || *keyPath == kTypedFormat) updateTypingFormat();
    bool hotKeyPath = !keyPath;
    for (const char* path : kHotKeyPaths) hotKeyPath = hotKeyPath || *keyPath == path;
    if (hotKeyPath) enableHotkey();
}

void HotkeyController::receiveTimecode(const TimecodeWrapper& wrapper) {
    timecode_ = *wrapper.timecode();
}

void HotkeyController::updateTypingFormat() {
    const nlohmann::json value = settings_.valueForKeyPath(kTypedFormat);
    format_.reset();
    if (!value.is_string()) return;
    const std::string& text = value.get_ref<const std::string&>();
    glong units = 0;
    g_autofree gunichar2* utf16 =
        g_utf8_to_utf16(text.data(), static_cast<glong>(text.size()), nullptr, &units, nullptr);
    // Settings are valid UTF-8 (the store reads them as JSON), so this holds.
    if (utf16 != nullptr) format_.emplace(reinterpret_cast<const char16_t*>(utf16), units);
}

std::string HotkeyController::getFormattedTime() const {
    return format_ ? formattedTime(*format_, timecode_) : std::string();
}

void HotkeyController::enableHotkey() {
    disableHotkey();
    const int32_t keyCode = integerSetting(settings_.valueForKeyPath("values.HotKeyCode"));
    if (keyCode == 0) {
        Log::line("No hot key listener");
        return;
    }
    const int32_t command = integerSetting(settings_.valueForKeyPath("values.HotKeyCommand"));
    const int32_t alt = integerSetting(settings_.valueForKeyPath("values.HotKeyAlt"));
    Log::line("Starting hot key: %d%d %03d", command, alt, keyCode);
    setupHotKey(keyCode, command != 0, alt != 0, false);
}

void HotkeyController::disableHotkey() {
    if (hotKey1Ref_) keyboard_.unregisterEventHotKey(*hotKey1Ref_);
    hotKey1Ref_.reset();
}

void HotkeyController::setupHotKey(int32_t keyCode, bool cmd, bool alt, bool shift) {
    uint32_t modifiers = 0;
    if (cmd) modifiers |= Keyboard::kCommandKey;
    if (shift) modifiers |= Keyboard::kShiftKey;
    if (alt) modifiers |= Keyboard::kOptionKey;
    disableHotkey();
    hotKey1Ref_ = keyboard_.registerEventHotKey(static_cast<uint32_t>(keyCode), modifiers);
    Log::line("Registered hot key %d", hotKey1Ref_ ? static_cast<int>(*hotKey1Ref_) : 0);
}

void HotkeyController::hotKeyEvent(const Event& event) {
    if (!hotKey1Ref_ || event.type != Event::kSystemDefined ||
        event.subtype != Event::kHotKeyPressed) {
        return;
    }
    printTime1();
}

// Holding off local input while typing has no counterpart on X11: the burst
// is posted back to back and takes about a millisecond.
void HotkeyController::printTime1() {
    const std::string text = getFormattedTime();
    keyboard_.enableEventStateCombining(false);
    for (const char c : text) printChar(c);
    keyboard_.enableEventStateCombining(true);
}

void HotkeyController::printChar(char c) {
    int keyCode = 0;
    bool shift = false;
    getKeyCode(c, keyCode, shift);
    const auto key = static_cast<uint16_t>(keyCode);
    // Widened with its sign, as the character code of a key event.
    const auto character = static_cast<uint16_t>(static_cast<int16_t>(c));
    if (shift) keyboard_.postKeyboardEvent(0, kShiftKeyCode, true);
    keyboard_.postKeyboardEvent(character, key, true);
    keyboard_.postKeyboardEvent(character, key, false);
    if (shift) keyboard_.postKeyboardEvent(0, kShiftKeyCode, false);
}
