#include "app/MirelApplication.h"

#include <glib-unix.h>

#include <csignal>
#include <cstdio>
#include <utility>

#include "clock/MirelUrlProtocol.h"
#include "clock/MirelUrlScheme.h"
#include "platform/CallbackGuard.h"
#include "platform/Log.h"
#include "platform/PreferencesFile.h"
#include "platform/Resources.h"
#include "platform/SettingsDefaults.h"
#include "platform/X11Keyboard.h"
#include "routing/TimecodeController.h"

namespace {

// The menu commands, by action name; each calls one operation.
struct Command {
    const char* name;
    void (MirelApplication::*run)();
};

constexpr Command kCommands[] = {
    {"open", &MirelApplication::open},
    {"showTimecodeClockWindow", &MirelApplication::showTimecodeClockWindow},
    {"showHelp", &MirelApplication::showHelp},
    {"showPreferences", &MirelApplication::showPreferences},
    {"showHotKeyPreferences", &MirelApplication::showHotKeyPreferences},
};

TimecodeController& processController() {
    return TimecodeController::globalInstance();
}

}  // namespace

// The C callbacks of the menu's actions and of GApplication; each casts its
// user data and calls one member, and no exception gets through.
class MirelApplicationSignals {
public:
    static void activateCommand(GSimpleAction* action, GVariant*, gpointer self) {
        const char* name = g_action_get_name(G_ACTION(action));
        runGuarded("Mirel", [&] {
            for (const Command& command : kCommands) {
                if (g_strcmp0(command.name, name) == 0) {
                    (static_cast<MirelApplication*>(self)->*command.run)();
                }
            }
        });
    }

    static void quit(GSimpleAction*, GVariant*, gpointer self) {
        g_application_quit(G_APPLICATION(static_cast<MirelApplication*>(self)->application_));
    }

    static void windowHidden(GtkWidget*, gpointer self) {
        GtkApplication* application = static_cast<MirelApplication*>(self)->application_;
        if (application != nullptr) g_application_quit(G_APPLICATION(application));
    }

    static gboolean endRequested(gpointer application) {
        g_application_quit(G_APPLICATION(application));
        return G_SOURCE_CONTINUE;
    }

    static void startup(GApplication* application, gpointer program) {
        runGuarded("Mirel",
                   [&] { static_cast<Program*>(program)->start(GTK_APPLICATION(application)); });
    }

    static void activate(GApplication*, gpointer program) {
        runGuarded("Mirel", [&] { static_cast<Program*>(program)->activate(); });
    }

    // Files named on the command line or opened from the desktop.
    static void open(GApplication*, GFile** files, gint count, gchar*, gpointer program) {
        runGuarded("Mirel", [&] { static_cast<Program*>(program)->open(files, count); });
    }

    /// What main() runs on: the application object, made once GTK has started.
    struct Program {
        void start(GtkApplication* gtk) {
            // The clock window is painted dark whatever the desktop's theme:
            // its menu bar and address bar must be drawn for a dark window too.
            g_object_set(gtk_settings_get_default(), "gtk-application-prefer-dark-theme", TRUE,
                         nullptr);
            MirelApplication::Environment environment;
            environment.application = gtk;
            application = std::make_unique<MirelApplication>(std::move(environment));
            application->bindMenu();
            // The program runs as long as the application does, window or none.
            g_application_hold(G_APPLICATION(gtk));
        }
        void activate() {
            if (!launched && application)
                application->applicationDidFinishLaunching();
            else if (application)
                application->showTimecodeClockWindow();
            launched = true;
        }
        void open(GFile** files, gint count) {
            activate();
            for (gint i = 0; application && i < count; ++i) {
                g_autofree gchar* path = g_file_get_path(files[i]);
                g_autofree gchar* uri = path == nullptr ? g_file_get_uri(files[i]) : nullptr;
                application->updateMovieWindow(path != nullptr ? path : uri);
            }
        }
        std::unique_ptr<MirelApplication> application;
        bool launched = false;
    };
};

