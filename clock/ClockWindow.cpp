#include "clock/ClockWindow.h"

#include <gdk/gdkkeysyms.h>
#ifdef GDK_WINDOWING_X11
#include <gdk/gdkx.h>
#endif

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <utility>

#include "clock/ApplicationPages.h"
#include "clock/ClockText.h"
#include "clock/MirelUrlProtocol.h"
#include "clock/MirelUrlScheme.h"
#include "platform/CallbackGuard.h"
#include "platform/InterfaceFile.h"
#include "platform/Log.h"
#include "platform/Resources.h"
#include "routing/TimecodeController.h"
#include "routing/TimecodeWrapper.h"

namespace {

using nlohmann::json;

constexpr const char* kObserved[] = {"values.timecodeRunning", "values.fpsString", "values.OnTop",
                                     "values.TransparentBgd"};
constexpr const char* kSizedPages[] = {"mirel:///welcome", "mirel:///preferences", "mirel:///home",
                                       "mirel:///help"};
constexpr const char* kMoviePanelAddress = "mirel://quicktime/";
constexpr const char* kNotFoundPrefix = "mirel://404/";
constexpr std::string_view kFilePrefix = "file://";

// The window's own colour, which the pages are drawn for.
constexpr GdkRGBA kWindowColour{0.063, 0.071, 0.078, 1.0};

bool hasRenderNode() {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/dri", error)) {
        if (entry.path().filename().string().starts_with("renderD")) return true;
    }
    return false;
}

}  // namespace

// The bridge's calls, answered by the window.
class ClockWindow::Calls final : public MirelClockCalls {
public:
    explicit Calls(ClockWindow& window) : window_(window) {}

    void logJavaScriptString(const std::string& text) override {
        Log::line("JavaScript: %s", text.c_str());
    }

    void changeHotkeyJS() override {
        if (window_.environment_.application != nullptr) {
            window_.environment_.application->showHotKeyPreferences();
        }
    }

    json getPreference(const std::string& key) override {
        return window_.settings_.valueForKeyPath(
            std::string(UserDefaultsController::kKeyPathPrefix) + key);
    }

    void setPreferenceValue(const json& value, const std::string& key) override {
        const std::string text = value.is_string() ? value.get<std::string>() : value.dump();
        Log::line("New Preference: %s: %s", key.c_str(), text.c_str());
        window_.settings_.setValueForKeyPath(
            value, std::string(UserDefaultsController::kKeyPathPrefix) + key);
    }

private:
    ClockWindow& window_;
};

// The C callbacks of the window and its web view: each casts its user data and
// calls one member. GTK and WebKit call them on the main thread; none lets an
// exception through.
class ClockWindowSignals {
public:
    static gboolean draw(GtkWidget*, cairo_t* cairo, gpointer self) {
        return runGuarded(kWhat, gboolean(FALSE), [&] { return of(self).drawBackground(cairo); });
    }

    static void allocated(GtkWidget*, GdkRectangle*, gpointer self) {
        runGuarded(kWhat, [&] { of(self).didAllocateWebView(); });
    }

    static void loadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer self) {
        runGuarded(kWhat, [&] { of(self).loadChanged(event); });
    }

    static gboolean loadFailed(WebKitWebView*, WebKitLoadEvent event, gchar* failingUri,
                               GError* error, gpointer self) {
        of(self).loadFailed_ = true;
        if (event == WEBKIT_LOAD_STARTED) {
            runGuarded(kWhat, [&] {
                of(self).didFailProvisionalLoad(failingUri != nullptr ? failingUri : "", error);
            });
        }
        return TRUE;  // never WebKit's own error page; a page that began to show stays
    }

    static gboolean decidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                 WebKitPolicyDecisionType type, gpointer self) {
        return runGuarded(kWhat, gboolean(FALSE),
                          [&] { return of(self).decidePolicy(decision, type); });
    }

    static gboolean keyPressed(GtkWidget*, GdkEventKey* event, gpointer self) {
        return runGuarded(kWhat, gboolean(FALSE), [&] { return of(self).keyPressed(*event); });
    }

    static gboolean buttonPressed(GtkWidget*, GdkEventButton* event, gpointer self) {
        return runGuarded(kWhat, gboolean(FALSE), [&] { return of(self).clickedTwice(*event); });
    }

    static gboolean windowState(GtkWidget*, GdkEventWindowState* event, gpointer self) {
        runGuarded(kWhat, [&] { of(self).windowStateChanged(*event); });
        return FALSE;
    }

    static gboolean scriptDialog(WebKitWebView*, WebKitScriptDialog* dialog, gpointer self) {
        return runGuarded(kWhat, gboolean(FALSE),
                          [&] { return of(self).answerScriptDialog(dialog); });
    }

