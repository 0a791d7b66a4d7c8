// The application object on a timecode controller with fake audio and
// DNS-SD, with a real clock window under the Xvfb that the test command
// starts: the start-up order, the menu and its commands, the input list
// refresh, and a value's road from the controller to the page.

#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/MirelApplication.h"
#include "platform/SettingsDefaults.h"
#include "routing/TimecodeController.h"
#include "tests/audio/FakeAudioHardware.h"
#include "tests/clock/PageScript.h"
#include "tests/network/FakeNetServices.h"
#include "tests/platform/MainLoop.h"

namespace {

using nlohmann::json;

class MirelApplicationTest : public ::testing::Test {
protected:
    MirelApplicationTest() {
        hardware_.deviceList = {inputDevice(11, "Desk", 2)};
        setAudioHardware(&hardware_);
        settings_.registerDefaults(SettingsDefaults::registered());
        settings_.setObjectForKey("Desk", "audioInput");
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

    void start(const std::string& menuFile = "") {
        MirelApplication::Environment environment;
        environment.settings = &settings_;
        environment.timecodeController = [this]() -> TimecodeController& {
            ++controllerFetches_;
            return *controller_;
        };
        environment.context = context_;
        environment.openInBrowser = [](const std::string&) {};
        environment.alert = [this](const std::string& text) { alerts_.push_back(text); };
        environment.application = gtk_;
        application_ = std::make_unique<MirelApplication>(std::move(environment));
        menuLoaded_ = application_->bindMenu(menuFile);
    }

    /// Launches, waits for the home page and puts the recorder into the pages from then on.
    void launch() {
        application_->applicationDidFinishLaunching();
        ASSERT_TRUE(waitForAddress("mirel:///home"));
        injectAtDocumentStart(application_->clockWindow().webview(), kReceiveTimecodeRecorder);
    }

    bool waitForAddress(const std::string& address) {
        return runMainLoopUntil([&] {
            GtkEntry* bar = application_->clockWindow().addressbar();
            return bar != nullptr && gtk_entry_get_text(bar) == address;
        });
    }

    json evaluate(const std::string& expression) {
        return evaluateInPage(application_->clockWindow().webview(), expression);
    }

    void activate(const char* action) {
        g_action_group_activate_action(G_ACTION_GROUP(gtk_), action, nullptr);
    }

    FakeAudioHardware hardware_;
    FakeNetServices services_;
    UserDefaultsController settings_;
    std::unique_ptr<TimecodeController> controller_;
    WebKitWebContext* context_ = nullptr;
    GtkApplication* gtk_ = nullptr;
    std::unique_ptr<MirelApplication> application_;
    std::vector<std::string> alerts_;
    int controllerFetches_ = 0;
    bool menuLoaded_ = false;
};

TEST_F(MirelApplicationTest, LaunchShowsTheHomePageServedByTheScheme) {
    start();
    EXPECT_EQ(controllerFetches_, 1);
    EXPECT_FALSE(application_->clockWindow().isNibLoaded()) << "shown at launch, not before";
    launch();
    EXPECT_TRUE(application_->clockWindow().isNibLoaded());
    EXPECT_EQ(evaluate("document.title.length > 0"), true);
    EXPECT_TRUE(alerts_.empty());
}

TEST_F(MirelApplicationTest, AnAcceptedValueReachesThePageThroughTheController) {
    start();
    launch();
    application_->showHelp();  // a fresh page, with the recorder in it
    ASSERT_TRUE(waitForAddress("mirel:///help/"));
    ASSERT_TRUE(runMainLoopUntil([&] { return evaluate("!!window.received") == true; }));
    evaluate("window.received.splice(0)");

    SMPTE_tc tc{};
    tc.myId = 1;  // channel 1 of the selected device 0
    tc.hu = 1, tc.su = 2, tc.fu = 3;
    controller_->receiveTimecode(ZebTimecodeWrapper(tc));
    ASSERT_TRUE(runMainLoopUntil([&] { return evaluate("window.received.length") == 1; }));
    const json value = evaluate("window.received[0]");
    EXPECT_EQ(value["h"], "01");
    EXPECT_EQ(value["s"], "02");
    EXPECT_EQ(value["f"], "03");
}

TEST_F(MirelApplicationTest, MenuCommandsLoadTheirPagesIntoTheClockWindow) {
    start();
    ASSERT_TRUE(menuLoaded_);
    EXPECT_NE(gtk_application_get_menubar(gtk_), nullptr);
    launch();
    activate("showHelp");
    EXPECT_TRUE(waitForAddress("mirel:///help/"));
    activate("showPreferences");
    EXPECT_TRUE(waitForAddress("mirel:///preferences/"));
    activate("showTimecodeClockWindow");
    EXPECT_TRUE(waitForAddress("mirel:///home"));
    // Every own page leaves the web view at least 600 by 400.
    GtkWidget* view = GTK_WIDGET(application_->clockWindow().webview());
    EXPECT_GE(gtk_widget_get_allocated_width(view), 600);
    EXPECT_GE(gtk_widget_get_allocated_height(view), 400);
}

TEST_F(MirelApplicationTest, AMissingMenuFileAlertsAndTheClockStillShows) {
    start("/nonexistent/MainMenu.ui");
    EXPECT_FALSE(menuLoaded_);
    EXPECT_EQ(alerts_, std::vector<std::string>{
                           "Could not load application data!\n\nPlease reinstall Mirel."});
    launch();
}

TEST_F(MirelApplicationTest, NetworkNewsRefreshesTheInputListButKeepsTheChoice) {
    start();
    settings_.setObjectForKey("Network", "sourceType");
    settings_.setObjectForKey("Desk", "audioInput");
    services_.browsers.back()->find(std::make_shared<FakeNetService>("mirel://studio"), false);
    ASSERT_TRUE(runMainLoopUntil([&] {
        return settings_.valueForKeyPath("values.audioInputList") == json{"mirel://studio"};
    }));
    EXPECT_EQ(settings_.valueForKeyPath("values.audioInput"), "Desk");
}

}  // namespace

int main(int argc, char** argv) {
    gtk_init(&argc, &argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