void MirelApplication::initialize(UserDefaultsController& settings,
                                  const std::string& preferencesPath) {
    settings.registerDefaults(SettingsDefaults::registered());
    settings.loadFile(preferencesPath);
}

int MirelApplication::main(int argc, char** argv) {
    // The global hot key and key posting need X11; on Wayland desktops GDK
    // goes through XWayland.
    gdk_set_allowed_backends("x11");
    initialize(UserDefaultsController::shared(), PreferencesFile::standardPath());
    // Not unique: a second copy is a second reader, and no session bus is needed.
    // Files on the command line are movies to open; without the flag GLib
    // would refuse them and never show the window.
    GtkApplication* gtk = gtk_application_new(
        kApplicationId, GApplicationFlags(G_APPLICATION_NON_UNIQUE | G_APPLICATION_HANDLES_OPEN));
    MirelApplicationSignals::Program program;
    g_signal_connect(gtk, "startup", G_CALLBACK(MirelApplicationSignals::startup), &program);
    g_signal_connect(gtk, "activate", G_CALLBACK(MirelApplicationSignals::activate), &program);
    g_signal_connect(gtk, "open", G_CALLBACK(MirelApplicationSignals::open), &program);
    g_application_add_main_option(G_APPLICATION(gtk), "version", 0, G_OPTION_FLAG_NONE,
                                  G_OPTION_ARG_NONE, "Print the version and exit", nullptr);
    g_signal_connect(gtk, "handle-local-options",
                     G_CALLBACK(+[](GApplication*, GVariantDict* options, gpointer) -> gint {
                         if (!g_variant_dict_contains(options, "version")) return -1;
                         std::printf("mirel %s\n", MIREL_VERSION);
                         return 0;
                     }),
                     nullptr);
    // Asked to end, the program ends as if the user quit: the settings reach the disk.
    for (const int signal : {SIGTERM, SIGINT}) {
        g_unix_signal_add(signal, &MirelApplicationSignals::endRequested, gtk);
    }
    const int status = g_application_run(G_APPLICATION(gtk), argc, argv);
    g_signal_handlers_disconnect_by_data(gtk, &program);
    program.application.reset();
    g_object_unref(gtk);
    return status;
}

MirelApplication::MirelApplication(Environment environment)
    : environment_(std::move(environment)),
      timecodeController_(environment_.timecodeController ? environment_.timecodeController()
                                                          : processController()),
      application_(environment_.application) {
    UserDefaultsController& settings = *environment_.settings;
    inputList_ = std::make_unique<TimecodeInputList>(
        timecodeController_,
        [this] { return aMoviePlayback_ ? aMoviePlayback_->movieName() : std::nullopt; }, settings);
    timecodeController_.setDevicesListRefresher([this] { inputList_->refreshAudioInputList(); });
    sources_ = std::make_unique<ControllerTimecodeSources>(timecodeController_, *inputList_);

    WebKitWebContext* context =
        environment_.context != nullptr ? environment_.context : webkit_web_context_get_default();
    auto openInBrowser =
        environment_.openInBrowser ? environment_.openInBrowser : &MirelUrlScheme::openInBrowser;
    MirelUrlScheme::registerWith(
        context, std::make_shared<MirelUrlProtocol>(*sources_, settings, openInBrowser));

    ClockWindow::Environment clock;
    clock.settings = &settings;
    clock.controller = &timecodeController_;
    clock.context = context;
    clock.application = this;
    clock.interfaceFile = environment_.clockInterfaceFile;
    clock.alert = environment_.alert;
    clock.openInBrowser = openInBrowser;
    clock.menuOwner = environment_.application;
    clockWindow_ = std::make_unique<ClockWindow>(std::move(clock));

    keyboard_ = environment_.keyboard;
    if (keyboard_ == nullptr) {
        ownKeyboard_ = std::make_unique<X11Keyboard>();
        keyboard_ = ownKeyboard_.get();
    }
    hotkeyController_ =
        std::make_unique<HotkeyController>(timecodeController_, settings, *keyboard_);
    keyboard_->setHotKeyHandler([this] { sendEvent(Event::hotKeyPressed()); });

    PreferencesController::Environment preferences;
    preferences.settings = &settings;
    preferences.interfaceFile = environment_.preferencesInterfaceFile;
    preferences.alert = environment_.alert;
    preferences.refreshDevicesList = [this] { inputList_->refreshDevicesList(); };
    preferences.sendEvent = [this](const Event& event) { return sendEvent(event); };
    preferencesController_ = std::make_unique<PreferencesController>(std::move(preferences));
    webClockSharing_ = std::make_unique<WebClockSharing>(timecodeController_, settings);
}