private:
    static constexpr const char* kWhat = "Clock window";
    static ClockWindow& of(gpointer self) { return *static_cast<ClockWindow*>(self); }
};

ClockWindow::ClockWindow(Environment environment)
    : environment_(std::move(environment)),
      settings_(*environment_.settings),
      calls_(std::make_unique<Calls>(*this)),
      bridge_(std::make_unique<MirelClockBridge>(*calls_)) {}

ClockWindow::~ClockWindow() {
    if (registered_) {
        if (environment_.controller != nullptr) environment_.controller->stopListening(*this);
        for (const char* keyPath : kObserved) settings_.removeObserver(*this, keyPath);
    }
    if (minimumSource_ != 0) g_source_remove(minimumSource_);
    if (clockWindow_ != nullptr) {
        // Disconnected first, so that nothing calls into a window being destroyed.
        g_signal_handlers_disconnect_by_data(webview_, this);
        g_signal_handlers_disconnect_by_data(clockWindow_, this);
        gtk_widget_destroy(GTK_WIDGET(clockWindow_));
    }
}

void ClockWindow::showWindow() {
    InterfaceFile::showLoadingOnce(
        isNibLoaded_, [this] { return loadInterface(); }, [this] { awakeFromNib(); },
        environment_.alert);
}

bool ClockWindow::loadInterface() {
    const std::string file = environment_.interfaceFile.empty() ? Resources::path("mirelweb.ui")
                                                                : environment_.interfaceFile;
    // Without it the pages could not reach their settings: as much a broken
    // installation as a missing interface file.
    const std::optional<std::string> bridgeScript = bridge_->userScript();
    if (!bridgeScript) return false;
    g_type_ensure(WEBKIT_TYPE_WEB_VIEW);
    WebKitWebContext* context =
        environment_.context != nullptr ? environment_.context : webkit_web_context_get_default();
    InterfaceFile parts(file, "mirelWebContext", G_OBJECT(context));
    GObject* window = parts.object("clockWindow");
    GObject* webview = parts.object("webview");
    GObject* addressbar = parts.object("addressbar");
    GObject* timecodeDisplay = parts.object("timecodeDisplay");
    const bool complete = parts.read() && window != nullptr && GTK_IS_WINDOW(window) &&
                          webview != nullptr && WEBKIT_IS_WEB_VIEW(webview) &&
                          addressbar != nullptr && GTK_IS_ENTRY(addressbar) &&
                          timecodeDisplay != nullptr && GTK_IS_WIDGET(timecodeDisplay);
    if (!complete) {
        parts.discard("clock window");
        return false;
    }
    clockWindow_ = GTK_WINDOW(window);
    webview_ = WEBKIT_WEB_VIEW(webview);
    compositedPolicy_ =
        webkit_settings_get_hardware_acceleration_policy(webkit_web_view_get_settings(webview_));
    hasGpu_ = hasRenderNode();
    if (!hasGpu_) Log::line("No GPU here: the clock is drawn without accelerated compositing");
    addressbar_ = GTK_ENTRY(addressbar);
    timecodeDisplay_ = GTK_WIDGET(timecodeDisplay);

    // Without an alpha channel a transparent background would paint black.
    GdkVisual* visual = gdk_screen_get_rgba_visual(gtk_widget_get_screen(GTK_WIDGET(window)));
    if (visual != nullptr) gtk_widget_set_visual(GTK_WIDGET(window), visual);
    gtk_widget_set_app_paintable(GTK_WIDGET(window), TRUE);
    if (environment_.menuOwner != nullptr) {
        gtk_window_set_application(clockWindow_, environment_.menuOwner);
    }
    addBridgeScript(*bridgeScript);
    wireSignals();
    return true;
}

