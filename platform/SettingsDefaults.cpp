#include "platform/SettingsDefaults.h"

nlohmann::json SettingsDefaults::registered() {
    return {
        {"TypedFormat", "%N%H:%M:%S.%F%T"},
        {"sourceType", "Audio Input"},
        // Carries a channel count, so it names no device: a first launch selects no audio device.
        {"audioInput", "Built-in Input (2)"},
        {"HotKeyString", "`"},
        {"HotKeyCode", 50},
        {"HotKeyCommand", false},
        {"HotKeyAlt", false},
    };
}
