#pragma once

#include <nlohmann/json.hpp>

// The settings that have a registered default, with their defaults. The
// application registers them once, before anything reads a setting.
class SettingsDefaults {
public:
    static nlohmann::json registered();
};