void ClockWindow::addBridgeScript(const std::string& source) {
    WebKitUserScript* script =
        webkit_user_script_new(source.c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                               WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
    webkit_user_content_manager_add_script(webkit_web_view_get_user_content_manager(webview_),
                                           script);
    webkit_user_script_unref(script);
}

void ClockWindow::wireSignals() {
    // Closing hides the window, so that the menu can bring it back as it was.
    g_signal_connect(clockWindow_, "delete-event", G_CALLBACK(gtk_widget_hide_on_delete), this);
    g_signal_connect(clockWindow_, "draw", G_CALLBACK(ClockWindowSignals::draw), this);
    g_signal_connect(webview_, "size-allocate", G_CALLBACK(ClockWindowSignals::allocated), this);
    g_signal_connect(webview_, "load-changed", G_CALLBACK(ClockWindowSignals::loadChanged), this);
    g_signal_connect(webview_, "load-failed", G_CALLBACK(ClockWindowSignals::loadFailed), this);
    g_signal_connect(webview_, "decide-policy", G_CALLBACK(ClockWindowSignals::decidePolicy), this);
    g_signal_connect(webview_, "script-dialog", G_CALLBACK(ClockWindowSignals::scriptDialog), this);
    // Before the web view sees them: F11 and Esc are the window's, on every page.
    g_signal_connect(clockWindow_, "key-press-event", G_CALLBACK(ClockWindowSignals::keyPressed),
                     this);
    g_signal_connect(webview_, "button-press-event", G_CALLBACK(ClockWindowSignals::buttonPressed),
                     this);
    g_signal_connect(clockWindow_, "window-state-event",
                     G_CALLBACK(ClockWindowSignals::windowState), this);
}

void ClockWindow::awakeFromNib() {
    gtk_window_present(clockWindow_);
    if (!registered_) {
        if (environment_.controller != nullptr) environment_.controller->listen(*this);
        for (const char* keyPath : kObserved) settings_.addObserver(*this, keyPath);
        registered_ = true;
    }
    chooseRendering();
    loadWebviewHome();
    refreshAll();
}

void ClockWindow::loadWebPage(const std::string& address) {
    if (webview_ == nullptr) return;
    ownNavigation_ = addingPercentEscapes(address);
    webkit_web_view_load_uri(webview_, ownNavigation_.c_str());
}

void ClockWindow::loadWebviewHome() {
    loadWebPage(kHomePage);
}

void ClockWindow::ensureMinimumWidth(int width, int height) {
    if (clockWindow_ == nullptr || fullScreen_) return;
    // Until the web view is laid out its size says nothing about the window's.
    if (!gtk_widget_get_mapped(GTK_WIDGET(webview_)) ||
        gtk_widget_get_allocated_width(GTK_WIDGET(webview_)) <= 1) {
        pendingMinimum_ = {width, height};
        return;
    }
    const int viewWidth = gtk_widget_get_allocated_width(GTK_WIDGET(webview_));
    const int viewHeight = gtk_widget_get_allocated_height(GTK_WIDGET(webview_));
    const int wantedWidth = std::max(viewWidth, width);
    const int wantedHeight = std::max(viewHeight, height);
    if (wantedWidth == viewWidth && wantedHeight == viewHeight) return;
    // The address bar and the margins take what they take now; the web view gets the rest.
    // X11 keeps the top-left corner where it is, so the top edge stays.
    int windowWidth = 0;
    int windowHeight = 0;
    gtk_window_get_size(clockWindow_, &windowWidth, &windowHeight);
    gtk_window_resize(clockWindow_, wantedWidth + (windowWidth - viewWidth),
                      wantedHeight + (windowHeight - viewHeight));
}

namespace {

// A window manager that knows full screen; without one (a bare X server on a
// machine-room monitor) Mirel covers the monitor itself.
bool windowManagerDoesFullScreen(GtkWindow* window) {
#ifdef GDK_WINDOWING_X11
    GdkScreen* screen = gtk_widget_get_screen(GTK_WIDGET(window));
    if (GDK_IS_X11_SCREEN(screen)) {
        return gdk_x11_screen_supports_net_wm_hint(
                   screen, gdk_atom_intern_static_string("_NET_WM_STATE_FULLSCREEN")) != FALSE;
    }
#endif
    return true;
}

bool isClockPage(const char* address) {
    if (address == nullptr) return false;
    const std::string_view page = address;
    return page.starts_with("mirel://audio/") || page.starts_with("mirel://network/") ||
           page.starts_with("mirel://quicktime/");
}

}  // namespace

void ClockWindow::toggleFullScreen() {
    if (clockWindow_ == nullptr) return;
    const bool enter = !fullScreen_;
    if (windowManagerDoesFullScreen(clockWindow_)) {
        // The window manager's answer, a window-state event, shows or hides the chrome.
        if (enter) {
            gtk_window_fullscreen(clockWindow_);
        } else {
            gtk_window_unfullscreen(clockWindow_);
        }
        return;
    }
    if (enter) {
        std::array<int, 4> place{};
        gtk_window_get_position(clockWindow_, &place[0], &place[1]);
        gtk_window_get_size(clockWindow_, &place[2], &place[3]);
        placeBeforeFullScreen_ = place;
        GdkRectangle monitor{};
        gdk_monitor_get_geometry(
            gdk_display_get_monitor_at_window(gtk_widget_get_display(GTK_WIDGET(clockWindow_)),
                                              gtk_widget_get_window(GTK_WIDGET(clockWindow_))),
            &monitor);
        showChrome(false);
        gtk_window_move(clockWindow_, monitor.x, monitor.y);
        gtk_window_resize(clockWindow_, monitor.width, monitor.height);
    } else {
        showChrome(true);
        if (const auto place = std::exchange(placeBeforeFullScreen_, std::nullopt)) {
            gtk_window_move(clockWindow_, (*place)[0], (*place)[1]);
            gtk_window_resize(clockWindow_, (*place)[2], (*place)[3]);
        }
    }
    fullScreen_ = enter;
}

void ClockWindow::showChrome(bool shown) {
    gtk_widget_set_visible(GTK_WIDGET(addressbar_), shown);
    if (!GTK_IS_APPLICATION_WINDOW(clockWindow_)) return;
    auto* window = GTK_APPLICATION_WINDOW(clockWindow_);
    if (!shown) menubarWasShown_ = gtk_application_window_get_show_menubar(window) != FALSE;
    gtk_application_window_set_show_menubar(window, shown ? menubarWasShown_ : FALSE);
}

bool ClockWindow::keyPressed(const GdkEventKey& event) {
    const auto modifiers = GdkModifierType(event.state & gtk_accelerator_get_default_mod_mask());
    if (modifiers != 0) return false;
    if (event.keyval == GDK_KEY_F11 || (event.keyval == GDK_KEY_Escape && fullScreen_)) {
        toggleFullScreen();
        return true;
    }
    return false;
}

bool ClockWindow::clickedTwice(const GdkEventButton& event) {
    if (event.type != GDK_2BUTTON_PRESS || event.button != GDK_BUTTON_PRIMARY ||
        !isClockPage(webkit_web_view_get_uri(webview_))) {
        return false;
    }
    toggleFullScreen();
    return true;
}

void ClockWindow::windowStateChanged(const GdkEventWindowState& event) {
    if ((event.changed_mask & GDK_WINDOW_STATE_FULLSCREEN) == 0) return;
    const bool fullScreen = (event.new_window_state & GDK_WINDOW_STATE_FULLSCREEN) != 0;
    if (fullScreen == fullScreen_) return;
    fullScreen_ = fullScreen;
    showChrome(!fullScreen);
}

void ClockWindow::receiveTimecode(const TimecodeWrapper& wrapper) {
    const SMPTE_tc& tc = *wrapper.timecode();
    const std::string running = settings_.textForKey("timecodeRunning");
    if (tc.f() == 0) {
        evaluateWebScript("receiveTimecode(" + frameRateObject(settings_.textForKey("fpsString")) +
                          ");");
    }
    evaluateWebScript("receiveTimecode(" + timecodeObject(tc, running) + ");");
}

void ClockWindow::observeValueForKeyPath(const std::optional<std::string>& keyPath) {
    const auto is = [&](const char* path) { return !keyPath || *keyPath == path; };
    if (is("values.timecodeRunning")) {
        evaluateWebScript("receiveTimecode(" +
                          statusObject(settings_.textForKey("timecodeRunning")) + ");");
    }
    if (is("values.fpsString")) {
        evaluateWebScript("receiveTimecode(" + frameRateObject(settings_.textForKey("fpsString")) +
                          ");");
    }
    if (is("values.TransparentBgd")) {
        applyTransparency(settings_.valueForKeyPath("values.TransparentBgd") == "1");
    }
    if (is("values.OnTop")) {
        floating_ = settings_.valueForKeyPath("values.OnTop") == "1";
        if (clockWindow_ != nullptr) gtk_window_set_keep_above(clockWindow_, floating_);
    }
}

std::string ClockWindow::timecodeObject(const SMPTE_tc& tc, const std::string& running) {
    return "{'h':'" + twoDigits(tc.h()) + "','m':'" + twoDigits(tc.m()) + "','s':'" +
           twoDigits(tc.s()) + "','f':'" + twoDigits(tc.f()) + "','u':'" + userBitsText(tc) +
           "','r':" + quoted(running) + "}";
}

std::string ClockWindow::frameRateObject(const std::string& fps) {
    return "{'fps':" + quoted(fps) + "}";
}

std::string ClockWindow::statusObject(const std::string& running) {
    return "{'r':" + quoted(running) + "}";
}

std::string ClockWindow::quoted(const std::string& text) {
    std::string literal = "'";
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\'' || c == '\\') {
            literal += '\\';
            literal += c;
        } else if (c == '\n') {
            literal += "\\n";
        } else if (c == '\r') {
            literal += "\\r";
        } else if (text.compare(i, 3, "\xE2\x80\xA8") == 0 ||
                   text.compare(i, 3, "\xE2\x80\xA9") == 0) {
            // Line and paragraph separators end a line in older script engines.
            literal += text[i + 2] == '\xA8' ? "\\u2028" : "\\u2029";
            i += 2;
        } else {
            literal += c;
        }
    }
    return literal + "'";
}

