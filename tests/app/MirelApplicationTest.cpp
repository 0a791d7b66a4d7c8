// The application object with a real clock window, under the Xvfb that the
// test command starts, on a timecode controller with fake audio and a private
// avahi-daemon: the menu, a missing menu or window file, and a peer that names
// its service with markup and script. Start-up and a value's road to the page
// belong to the installed-program test, ClockWindowTest and the flood check.

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
#include "tests/platform/MainLoop.h"
#include "tests/support/DnsSdDaemon.h"

namespace {

using nlohmann::json;

class MirelApplicationTest : public ::testing::Test {
protected:
    // Once for the process, before any DNS-SD client exists: the daemon points
    // this process at its private bus.
    static void SetUpTestSuite() {
        static DnsSdDaemon daemon;
        static const bool started = daemon.start();
        ASSERT_TRUE(started) << daemon.error();
    }

    MirelApplicationTest() {
        setAudioHardware(&hardware_);
        settings_.registerDefaults(SettingsDefaults::registered());
        TimecodeController::Environment controller;
        controller.settings = &settings_;
        controller.startAudio = nullptr;
        controller.tickInterval = std::chrono::milliseconds(0);
        controller_ = std::make_unique<TimecodeController>(controller);
        context_ = webkit_web_context_new();
        gtk_ = gtk_application_new("org.mirel.MirelTest", G_APPLICATION_NON_UNIQUE);
        g_application_register(G_APPLICATION(gtk_), nullptr, nullptr);
    }

    ~MirelApplicationTest() override {
        application_.reset();
        g_object_unref(gtk_);
        g_object_unref(context_);
        controller_.reset();
        setAudioHardware(nullptr);
    }

    /// Makes the application object and binds its menu from `menuFile`.
    bool start(const std::string& menuFile = "") {
        MirelApplication::Environment environment;
        environment.settings = &settings_;
        environment.timecodeController = [this]() -> TimecodeController& { return *controller_; };
        environment.context = context_;
        environment.openInBrowser = [](const std::string&) {};
        environment.alert = [this](const std::string& text) { alerts_.push_back(text); };
        environment.application = gtk_;
        environment.clockInterfaceFile = clockInterfaceFile_;
        application_ = std::make_unique<MirelApplication>(std::move(environment));
        return application_->bindMenu(menuFile);
    }

    bool waitForAddress(const std::string& address) {
        GtkEntry* bar = application_->clockWindow().addressbar();
        return bar && runMainLoopUntil([&] { return gtk_entry_get_text(bar) == address; });
    }

    FakeAudioHardware hardware_;
    UserDefaultsController settings_;
    std::unique_ptr<TimecodeController> controller_;
    WebKitWebContext* context_ = nullptr;
    GtkApplication* gtk_ = nullptr;
    std::unique_ptr<MirelApplication> application_;
    std::vector<std::string> alerts_;
    std::string clockInterfaceFile_;
};

TEST_F(MirelApplicationTest, MenuCommandsLoadTheirPagesIntoTheClockWindow) {
    ASSERT_TRUE(start());
    EXPECT_NE(gtk_application_get_menubar(gtk_), nullptr);
    EXPECT_FALSE(application_->clockWindow().isNibLoaded()) << "shown at launch, not before";
    application_->applicationDidFinishLaunching();
    ASSERT_TRUE(waitForAddress("mirel:///home"));
    for (const auto& [action, address] : {std::pair{"showHelp", "mirel:///help/"},
                                          {"showPreferences", "mirel:///preferences/"},
                                          {"showTimecodeClockWindow", "mirel:///home"}}) {
        g_action_group_activate_action(G_ACTION_GROUP(gtk_), action, nullptr);
        EXPECT_TRUE(waitForAddress(address)) << action;
    }
}

TEST_F(MirelApplicationTest, AMissingMenuFileAlertsAndTheClockStillShows) {
    EXPECT_FALSE(start("/nonexistent/MainMenu.ui"));
    EXPECT_EQ(alerts_, std::vector<std::string>{ClockWindow::kLoadFailedText});
    application_->applicationDidFinishLaunching();
    EXPECT_TRUE(waitForAddress("mirel:///home"));
}

// The menu lives in the clock window and a second start is a second copy:
// without the window nothing could ever bring it back.
TEST_F(MirelApplicationTest, WithoutItsClockWindowTheProgramEndsAfterTheAlert) {
    clockInterfaceFile_ = "/nonexistent/mirelweb.ui";
    ASSERT_TRUE(start());
    int quits = 0;
    GAction* quit = g_action_map_lookup_action(G_ACTION_MAP(gtk_), "quit");
    g_signal_connect(quit, "activate", G_CALLBACK(+[](GSimpleAction*, GVariant*, gpointer count) {
                         ++*static_cast<int*>(count);
                     }),
                     &quits);
    application_->applicationDidFinishLaunching();
    g_signal_handlers_disconnect_by_data(quit, &quits);
    EXPECT_EQ(alerts_, std::vector<std::string>{ClockWindow::kLoadFailedText});
    EXPECT_EQ(quits, 1);
}

constexpr const char* kHostileName = "<img src=x onerror=MirelClock.setPreference(1,'X')>";

// The peer's name reaches the pages only ever as text, nothing it carries
// reaches the settings, the Inputs page follows the peer coming and going by
// itself, and its news refreshes the input list without undoing the user's choice.
using HostilePeer = MirelApplicationTest;

TEST_F(HostilePeer, AServiceNamedWithMarkupStaysTextAndTheInputsPageFollowsIt) {
    ASSERT_TRUE(start());
    application_->applicationDidFinishLaunching();
    settings_.setObjectForKey("Network", "sourceType");
    settings_.setObjectForKey("Desk", "audioInput");
    ClockWindow& clock = application_->clockWindow();
    WebKitWebView* view = clock.webview();
    ASSERT_TRUE(waitForAddress("mirel:///home"));
    ASSERT_TRUE(waitInPageFor(view, "$('#network-empty').is(':visible')"));

    // Published after the page was shown: it appears by itself, as text.
    std::shared_ptr<NetService> peer =
        netServices().makeService("", "_mirel._udp.", kHostileName, 9);
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
    clock.loadWebPage("mirel:///json/timecodeinputs/");
    ASSERT_TRUE(waitForAddress("mirel:///json/timecodeinputs/"));
    EXPECT_EQ(evaluateInPage(view, R"([document.images.length, typeof MirelClock,
        document.body.textContent.indexOf('\\u003cimg src=x onerror') >= 0])"),
              json::array({0, "undefined", true}));

    // The peer quits: its tile goes, and the empty list says copies come by themselves.
    clock.loadWebPage("mirel:///home");
    ASSERT_TRUE(waitForAddress("mirel:///home"));
    ASSERT_TRUE(waitInPageFor(view, tileName + " != ''"));
    peer->stop();
    EXPECT_TRUE(waitInPageFor(view,
                              "$('#network-inputs li').length == 0 && "
                              "$('#network-empty').is(':visible')"));
    EXPECT_EQ(settings_.valueForKeyPath("values.X"), nullptr);
    EXPECT_TRUE(alerts_.empty());
}

}  // namespace

int main(int argc, char** argv) {
    gtk_init(&argc, &argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
