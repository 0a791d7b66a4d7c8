// The input list and "audioInputList" over fake devices and peers; each entry's address selects it.

#include "app/ControllerTimecodeSources.h"
#include "app/TimecodeInputList.h"
#include "clock/MirelUrlProtocol.h"
#include "tests/routing/ControllerFixture.h"

namespace {

using nlohmann::json;

class TimecodeInputListTest : public ControllerFixture {
protected:
    void find(const char* name) { browser().find(std::make_shared<FakeNetService>(name), false); }
};

TEST_F(TimecodeInputListTest, ListsInputDevicesThenNetworkSourcesThenTheMovie) {
    const std::vector<FakeDevice> devices = {outputOnlyDevice(1, "Speakers"),
                                             inputDevice(2, "Mic \"A\"\\B", 2),
                                             inputDevice(3, "Line\xff", 1)};
    hardware.deviceList = devices;
    start();
    std::optional<std::string> movie;
    const TimecodeInputList list(
        *controller, [&] { return movie; }, settings);
    hardware.deviceList.resize(1);  // listed afresh at every call
    EXPECT_TRUE(list.getInputDeviceList().empty());

    hardware.deviceList = devices;
    find("mirel://Studio A?#1");
    find("mirel://Büro");
    movie = "/Movies/a b%.mov";
    const std::vector<std::string> expected = {
        R"({"u":"mirel://audio/1","n":"Mic \"A\"\\B","i":"audio"})",
        "{\"u\":\"mirel://audio/2\",\"n\":\"Line\xEF\xBF\xBD\",\"i\":\"audio\"}",
        R"({"u":"mirel://network/mirel%3A//Studio%20A%3F%231","n":"mirel://Studio A?#1","i":"network"})",
        R"({"u":"mirel://network/mirel%3A//B%C3%BCro","n":"mirel://Büro","i":"network"})",
        R"({"u":"mirel://quicktime//Movies/a%20b%25.mov","n":"/Movies/a%20b%25.mov","i":"quicktime"})",
    };
    EXPECT_EQ(list.getInputDeviceList(), expected);

    // Each entry's address stores the name the controller selects by, whatever the escaping.
    const ControllerTimecodeSources sources(*controller, list);
    const MirelUrlProtocol protocol(sources, settings, {});
    const std::optional<std::string> clockPage = MirelUrlProtocol::getTimecodePage();
    ASSERT_TRUE(clockPage);
    std::vector<json> stored;
    using enum MirelUrlProtocol::Loading;
    for (const json& entry :
         json::parse(*protocol.startLoading("mirel:///json/timecodeinputs/", kReadOnly))) {
        EXPECT_EQ(protocol.startLoading(entry["u"].get<std::string>(), kNavigation), clockPage)
            << entry;
        stored.push_back(settings.valueForKeyPath("values.audioInput"));
    }
    EXPECT_EQ(stored, (std::vector<json>{"Mic \"A\"\\B", "Line\xff", "mirel://Studio A?#1",
                                         "mirel://Büro", "/Movies/a b%.mov"}));
    EXPECT_TRUE(logged("Using Timecode Source<100>: Mic \"A\"\\B"));
}

TEST_F(TimecodeInputListTest, RebuildsTheListBySourceTypeAndBringsTheChoiceInLine) {
    start();
    find("mirel://peer");
    TimecodeInputList list(*controller, {}, settings);
    const json audio = {"Built-in Input (2)", "Studio (8)", "Studio (2)"};
    struct Case {
        const char* sourceType;
        json before, after, list;
        bool reconcile = true;
    };
    const Case cases[] = {
        {"Audio Input", "Studio (8)", "Studio (8)", audio},
        {"Audio Input", "Studio", "Built-in Input (2)", audio},
        // Network news rebuilds the list alone: a source just found is not left at once.
        {"Audio Input", "mirel://peer", "mirel://peer", audio, false},
        {"Audio Output", "Studio", "", json::array()},
        {"Network", "mirel://peer", "mirel://peer", {"mirel://peer"}},
        {"Network", "Studio", "", {"mirel://peer"}},
        {"Video", "Studio", "Studio", json::array()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.sourceType) + " " + c.before.dump());
        settings.setObjectForKey(c.sourceType, "sourceType");
        settings.setObjectForKey(c.before, "audioInput");
        c.reconcile ? list.refreshDevicesList() : list.refreshAudioInputList();
        EXPECT_EQ(settings.valueForKeyPath("values.audioInput"), c.after);
        EXPECT_EQ(settings.valueForKeyPath("values.audioInputList"), c.list);
    }
}

}  // namespace
