// The application object on a timecode controller with fake audio and DNS-SD,
// with a real clock window under the Xvfb that the test command starts: the
// menu, a missing menu or window file, and the input list that network news
// refreshes.
// Start-up and a value's road to the page are the end-to-end test's.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/MirelApplication.h"
#include "platform/SettingsDefaults.h"
#include "routing/TimecodeController.h"
#include "tests/audio/FakeAudioHardware.h"
#include "tests/network/FakeNetServices.h"
#include "tests/platform/MainLoop.h"

namespace {

class MirelApplicationTest : public ::testing::Test {
protected:
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
    FakeNetServices services_;
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

// Another copy coming or going must not undo the user's choice.
TEST_F(MirelApplicationTest, NetworkNewsRefreshesTheInputListButKeepsTheChoice) {
    start();
    settings_.setObjectForKey("Network", "sourceType");
    settings_.setObjectForKey("Desk", "audioInput");
    services_.browsers.back()->find(std::make_shared<FakeNetService>("mirel://studio"), false);
    ASSERT_TRUE(runMainLoopUntil([&] {
        return settings_.valueForKeyPath("values.audioInputList") ==
               nlohmann::json{"mirel://studio"};
    }));
    EXPECT_EQ(settings_.valueForKeyPath("values.audioInput"), "Desk");
}

}  // namespace

int main(int argc, char** argv) {
    gtk_init(&argc, &argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
