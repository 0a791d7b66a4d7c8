#pragma once

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/ControllerTimecodeSources.h"
#include "app/PreferencesController.h"
#include "app/TimecodeInputList.h"
#include "clock/ClockWindow.h"
#include "clock/ClockWindowDelegate.h"
#include "clock/WebClockSharing.h"
#include "hotkey/HotkeyController.h"
#include "movie/MoviePlaybackController.h"
#include "platform/Event.h"
#include "platform/Keyboard.h"
#include "platform/UserDefaultsController.h"

class MirelUrlProtocol;
class TimecodeController;

// The application object: registers the settings defaults before anything
// reads them, serves the "mirel:" scheme before any page loads, creates the
// timecode controller before the clock window so that the window can listen
// to it, shows the clock window at launch and carries the menu commands.
//
// The commands are the actions of the main menu ("app.showHelp" and so on),
// laid out in MainMenu.ui and bound to this object in bindMenu().
//
// Thread contract: main thread.
class MirelApplication final : public ClockWindowDelegate {
public:
    /// What the application stands on; tests replace parts of it.
    struct Environment {
        UserDefaultsController* settings = &UserDefaultsController::shared();
        /// The controller, fetched in the constructor; the process's by default.
        std::function<TimecodeController&()> timecodeController;
        /// Where the scheme is served and the clock's web view lives; null
        /// means WebKit's default context.
        WebKitWebContext* context = nullptr;
        /// Opens the online help in the user's browser.
        std::function<void(const std::string& address)> openInBrowser;
        /// Passed on to the clock window (its interface file and alert).
        std::string clockInterfaceFile;
        std::function<void(const std::string& text)> alert;
        /// The GTK application that runs the program; none in tests.
        GtkApplication* application = nullptr;
        /// The global hot key and key posting; null: the X display's.
        Keyboard* keyboard = nullptr;
        /// The preferences window's interface file; empty: the installed one.
        std::string preferencesInterfaceFile;
        /// The files the user chose to open (none when cancelled); empty:
        /// the file chooser.
        std::function<std::vector<std::string>()> openPanel;
    };

    static constexpr const char* kApplicationId = "org.mirel.Mirel";
    static constexpr const char* kHelpPage = "mirel:///help/";
    static constexpr const char* kPreferencesPage = "mirel:///preferences/";

    /// Registers the settings defaults and attaches the user's settings file
    /// to `settings`. Once, before the application object is made.
    static void initialize(UserDefaultsController& settings, const std::string& preferencesPath);

    /// The program: initialises, makes the application object when GTK has
    /// started, and runs the event loop until the user quits.
    static int main(int argc, char** argv);

    explicit MirelApplication(Environment environment);
    ~MirelApplication();

    MirelApplication(const MirelApplication&) = delete;
    MirelApplication& operator=(const MirelApplication&) = delete;

    /// Shows the clock window with its home page, then has the controller
    /// select the source that "audioInput" names.
    void applicationDidFinishLaunching();

    void showTimecodeClockWindow();
    void showHelp();
    void showPreferences();

    void showHotKeyPreferences() override;
    void open() override;
    void updateMovieWindow(const std::string& path) override;

    /// Routes a key event before its window handles it: a key pressed in the
    /// preferences window's hot key field becomes the new hot key, and a hot
    /// key press types the time, unless that field has the focus, which it
    /// then loses. False for every other event: the window handles it.
    bool sendEvent(const Event& event);

    /// Gives the GTK application the main menu and this object's commands as
    /// its actions; false, after the alert, when MainMenu.ui cannot be loaded.
    bool bindMenu(const std::string& menuFile = "");

    ClockWindow& clockWindow() { return *clockWindow_; }
    TimecodeController& timecodeController() { return timecodeController_; }
    TimecodeInputList& inputList() { return *inputList_; }
    PreferencesController& preferencesController() { return *preferencesController_; }
    HotkeyController& hotkeyController() { return *hotkeyController_; }
    /// Made on the first movie and kept; null before.
    MoviePlaybackController* moviePlayback() const { return aMoviePlayback_.get(); }

private:
    friend class MirelApplicationSignals;

    void alert(const std::string& text) const;
    bool hotKeyFieldHasFocus() const;
    std::vector<std::string> runOpenPanel() const;

    Environment environment_;
    TimecodeController& timecodeController_;
    GtkApplication* application_ = nullptr;
    std::unique_ptr<TimecodeInputList> inputList_;
    std::unique_ptr<ControllerTimecodeSources> sources_;
    std::unique_ptr<ClockWindow> clockWindow_;
    std::unique_ptr<Keyboard> ownKeyboard_;
    Keyboard* keyboard_ = nullptr;
    std::unique_ptr<HotkeyController> hotkeyController_;
    std::unique_ptr<PreferencesController> preferencesController_;
    std::unique_ptr<MoviePlaybackController> aMoviePlayback_;
    std::unique_ptr<WebClockSharing> webClockSharing_;
    std::vector<GSimpleAction*> actions_;
};
