#pragma once

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "clock/ClockWindowDelegate.h"
#include "clock/MirelClockBridge.h"
#include "decode/SMPTE_tc.h"
#include "platform/InterfaceFile.h"
#include "platform/SettingsObserver.h"
#include "platform/UserDefaultsController.h"
#include "routing/TimecodeControllerListener.h"

class TimecodeController;

// The clock window: a web view showing the "mirel:" pages, fed with every
// accepted timecode value, the running status and the frame rate; floating
// and transparent as "OnTop" and "TransparentBgd" say; offering the pages the
// "MirelClock" script object; turning dropped files into movies and failed
// loads into the not-found page.
//
// The view is the one place where the bridge lives, so it shows only "mirel:"
// pages: a link to a web page opens in the user's browser, and other web
// navigations are not made. A navigation to an address that switches the
// source or opens the help is made only from one of the application's pages
// or by Mirel itself.
//
// The window comes from the interface file "mirelweb.ui" on the first
// showWindow(); a file that is missing or broken gives the alert and leaves
// the window unloaded, so the next showWindow() tries again. A later
// showWindow() brings the window to the front and loads the home page again;
// the registrations with the controller and the settings are made once, so
// that no value is shown twice.
//
// Thread contract: main thread.
class ClockWindow final : public TimecodeControllerListener, public SettingsObserver {
public:
    /// What the window stands on; tests replace parts of it.
    struct Environment {
        UserDefaultsController* settings = &UserDefaultsController::shared();
        /// The controller to listen to; none for a window that is fed by hand.
        TimecodeController* controller = nullptr;
        /// Serves "mirel:"; null means WebKit's default context.
        WebKitWebContext* context = nullptr;
        ClockWindowDelegate* application = nullptr;
        /// The GTK application whose menu bar the window shows; none in tests.
        GtkApplication* menuOwner = nullptr;
        /// The interface file; empty means "mirelweb.ui" of the resource folder.
        std::string interfaceFile;
        /// Shows the alert for an interface file that cannot be loaded; empty
        /// means a modal message dialog.
        std::function<void(const std::string& text)> alert;
        /// Opens a web address in the user's browser; empty means the desktop's.
        std::function<void(const std::string& address)> openInBrowser;
    };

    static constexpr const char* kHomePage = "mirel:///home";
    static constexpr const char* kLoadFailedText = InterfaceFile::kLoadFailedText;
    static constexpr int kMinimumWidth = 600;
    static constexpr int kMinimumHeight = 400;

    /// The modal error alert with its one button, "Abort" (through `shownBy`
    /// when there is one).
    static void showAlert(const std::string& text,
                          const std::function<void(const std::string&)>& shownBy = {}) {
        InterfaceFile::showAlert(text, shownBy);
    }

    explicit ClockWindow(Environment environment);
    ~ClockWindow();

    ClockWindow(const ClockWindow&) = delete;
    ClockWindow& operator=(const ClockWindow&) = delete;

    void showWindow();
    /// Loads `address` after escaping what may not stand in an address
    /// (percent signs included, so a path keeps its own).
    void loadWebPage(const std::string& address);
    void loadWebviewHome();
    /// Grows the window so that the web view is at least `width` by `height`,
    /// keeping its top edge; never shrinks it.
    void ensureMinimumWidth(int width, int height);

    void receiveTimecode(const TimecodeWrapper& wrapper) override;
    void observeValueForKeyPath(const std::optional<std::string>& keyPath) override;

    /// The objects pushed into the page, as script: each setting's text is a
    /// string literal, escaped so that no text can end it early.
    static std::string timecodeObject(const SMPTE_tc& tc, const std::string& running);
    static std::string frameRateObject(const std::string& fps);
    static std::string statusObject(const std::string& running);

    /// `text` as a single-quoted script string literal.
    static std::string quoted(const std::string& text);
    /// `address` with every byte escaped that may not stand in an address.
    static std::string addingPercentEscapes(const std::string& address);

    /// Full screen without the menu bar and the address bar, or back. F11
    /// and a double-click on the clock toggle it, and Esc leaves it.
    /// Nothing of it is kept across launches.
    void toggleFullScreen();
    bool isFullScreen() const { return fullScreen_; }

    bool isNibLoaded() const { return isNibLoaded_; }
    GtkWindow* clockWindow() const { return clockWindow_; }
    WebKitWebView* webview() const { return webview_; }
    GtkEntry* addressbar() const { return addressbar_; }
    /// Whether the window floats above others; what it last asked the window manager.
    bool isFloating() const { return floating_; }
    bool hasTransparentBackground() const { return transparent_; }

private:
    friend class ClockWindowSignals;

    bool loadInterface();
    void addBridgeScript(const std::string& source);
    void awakeFromNib();
    void wireSignals();
    void evaluateWebScript(const std::string& script);
    void applyTransparency(bool transparent);
    /// Composited or drawn directly, and the view's background, for the
    /// machine and the window's transparency.
    void chooseRendering();
    void loadChanged(WebKitLoadEvent event);
    void didFinishLoad();
    void didAllocateWebView();
    void didFailProvisionalLoad(const std::string& failingAddress, const GError* error);
    bool decidePolicy(WebKitPolicyDecision* decision, WebKitPolicyDecisionType type);
    /// Web addresses: a link opens in the browser; nothing web loads here.
    void leaveToBrowser(WebKitNavigationAction* action, const std::string& address);
    bool answerScriptDialog(WebKitScriptDialog* dialog);
    bool drawBackground(cairo_t* cairo);
    bool keyPressed(const GdkEventKey& event);
    bool clickedTwice(const GdkEventButton& event);
    void windowStateChanged(const GdkEventWindowState& event);
    /// Shows the menu bar and the address bar, or hides them for full screen.
    void showChrome(bool shown);

    class Calls;

    Environment environment_;
    UserDefaultsController& settings_;
    std::unique_ptr<Calls> calls_;
    std::unique_ptr<MirelClockBridge> bridge_;

    bool isNibLoaded_ = false;
    bool registered_ = false;
    GtkWindow* clockWindow_ = nullptr;
    GtkWidget* timecodeDisplay_ = nullptr;
    WebKitWebView* webview_ = nullptr;
    GtkEntry* addressbar_ = nullptr;
    bool loadFailed_ = false;  ///< the load in progress has failed: its finish shows nothing
    bool floating_ = false;
    bool transparent_ = false;
    bool hasGpu_ = false;
    WebKitHardwareAccelerationPolicy compositedPolicy_ = WEBKIT_HARDWARE_ACCELERATION_POLICY_ALWAYS;
    /// A minimum size asked for before the web view had a size of its own.
    std::optional<std::pair<int, int>> pendingMinimum_;
    /// The address Mirel itself last asked the web view to load, until its
    /// navigation is decided: it may act whatever page it leaves.
    std::string ownNavigation_;
    guint minimumSource_ = 0;  ///< the idle callback that applies it, while one is due
    bool fullScreen_ = false;
    bool menubarWasShown_ = true;
    /// Where the window was before a full screen that Mirel made itself,
    /// without a window manager to ask: x, y, width, height.
    std::optional<std::array<int, 4>> placeBeforeFullScreen_;
};
