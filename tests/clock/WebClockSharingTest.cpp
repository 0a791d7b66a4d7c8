// Sharing the clock with browsers as the settings ask: the server, its advertisement, what came
// of it for the preferences page, and the state the browsers get. DNS-SD is faked.

#include <gtest/gtest.h>

#include "clock/WebClockSharing.h"
#include "platform/LogCapture.h"
#include "routing/TimecodeWrapper.h"
#include "tests/network/FakeNetServices.h"

namespace {

using nlohmann::json;

struct Listeners : TimecodeListeners {
    void listen(TimecodeControllerListener& l) override { listener = &l; }
    void stopListening(TimecodeControllerListener&) override { listener = nullptr; }
    TimecodeControllerListener* listener = nullptr;
};

TEST(WebClockSharing, TheSettingsStartAdvertiseAndStopTheServerAndFeedIt) {
    const FakeNetServices dnsSd;
    std::string ignored;
    const LogCapture log;
    UserDefaultsController settings;
    Listeners values;
    WebClockSharing sharing(values, settings);
    const auto status = [&] { return settings.valueForKeyPath("values.WebClockStatus"); };
    EXPECT_EQ(status(), json({{"state", "off"}}));

    const int port = WebClockServer::start(0, ignored)->port();  // free again
    for (const auto& [key, value] :
         std::vector<std::pair<std::string, json>>{{"WebClockPort", std::to_string(port)},
                                                   {"WebClockShare", "1"},
                                                   {"timecodeRunning", "Running"},
                                                   {"fpsString", "29.97"},
                                                   {"TextColor", "#5fd38d"},
                                                   {"fpsDisplay", "0"},
                                                   {"userBitsDisplay", "1"}})
        settings.setObjectForKey(value, key);
    ASSERT_TRUE(sharing.isSharing()) << sharing.failure();
    const json addresses = WebClockSharing::addressesFor(port);
    EXPECT_EQ(status(), json({{"state", "on"}, {"port", port}, {"addresses", addresses}}));
    EXPECT_TRUE(addresses[0].get<std::string>().ends_with(".local:" + std::to_string(port) + "/"));
    ASSERT_EQ(dnsSd.made.size(), 1U);
    EXPECT_EQ(dnsSd.made[0]->type() + " " + std::to_string(dnsSd.made[0]->port()),
              "_http._tcp " + std::to_string(port));
    EXPECT_TRUE(dnsSd.made[0]->name().starts_with("Mirel clock on ")) << dnsSd.made[0]->name();
    EXPECT_EQ(log.lines().back(),
              "Sharing the clock with browsers at " + addresses[0].get<std::string>());

    SMPTE_tc tc{};
    tc.ht = 2, tc.hu = 3, tc.mt = 5, tc.mu = 9, tc.st = 5, tc.su = 8, tc.ft = 2, tc.fu = 9;
    tc.u1 = 1, tc.u2 = 2, tc.u8 = 15;
    values.listener->receiveTimecode(TimecodeWrapper(tc));
    json state = sharing.state();
    EXPECT_TRUE(state["t"].is_number_integer());
    state.erase("t");
    EXPECT_EQ(state, json::parse(R"({"h": "23", "m": "59", "s": "58", "f": "29", "u": "1200000F",
        "r": "Running", "fps": "29.97", "color": "#5fd38d", "stats": false, "userBits": true})"));

    // A port in use gets a clear line and "failed"; so does any setting that is no port, as a
    // settings file may hold anything. The advertisement goes with the server.
    const auto taken = WebClockServer::start(0, ignored);
    for (const json& bad : {json(taken->port()), json("abc"), json("8470x"), json(" 8470"), json(0),
                            json(70000), json(8470.5), json::object({{"port", 8470}})}) {
        settings.setObjectForKey(bad, "WebClockPort");
        EXPECT_FALSE(sharing.isSharing()) << bad;
        EXPECT_EQ(status()["state"], "failed") << bad;
        EXPECT_EQ(log.lines().back(), "Cannot share the clock with browsers: " + sharing.failure());
    }
    EXPECT_EQ(dnsSd.made[0]->stops, 1);
    settings.setObjectForKey(port, "WebClockPort");
    EXPECT_TRUE(sharing.isSharing());
    settings.setObjectForKey("0", "WebClockShare");
    EXPECT_FALSE(sharing.isSharing());
    EXPECT_EQ(status(), json({{"state", "off"}}));
    EXPECT_EQ(dnsSd.made.back()->stops, 1);
    EXPECT_EQ(log.lines().back(), "Stopped sharing the clock with browsers");
}

}  // namespace