std::string ClockWindow::addingPercentEscapes(const std::string& address) {
    // Everything but the unreserved characters and the delimiters of an
    // address is escaped, "%" included, as the pages expect.
    g_autofree gchar* escaped = g_uri_escape_string(address.c_str(), ":/?#[]@!$&'()*+,;=", FALSE);
    return escaped;
}

void ClockWindow::evaluateWebScript(const std::string& script) {
    // A page without receiveTimecode, or one that throws, changes nothing here:
    // the result is not read.
    if (webview_ == nullptr) return;
    webkit_web_view_evaluate_javascript(webview_, script.c_str(), -1, nullptr, nullptr, nullptr,
                                        nullptr, nullptr);
}

void ClockWindow::applyTransparency(bool transparent) {
    transparent_ = transparent;
    if (clockWindow_ == nullptr) return;
    // The window manager draws (or not) the shadow of an X11 window; what is
    // left to the window is its background, painted in drawBackground().
    if (!transparent) gtk_widget_set_opacity(GTK_WIDGET(clockWindow_), 1.0);
    chooseRendering();
    gtk_widget_queue_draw(GTK_WIDGET(clockWindow_));
}

// Without a GPU, WebKit composites its layers with a software GL, which for a
// page of a few changing digits costs far more than drawing the page
// directly: measured under Xvfb at 1920x1080, 104% of a core against 9%.
// Drawn directly, though, each update is laid over what the view showed
// before, so a see-through view would keep every digit it ever showed: it is
// drawn directly only while it is opaque, in the window's colour (the same
// look, since the pages leave their background to the window). A
// see-through window keeps WebKit's compositing, GPU or not.
void ClockWindow::chooseRendering() {
    if (webview_ == nullptr) return;
    const GdkRGBA clear{0, 0, 0, 0};
    webkit_web_view_set_background_color(webview_, transparent_ ? &clear : &kWindowColour);
    webkit_settings_set_hardware_acceleration_policy(
        webkit_web_view_get_settings(webview_),
        hasGpu_ || transparent_ ? compositedPolicy_ : WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
}

bool ClockWindow::drawBackground(cairo_t* cairo) {
    if (transparent_) {
        cairo_save(cairo);
        cairo_set_source_rgba(cairo, 0.1, 0.1, 0.1, 0.2);
        cairo_set_operator(cairo, CAIRO_OPERATOR_SOURCE);
        cairo_paint(cairo);
        cairo_restore(cairo);
    } else {
        // The pages are drawn for a dark window: the clock page leaves its
        // background to the window.
        cairo_save(cairo);
        gdk_cairo_set_source_rgba(cairo, &kWindowColour);
        cairo_paint(cairo);
        cairo_restore(cairo);
    }
    return false;  // the children draw on top
}

void ClockWindow::loadChanged(WebKitLoadEvent event) {
    switch (event) {
        case WEBKIT_LOAD_STARTED:
            loadFailed_ = false;
            MirelUrlScheme::mainFrameLoadStarted(webview_);
            break;
        case WEBKIT_LOAD_COMMITTED:
            // Each committed document gets a new window object, and the
            // bridge's script runs in it at document start.
            Log::line("didClearWindowObject");
            break;
        case WEBKIT_LOAD_FINISHED:
            // WebKit finishes failed loads too; only a page that loaded is
            // shown in the address bar or sizes the window.
            if (!loadFailed_) didFinishLoad();
            break;
        case WEBKIT_LOAD_REDIRECTED:
            break;
    }
}

void ClockWindow::didFinishLoad() {
    const char* uri = webkit_web_view_get_uri(webview_);
    const std::string address = uri != nullptr ? uri : "";
    gtk_entry_set_text(addressbar_, address.c_str());
    for (const char* page : kSizedPages) {
        if (address.starts_with(page)) {
            ensureMinimumWidth(kMinimumWidth, kMinimumHeight);
            return;
        }
    }
}

void ClockWindow::didAllocateWebView() {
    if (!pendingMinimum_ || minimumSource_ != 0) return;
    // Not from inside the layout: a resize asked for there would be lost.
    minimumSource_ = g_idle_add_full(
        G_PRIORITY_LOW,
        [](gpointer self) -> gboolean {
            auto* window = static_cast<ClockWindow*>(self);
            window->minimumSource_ = 0;
            if (const auto minimum = std::exchange(window->pendingMinimum_, std::nullopt)) {
                window->ensureMinimumWidth(minimum->first, minimum->second);
            }
            return G_SOURCE_REMOVE;
        },
        this, nullptr);
}

void ClockWindow::didFailProvisionalLoad(const std::string& failingAddress, const GError* error) {
    Log::line("%s: %s", failingAddress.c_str(), error != nullptr ? error->message : "failed");
    // A load given up for another, or stopped by our own policy, did not fail;
    // and a not-found page that cannot load must not ask for its own not-found page.
    if (error != nullptr &&
        (g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED) ||
         g_error_matches(error, WEBKIT_POLICY_ERROR,
                         WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE))) {
        return;
    }
    if (failingAddress.starts_with(kNotFoundPrefix)) return;
    // Escaped once more, so that the page, which unescapes its path once,
    // names the address exactly as it was asked for.
    loadWebPage(kNotFoundPrefix + failingAddress);
}

