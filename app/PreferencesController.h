#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Event.h"
#include "platform/SettingsObserver.h"

class HotKeySetter;
class UserDefaultsController;

// The native preferences window, loaded from "Preferences.ui" on first use:
// the hot key field takes the next key pressed in it as the new hot key
// (newKeycode), the typing format field and the input pop-up edit their
// settings as they change.
//
// Key presses in the window go to the application object's event routing
// first (sendEvent), which hands those meant for the hot key field back to
// newKeycode().
//
// Thread contract: main thread.
class PreferencesController final : public SettingsObserver {
public:
    struct Environment {
        UserDefaultsController* settings = nullptr;
        /// Empty: the installed "Preferences.ui".
        std::string interfaceFile;
        /// Shows the load failure; empty: a modal alert.
        std::function<void(const std::string& text)> alert;
        /// Rebuilds "audioInputList" (the application object's refreshDevicesList).
        std::function<void()> refreshDevicesList;
        /// The application object's event routing; true when it took the event.
        std::function<bool(const Event& event)> sendEvent;
    };

    explicit PreferencesController(Environment environment);
    ~PreferencesController();

    PreferencesController(const PreferencesController&) = delete;
    PreferencesController& operator=(const PreferencesController&) = delete;

    /// Loads the window the first time and shows it; shows it again later.
    void showPreferences();
    void awakeFromNib();
    void updateHotKeyGraphic() {}

    void observeValueForKeyPath(const std::optional<std::string>& keyPath) override;

    /// Takes a key event from the hot key field as the new hot key and closes
    /// the window.
    void newKeycode(const Event& event);

    /// The log line of a captured key: "Keycode: SCAMF 017 t".
    static std::string keycodeLine(const Event& event);

    GtkWindow* window() const { return preferenceWindow_; }
    GtkWidget* hotKeySetter() const;
    bool isNibLoaded() const { return isNibLoaded_; }

private:
    friend class PreferencesSignals;

    bool loadInterface();
    void wireSignals();
    void showInputList();

    Environment environment_;
    bool isNibLoaded_ = false;
    bool observing_ = false;
    bool updatingFields_ = false;
    GtkWindow* preferenceWindow_ = nullptr;
    GtkLabel* timecodeStatusField_ = nullptr;
    GtkComboBoxText* audioInputButton_ = nullptr;
    GtkEntry* typedFormat_ = nullptr;
    std::unique_ptr<HotKeySetter> hotKeySetter_;
};
