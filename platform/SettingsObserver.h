#pragma once

#include <optional>
#include <string>

// An observer of settings on the UserDefaultsController.
//
// The store calls observeValueForKeyPath() with the key path that changed
// ("values.audioInput"), synchronously, on the thread that made the change,
// after the new value is in place; the observer reads the value back from the
// store. The store itself never passes an empty key path. By convention an
// observer calls its own method with no key path (std::nullopt) to mean "re-read
// every setting you follow", as at set-up; refreshAll() does that.
class SettingsObserver {
public:
    virtual void observeValueForKeyPath(const std::optional<std::string>& keyPath) = 0;

    void refreshAll() { observeValueForKeyPath(std::nullopt); }

protected:
    ~SettingsObserver() = default;
};