bool ClockWindow::decidePolicy(WebKitPolicyDecision* decision, WebKitPolicyDecisionType type) {
    if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE) return false;
    WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(
        WEBKIT_NAVIGATION_POLICY_DECISION(decision));
    const char* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
    const std::string address = uri != nullptr ? uri : "";
    if (address.starts_with("http://") || address.starts_with("https://")) {
        webkit_policy_decision_ignore(decision);
        leaveToBrowser(action, address);
        return true;
    }
    // No other window is ever made for a page.
    if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION) return false;
    ClockWindowDelegate* application = environment_.application;
    if (address == kMoviePanelAddress) {
        webkit_policy_decision_ignore(decision);
        if (application != nullptr) application->open();
        return true;
    }
    if (address.starts_with(kFilePrefix)) {
        webkit_policy_decision_ignore(decision);
        Log::line("Loading %s as a potential movie", address.c_str());
        const auto path = MirelUrlProtocol::replacePercentEscapes(
            std::string_view(address).substr(kFilePrefix.size()));
        if (!path) {
            Log::line("%s is not a file path", address.c_str());
        } else if (application != nullptr) {
            application->updateMovieWindow(*path);
        }
        return true;
    }
    // Mirel's own loads may act, and so may navigations from Mirel's pages;
    // the page a load leaves may be anything (a file dropped, nothing yet).
    const bool own = !ownNavigation_.empty() && address == ownNavigation_;
    if (own) ownNavigation_.clear();
    const char* current = webkit_web_view_get_uri(webview_);
    const bool mayAct = own || (current != nullptr && isApplicationPage(current));
    if (!mayAct && MirelUrlProtocol::changesState(address)) {
        webkit_policy_decision_ignore(decision);
        Log::line("Refused %s from %s: only Mirel's own pages choose the source", address.c_str(),
                  current != nullptr ? current : "(nothing)");
        return true;
    }
    MirelUrlScheme::navigationDecided(webview_, address, mayAct);
    webkit_policy_decision_use(decision);
    return true;
}

void ClockWindow::leaveToBrowser(WebKitNavigationAction* action, const std::string& address) {
    const WebKitNavigationType how = webkit_navigation_action_get_navigation_type(action);
    if (how != WEBKIT_NAVIGATION_TYPE_LINK_CLICKED &&
        how != WEBKIT_NAVIGATION_TYPE_FORM_SUBMITTED) {
        Log::line("Not loading %s: the clock window shows only Mirel's own pages", address.c_str());
        return;
    }
    Log::line("Opening %s in the browser", address.c_str());
    if (environment_.openInBrowser) {
        environment_.openInBrowser(address);
    } else {
        MirelUrlScheme::openInBrowser(address);
    }
}

bool ClockWindow::answerScriptDialog(WebKitScriptDialog* dialog) {
    if (webkit_script_dialog_get_dialog_type(dialog) != WEBKIT_SCRIPT_DIALOG_PROMPT) return false;
    const char* uri = webkit_web_view_get_uri(webview_);
    const auto answer =
        bridge_->answerPrompt(webkit_script_dialog_get_message(dialog), uri != nullptr ? uri : "");
    if (!answer) return false;
    webkit_script_dialog_prompt_set_text(dialog, answer->c_str());
    return true;
}
