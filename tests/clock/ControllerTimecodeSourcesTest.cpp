// The page server on the real timecode controller and input list: every input
// the list offers, loaded by its address, stores the name the controller
// selects by, whatever the escaping in between.

#include <nlohmann/json.hpp>

#include "clock/ControllerTimecodeSources.h"
#include "clock/MirelUrlProtocol.h"
#include "clock/TimecodePage.h"
#include "tests/routing/ControllerFixture.h"

namespace {

using nlohmann::json;

class ControllerTimecodeSourcesTest : public ControllerFixture {};

TEST_F(ControllerTimecodeSourcesTest, EveryListedInputStoresTheNameItIsSelectedBy) {
    start();
    for (const char* name : {"mirel://Studio A?#1", "mirel://Büro"}) {
        browser().find(std::make_shared<FakeNetService>(name), false);
    }
    const TimecodeInputList inputs(
        *controller, [] { return std::optional<std::string>("/Movies/Day 1%.mov"); }, settings);
    const ControllerTimecodeSources sources(*controller, inputs);
    const MirelUrlProtocol protocol(sources, settings, {});

    const json document =
        json::parse(protocol.startLoading("mirel:///json/timecodeinputs/").value());
    std::vector<json> stored;
    for (const json& entry : document) {
        EXPECT_EQ(protocol.startLoading(entry["u"].get<std::string>()), timecodePageText())
            << entry;
        stored.push_back(settings.valueForKeyPath("values.audioInput"));
    }
    EXPECT_EQ(stored,
              (std::vector<json>{"Built-in Input", "Studio", "Studio", "mirel://Studio A?#1",
                                 "mirel://Büro", "/Movies/Day 1%.mov"}));
    EXPECT_TRUE(logged("Using Timecode Source<100>: Studio"));
}

}  // namespace