MirelApplication::~MirelApplication() {
    webClockSharing_.reset();
    aMoviePlayback_.reset();
    if (clockWindow_->clockWindow() != nullptr) {
        g_signal_handlers_disconnect_by_data(clockWindow_->clockWindow(), this);
    }
    timecodeController_.setDevicesListRefresher({});
    keyboard_->setHotKeyHandler({});
    preferencesController_.reset();
    hotkeyController_.reset();
    for (GSimpleAction* action : actions_) {
        g_signal_handlers_disconnect_by_data(action, this);
        g_object_unref(action);
    }
}

void MirelApplication::applicationDidFinishLaunching() {
    clockWindow_->showWindow();
    GtkWindow* window = clockWindow_->clockWindow();
    if (application_ != nullptr && window == nullptr) {
        // The menu lives in the clock window and a second start is a second
        // copy: nothing could ever bring the window back, so after the alert
        // the program ends rather than run on unseen.
        Log::line("Mirel cannot run without its clock window: quitting");
        g_action_group_activate_action(G_ACTION_GROUP(application_), "quit", nullptr);
        return;
    }
    if (application_ != nullptr && window != nullptr) {
        // With no dock to bring a hidden window back from, closing the clock
        // window ends the program.
        g_signal_connect(window, "hide", G_CALLBACK(MirelApplicationSignals::windowHidden), this);
    }
    timecodeController_.observeValueForKeyPath(std::nullopt);
}

void MirelApplication::showTimecodeClockWindow() {
    clockWindow_->showWindow();
}

void MirelApplication::showHelp() {
    clockWindow_->loadWebPage(kHelpPage);
}

void MirelApplication::showPreferences() {
    clockWindow_->loadWebPage(kPreferencesPage);
}

void MirelApplication::showHotKeyPreferences() {
    preferencesController_->showPreferences();
}

// The field counts as focused only while its window shows: after a key is
// captured the window closes with the field still its focus, and the next
// hot key press must type.
bool MirelApplication::hotKeyFieldHasFocus() const {
    GtkWindow* window = preferencesController_->window();
    GtkWidget* field = preferencesController_->hotKeySetter();
    if (window == nullptr || field == nullptr || !gtk_widget_get_visible(GTK_WIDGET(window))) {
        return false;
    }
    GtkWidget* focus = gtk_window_get_focus(window);
    return focus != nullptr && (focus == field || gtk_widget_is_ancestor(focus, field));
}

bool MirelApplication::sendEvent(const Event& event) {
    const bool inHotKeyField = hotKeyFieldHasFocus();
    if (event.type == Event::kKeyDown && inHotKeyField &&
        event.window == preferencesController_->window()) {
        preferencesController_->newKeycode(event);
        return true;
    }
    if (event.type == Event::kSystemDefined && event.subtype == Event::kHotKeyPressed) {
        if (inHotKeyField) {
            gtk_window_set_focus(preferencesController_->window(), nullptr);
        } else {
            hotkeyController_->hotKeyEvent(event);
        }
        return true;
    }
    return false;
}

void MirelApplication::open() {
    const std::vector<std::string> chosen =
        environment_.openPanel ? environment_.openPanel() : runOpenPanel();
    if (!chosen.empty()) updateMovieWindow(chosen.front());
}

