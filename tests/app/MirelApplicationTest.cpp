// The application object with a real clock window, fake audio and a private avahi-daemon.

#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/MirelApplication.h"
#include "platform/NetService.h"
#include "platform/SettingsDefaults.h"
#include "routing/TimecodeController.h"
#include "tests/audio/FakeAudioHardware.h"
#include "tests/clock/PageScript.h"
#include "tests/hotkey/FakeKeyboard.h"
#include "tests/movie/MovieFiles.h"
#include "tests/platform/TempFolder.h"
#include "tests/support/DnsSdDaemon.h"

namespace {

using nlohmann::json;

class MirelApplicationTest : public ::testing::Test {
protected:
    // Once, before any DNS-SD client exists: the daemon points the process at its private bus.
    static void SetUpTestSuite() {
        static DnsSdDaemon daemon;
        static const bool started = daemon.start();
        ASSERT_TRUE(started) << daemon.error();
    }

    MirelApplicationTest() {
        setAudioHardware(&hardware_);
        settings_.registerDefaults(SettingsDefaults::registered());
        controller_ = std::make_unique<TimecodeController>(TimecodeController::Environment{
            .settings = &settings_, .startAudio = nullptr, .tickInterval = {}});
        g_application_register(G_APPLICATION(gtk_), nullptr, nullptr);
    }

    ~MirelApplicationTest() override {
        application_.reset();
        g_object_unref(gtk_);
        g_object_unref(context_);
        controller_.reset();
        setAudioHardware(nullptr);
    }

    bool start(const std::string& menuFile = "", const std::string& clockInterfaceFile = "",
               const std::string& preferencesFile = "") {
        application_ = std::make_unique<MirelApplication>(MirelApplication::Environment{
            .settings = &settings_,
            .timecodeController = [this]() -> TimecodeController& { return *controller_; },
            .context = context_,
            .openInBrowser = [](const std::string&) {},
            .clockInterfaceFile = clockInterfaceFile,
            .alert = [this](const std::string& text) { alerts_.push_back(text); },
            .application = gtk_,
            .keyboard = &keyboard_,
            .preferencesInterfaceFile = preferencesFile,
            .openPanel = [this] { return chosen_; }});
        return application_->bindMenu(menuFile);
    }

    bool waitForAddress(const std::string& address) {
        GtkEntry* bar = application_->clockWindow().addressbar();
        return bar && runMainLoopUntil([&] { return gtk_entry_get_text(bar) == address; });
    }

