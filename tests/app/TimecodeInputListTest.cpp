#include "app/TimecodeInputList.h"
#include "tests/routing/ControllerFixture.h"

namespace {

class TimecodeInputListTest : public ControllerFixture {
protected:
    void find(const std::string& name) {
        browser().find(std::make_shared<FakeNetService>(name), false);
    }
    nlohmann::json audioInput() const { return settings.valueForKeyPath("values.audioInput"); }
};

TEST_F(TimecodeInputListTest, ListsInputDevicesThenNetworkSourcesThenTheMovie) {
    start();
    std::optional<std::string> movie;
    const TimecodeInputList list(
        *controller, [&] { return movie; }, settings);
    hardware.deviceList = {outputOnlyDevice(1, "Speakers")};  // listed afresh at every call
    EXPECT_TRUE(list.getInputDeviceList().empty());

    hardware.deviceList.push_back(inputDevice(2, "Mic \"A\"\\B", 2));
    hardware.deviceList.push_back(inputDevice(3, "Line\xff", 1));
    find("mirel://Studio A?#1");
    find("mirel://Büro");
    movie = "/Movies/a b.mov";
    const std::vector<std::string> expected = {
        R"({"u":"mirel://audio/1","n":"Mic \"A\"\\B","i":"audio"})",
        "{\"u\":\"mirel://audio/2\",\"n\":\"Line\xEF\xBF\xBD\",\"i\":\"audio\"}",
        R"({"u":"mirel://network/mirel%3A//Studio%20A%3F%231","n":"mirel://Studio A?#1","i":"network"})",
        R"({"u":"mirel://network/mirel%3A//B%C3%BCro","n":"mirel://Büro","i":"network"})",
        R"({"u":"mirel://quicktime//Movies/a%20b.mov","n":"/Movies/a%20b.mov","i":"quicktime"})",
    };
    EXPECT_EQ(list.getInputDeviceList(), expected);
}

TEST_F(TimecodeInputListTest, RebuildsTheListBySourceTypeAndBringsTheChoiceInLine) {
    start();
    find("mirel://peer");
    TimecodeInputList list(*controller, {}, settings);
    const nlohmann::json audio = {"Built-in Input (2)", "Studio (8)", "Studio (2)"};
    struct Case {
        const char* sourceType;
        nlohmann::json before, after, list;
    };
    const Case cases[] = {
        {"Audio Input", "Studio (8)", "Studio (8)", audio},
        {"Audio Input", "Studio", "Built-in Input (2)", audio},
        {"Audio Output", "Studio", "", nlohmann::json::array()},
        {"Network", "mirel://peer", "mirel://peer", {"mirel://peer"}},
        {"Network", "Studio", "", {"mirel://peer"}},
        {"Video", "Studio", "Studio", nlohmann::json::array()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.sourceType) + " " + c.before.dump());
        settings.setObjectForKey(c.sourceType, "sourceType");
        settings.setObjectForKey(c.before, "audioInput");
        list.refreshDevicesList();
        EXPECT_EQ(audioInput(), c.after);
        EXPECT_EQ(settings.valueForKeyPath("values.audioInputList"), c.list);
    }
}

// With the default "Audio Input", a full refresh would replace a network
// source's name, so the source would be left the moment it is found.
TEST_F(TimecodeInputListTest, NetworkNewsRebuildsTheListButKeepsTheChosenSource) {
    start("mirel://peer");
    TimecodeInputList list(*controller, {}, settings);
    controller->setDevicesListRefresher([&] { list.refreshAudioInputList(); });
    find("mirel://peer");
    EXPECT_EQ(audioInput(), "mirel://peer");
    EXPECT_EQ(controller->networkTimecodeReceiver().subscribedServicesCount(), 1);
    EXPECT_EQ(settings.valueForKeyPath("values.audioInputList").size(), 3u);
}

}  // namespace