std::vector<std::string> MirelApplication::runOpenPanel() const {
    GtkFileChooserNative* panel = gtk_file_chooser_native_new(
        "Open Movie", clockWindow_->clockWindow(), GTK_FILE_CHOOSER_ACTION_OPEN, nullptr, nullptr);
    gtk_file_chooser_set_select_multiple(GTK_FILE_CHOOSER(panel), TRUE);
    GtkFileFilter* movies = gtk_file_filter_new();
    gtk_file_filter_set_name(movies, "Movies (mov, mp4, m4v)");
    for (const char* pattern : {"*.[mM][oO][vV]", "*.[mM][pP]4", "*.[mM]4[vV]"}) {
        gtk_file_filter_add_pattern(movies, pattern);
    }
    gtk_file_chooser_add_filter(GTK_FILE_CHOOSER(panel), movies);  // takes the filter
    std::vector<std::string> chosen;
    if (gtk_native_dialog_run(GTK_NATIVE_DIALOG(panel)) == GTK_RESPONSE_ACCEPT) {
        GSList* files = gtk_file_chooser_get_filenames(GTK_FILE_CHOOSER(panel));
        for (GSList* f = files; f != nullptr; f = f->next) {
            chosen.emplace_back(static_cast<const char*>(f->data));
        }
        g_slist_free_full(files, g_free);
    }
    g_object_unref(panel);
    return chosen;
}

void MirelApplication::updateMovieWindow(const std::string& path) {
    if (!aMoviePlayback_) {
        MoviePlaybackController::Environment movie;
        movie.deliver = [this](std::unique_ptr<SMPTE_tc> tc) {
            timecodeController_.timecode(std::move(tc));
        };
        movie.player = [](const Movie& opened, std::string& error) {
            return MoviePlayer::open(opened.path(), opened.timeScale(), error);
        };
        movie.alert = environment_.alert;
        aMoviePlayback_ = std::make_unique<MoviePlaybackController>(std::move(movie));
    }
    aMoviePlayback_->openNewMovie(path);
    // The path is the file system's own, never escaped; the window escapes
    // it for the address and the page server takes the escapes off again.
    clockWindow_->loadWebPage("mirel://quicktime/" + path);
}

bool MirelApplication::bindMenu(const std::string& menuFile) {
    GtkApplication* application = application_;
    if (application == nullptr) return false;
    for (const Command& command : kCommands) {
        GSimpleAction* action = g_simple_action_new(command.name, nullptr);
        g_signal_connect(action, "activate", G_CALLBACK(MirelApplicationSignals::activateCommand),
                         this);
        g_action_map_add_action(G_ACTION_MAP(application), G_ACTION(action));
        actions_.push_back(action);
    }
    GSimpleAction* quit = g_simple_action_new("quit", nullptr);
    g_signal_connect(quit, "activate", G_CALLBACK(MirelApplicationSignals::quit), this);
    g_action_map_add_action(G_ACTION_MAP(application), G_ACTION(quit));
    actions_.push_back(quit);

    const std::string file = menuFile.empty() ? Resources::path("MainMenu.ui") : menuFile;
    GtkBuilder* builder = gtk_builder_new();
    GError* error = nullptr;
    GObject* menubar = nullptr;
    if (gtk_builder_add_from_file(builder, file.c_str(), &error) != 0) {
        menubar = gtk_builder_get_object(builder, "menubar");
    } else {
        Log::line("Could not load %s: %s", file.c_str(), error->message);
        g_error_free(error);
    }
    const bool loaded = menubar != nullptr && G_IS_MENU_MODEL(menubar);
    if (loaded) {
        gtk_application_set_menubar(application, G_MENU_MODEL(menubar));
        static constexpr const char* kAccelerators[][2] = {
            {"app.open", "<Primary>o"}, {"app.showTimecodeClockWindow", "<Primary>1"},
            {"app.showHelp", "F1"},     {"app.showPreferences", "<Primary>comma"},
            {"app.quit", "<Primary>q"},
        };
        for (const auto& [action, key] : kAccelerators) {
            const char* keys[] = {key, nullptr};
            gtk_application_set_accels_for_action(application, action, keys);
        }
    }
    g_object_unref(builder);
    if (!loaded) alert(ClockWindow::kLoadFailedText);
    return loaded;
}

void MirelApplication::alert(const std::string& text) const {
    ClockWindow::showAlert(text, environment_.alert);
}