    FakeAudioHardware hardware_;
    FakeKeyboard keyboard_;
    UserDefaultsController settings_;
    std::unique_ptr<TimecodeController> controller_;
    WebKitWebContext* context_ = webkit_web_context_new();
    GtkApplication* gtk_ = gtk_application_new("org.mirel.MirelTest", G_APPLICATION_NON_UNIQUE);
    std::unique_ptr<MirelApplication> application_;
    std::vector<std::string> alerts_;
    std::vector<std::string> chosen_;  ///< what the open panel returns
};

// The menu lives in the clock window and a second start is a second copy: without it, quit.
TEST_F(MirelApplicationTest, MissingInterfaceFilesAlertAndWithoutItsClockWindowTheProgramEnds) {
    EXPECT_FALSE(start("/nonexistent/MainMenu.ui", "", "/nonexistent/Preferences.ui"));
    application_->applicationDidFinishLaunching();
    EXPECT_TRUE(waitForAddress("mirel:///home"));
    application_->showHotKeyPreferences();
    EXPECT_FALSE(application_->preferencesController().isNibLoaded());
    EXPECT_EQ(alerts_, std::vector<std::string>(2, ClockWindow::kLoadFailedText));

    application_.reset();
    alerts_.clear();
    ASSERT_TRUE(start("", "/nonexistent/mirelweb.ui"));
    int quits = 0;
    GAction* quit = g_action_map_lookup_action(G_ACTION_MAP(gtk_), "quit");
    g_signal_connect_swapped(quit, "activate", G_CALLBACK(+[](int* count) { ++*count; }), &quits);
    application_->applicationDidFinishLaunching();
    g_signal_handlers_disconnect_by_data(quit, &quits);
    EXPECT_EQ(alerts_, std::vector<std::string>{ClockWindow::kLoadFailedText});
    EXPECT_EQ(quits, 1);
}

// Once the key pressed in the field has closed the window, the hot key types again.
TEST_F(MirelApplicationTest, TheHotKeyFieldTakesTheNextKeyAndAHotKeyPressThereTypesNothing) {
    ASSERT_TRUE(start());
    PreferencesController& preferences = application_->preferencesController();
    application_->showHotKeyPreferences();
    ASSERT_TRUE(preferences.isNibLoaded());
    GtkWindow* window = preferences.window();
    EXPECT_EQ(gtk_window_get_focus(window), preferences.hotKeySetter());
    EXPECT_STREQ(gtk_entry_get_text(GTK_ENTRY(preferences.hotKeySetter())), "`");

    keyboard_.posted.clear();
    keyboard_.pressed();
    EXPECT_TRUE(keyboard_.posted.empty()) << "typed while the field had the focus";
    EXPECT_EQ(gtk_window_get_focus(window), nullptr);

    application_->showHotKeyPreferences();
    EXPECT_EQ(preferences.window(), window) << "loaded once";
    keyboard_.calls.clear();
    // Ctrl+T in the hot key field, as GTK delivers a press in the window.
    GdkEvent* event = gdk_event_new(GDK_KEY_PRESS);
    event->key.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(GTK_WIDGET(window))));
    event->key.keyval = GDK_KEY_t;
    event->key.hardware_keycode = 28;  // the T key's position
    event->key.state = GDK_CONTROL_MASK;
    gdk_event_set_device(event, gdk_seat_get_keyboard(gdk_display_get_default_seat(
                                    gdk_window_get_display(event->key.window))));
    gtk_main_do_event(event);
    gdk_event_free(event);
    EXPECT_EQ(settings_.valueForKeyPath("values.HotKeyString"), "\u2318t");
    EXPECT_EQ(settings_.valueForKeyPath("values.HotKeyCode"), 17);
    EXPECT_EQ(settings_.valueForKeyPath("values.HotKeyCommand"), true);
    EXPECT_EQ(settings_.valueForKeyPath("values.HotKeyAlt"), false);
    EXPECT_FALSE(gtk_widget_get_visible(GTK_WIDGET(window)));
    EXPECT_EQ(keyboard_.calls.back(), "register 17 256");
    EXPECT_STREQ(gtk_entry_get_text(GTK_ENTRY(preferences.hotKeySetter())), "\u2318t");

    keyboard_.pressed();
    EXPECT_FALSE(keyboard_.posted.empty()) << "the closed window's field still took the press";
}

// The first chosen file becomes the source through the clock window's own navigation, and the
// clock shows the movie window's values; another movie replaces it in the same window.
TEST_F(MirelApplicationTest, OpeningMoviesMakesTheFirstChosenTheSourceInOneMovieWindow) {
    TempFolder folder;
    const std::string first = folder / "first movie.mov", second = folder / "100%.mp4";
    ASSERT_TRUE(makeMovie(first, "25", "-timecode 01:00:00:00"));
    ASSERT_TRUE(makeMovie(second, "25", "-timecode 02:00:00:00"));
    ASSERT_TRUE(start());
    application_->applicationDidFinishLaunching();
    ASSERT_TRUE(waitForAddress("mirel:///home"));
    const auto playing = [&](const std::string& path, const std::string& hours) {
        return runMainLoopUntil(
                   [&] { return settings_.valueForKeyPath("values.audioInput") == path; }) &&
               waitInPageFor(application_->clockWindow().webview(),
                             "$('#timecode').text().indexOf('" + hours + ":00:00') == 0");
    };

    application_->open();
    EXPECT_EQ(application_->moviePlayback(), nullptr) << "a cancelled panel opens nothing";
    chosen_ = {first, second};
    application_->open();
    ASSERT_NE(application_->moviePlayback(), nullptr);
    MoviePlaybackController* window = application_->moviePlayback();
    EXPECT_EQ(window->movieName(), first);
    EXPECT_TRUE(playing(first, "01"));

    application_->updateMovieWindow(second);
    EXPECT_EQ(application_->moviePlayback(), window);
    EXPECT_EQ(window->movieName(), second);
    EXPECT_TRUE(playing(second, "02")) << "kept its percent sign";
    const std::string listed = application_->inputList().getInputDeviceList().back();
    EXPECT_PRED_FORMAT2(testing::IsSubstring,
                        "mirel://quicktime/" + TimecodeInputList::percentEscaped(second), listed);
    EXPECT_TRUE(alerts_.empty());
}

