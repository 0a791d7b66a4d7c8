// A peer on the network that names its service with markup and script, against
// the real application with a real clock window (under the Xvfb the test
// command starts) and a private avahi-daemon: the name reaches the pages only
// ever as text, nothing it carries reaches the settings, and the Inputs page
// follows the peer coming and going by itself.

#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>

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

constexpr const char* kHostileName = "<img src=x onerror=MirelClock.setPreference(1,'X')>";

TEST(HostilePeer, AServiceNamedWithMarkupStaysTextAndTheInputsPageFollowsIt) {
    DnsSdDaemon daemon;  // first: it points this process at the private bus
    ASSERT_TRUE(daemon.start()) << daemon.error();
    FakeAudioHardware hardware;
    setAudioHardware(&hardware);
    UserDefaultsController settings;
    settings.registerDefaults(SettingsDefaults::registered());
    TimecodeController::Environment controllerEnvironment;
    controllerEnvironment.settings = &settings;
    controllerEnvironment.startAudio = nullptr;
    controllerEnvironment.tickInterval = std::chrono::milliseconds(0);
    TimecodeController controller(controllerEnvironment);
    WebKitWebContext* context = webkit_web_context_new();
    {
        MirelApplication::Environment environment;
        environment.settings = &settings;
        environment.timecodeController = [&]() -> TimecodeController& { return controller; };
        environment.context = context;
        environment.openInBrowser = [](const std::string&) {};
        environment.alert = [](const std::string& text) { ADD_FAILURE() << text; };
        MirelApplication application(std::move(environment));
        application.applicationDidFinishLaunching();
        ClockWindow& clock = application.clockWindow();
        WebKitWebView* view = clock.webview();
        const auto shows = [&](const std::string& address) {
            return runMainLoopUntil(
                [&] { return gtk_entry_get_text(clock.addressbar()) == address; });
        };
        ASSERT_TRUE(shows("mirel:///home"));
        ASSERT_TRUE(waitInPageFor(view, "$('#network-empty').is(':visible')"));

        // Published after the page was shown: it appears by itself, as text.
        std::shared_ptr<NetService> peer =
            netServices().makeService("", "_mirel._udp.", kHostileName, 9);
        peer->publish();
        const std::string tileName = "$('#network-inputs .name').text()";
        ASSERT_TRUE(waitInPageFor(view, tileName + " == " + json(kHostileName).dump()));
        EXPECT_EQ(
            evaluateInPage(view, "[$('img[src=x]').length, $('#network-empty:visible').length]"),
            json::array({0, 0}));

        // The list document shown as a page: the name is no markup, and no bridge is there.
        clock.loadWebPage("mirel:///json/timecodeinputs/");
        ASSERT_TRUE(shows("mirel:///json/timecodeinputs/"));
        EXPECT_EQ(evaluateInPage(view, R"([document.images.length, typeof MirelClock,
            document.body.textContent.indexOf('\\u003cimg src=x onerror') >= 0])"),
                  json::array({0, "undefined", true}));

        // The peer quits: its tile goes, and the empty list says copies come by themselves.
        clock.loadWebPage("mirel:///home");
        ASSERT_TRUE(shows("mirel:///home"));
        ASSERT_TRUE(waitInPageFor(view, tileName + " != ''"));
        peer->stop();
        EXPECT_TRUE(waitInPageFor(view,
                                  "$('#network-inputs li').length == 0 && "
                                  "$('#network-empty').is(':visible')"));
        EXPECT_EQ(settings.valueForKeyPath("values.X"), nullptr);
    }
    g_object_unref(context);
    setAudioHardware(nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    gtk_init(&argc, &argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