constexpr const char* kHostileName = "<img src=x onerror=MirelClock.setPreference(1,'X')>";

// A peer's name reaches the pages only as text and sets nothing; its news keeps the user's choice.
TEST_F(MirelApplicationTest, MenuPagesLoadAndAServiceNamedWithMarkupStaysTextOnTheInputsPage) {
    ASSERT_TRUE(start());
    EXPECT_NE(gtk_application_get_menubar(gtk_), nullptr);
    EXPECT_FALSE(application_->clockWindow().isNibLoaded()) << "shown at launch, not before";
    application_->applicationDidFinishLaunching();
    settings_.setObjectForKey("Network", "sourceType");
    settings_.setObjectForKey("Desk", "audioInput");
    WebKitWebView* view = application_->clockWindow().webview();
    ASSERT_TRUE(waitForAddress("mirel:///home"));
    for (const auto& [action, address] : {std::pair{"showHelp", "mirel:///help/"},
                                          {"showPreferences", "mirel:///preferences/"},
                                          {"showTimecodeClockWindow", "mirel:///home"}}) {
        g_action_group_activate_action(G_ACTION_GROUP(gtk_), action, nullptr);
        EXPECT_TRUE(waitForAddress(address)) << action;
    }
    ASSERT_TRUE(waitInPageFor(view, "$('#network-empty').is(':visible')"));

    // Published after the page was shown: it appears by itself, as text.
    const auto peer = netServices().makeService("", "_mirel._udp.", kHostileName, 9);
    peer->publish();
    const std::string tileName = "$('#network-inputs .name').text()";
    ASSERT_TRUE(waitInPageFor(view, tileName + " == " + json(kHostileName).dump()));
    EXPECT_EQ(evaluateInPage(view, "[$('img[src=x]').length, $('#network-empty:visible').length]"),
              json::array({0, 0}));
    EXPECT_TRUE(runMainLoopUntil([&] {
        return settings_.valueForKeyPath("values.audioInputList") == json::array({kHostileName});
    }));
    EXPECT_EQ(settings_.valueForKeyPath("values.audioInput"), "Desk");

    // The list document shown as a page: the name is no markup, and no bridge is there.
    application_->clockWindow().loadWebPage("mirel:///json/timecodeinputs/");
    ASSERT_TRUE(waitForAddress("mirel:///json/timecodeinputs/"));
    EXPECT_EQ(evaluateInPage(view, R"([document.images.length, typeof MirelClock,
        document.body.textContent.indexOf('\\u003cimg src=x onerror') >= 0])"),
              json::array({0, "undefined", true}));

    // The peer quits: its tile goes, and the empty list says copies come by themselves.
    application_->clockWindow().loadWebPage("mirel:///home");
    ASSERT_TRUE(waitForAddress("mirel:///home"));
    ASSERT_TRUE(waitInPageFor(view, tileName + " != ''"));
    peer->stop();
    EXPECT_TRUE(waitInPageFor(
        view, "!$('#network-inputs li').length && $('#network-empty').is(':visible')"));
    EXPECT_EQ(settings_.valueForKeyPath("values.X"), nullptr);
    EXPECT_TRUE(alerts_.empty());
}

}  // namespace

int main(int argc, char** argv) {
    gtk_init(&argc, &argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
