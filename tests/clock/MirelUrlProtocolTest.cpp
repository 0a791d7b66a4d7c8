// The page server's routes, without a web view, on a resource folder of our own.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "clock/MirelUrlProtocol.h"
#include "platform/LogCapture.h"
#include "platform/Resources.h"
#include "platform/UserDefaultsController.h"
#include "tests/clock/FakeTimecodeSources.h"
#include "tests/platform/MainLoop.h"
#include "tests/platform/TempFolder.h"

namespace {

using nlohmann::json;

const std::string kTimecodePage = "the clock";

// Every file of the real resource folder that an address of its own serves, so that a
// file added there without a route fails.
const std::vector<std::string> kFiles = [] {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(MIREL_RESOURCES "/html")) {
        const std::string name = entry.path().filename().string();
        if (name != "timecode.html" && name != "notfound.html") files.push_back("html/" + name);
    }
    return files;
}();

std::string addressOf(const std::string& file) {
    const std::string name = file.substr(5);
    if (name == MIREL_JQUERY_BASE_NAME ".js") return "mirel://static/jquery.js";
    if (name.ends_with(".html")) return "mirel:///" + name.substr(0, name.size() - 5);
    return "mirel://static/" + name;
}

// A resource folder whose every file holds its own relative path: a body tells which it is.
class MirelUrlProtocolTest : public ::testing::Test {
protected:
    MirelUrlProtocolTest() {
        std::filesystem::create_directories(folder / "html");
        for (const std::string& file : kFiles) std::ofstream(folder / file) << file;
        std::ofstream(folder / "html/timecode.html") << kTimecodePage;
        std::ofstream(folder / "html/notfound.html") << "<p>@ADDRESS@</p>";
        Resources::setFolder(folder.path().string());
    }
    ~MirelUrlProtocolTest() override { Resources::setFolder({}); }

    json chosen() const { return settings.valueForKeyPath("values.audioInput"); }

    TempFolder folder;
    FakeTimecodeSources sources;
    UserDefaultsController settings;
    std::vector<std::string> opened;
    MirelUrlProtocol protocol{sources, settings,
                              [this](const std::string& address) { opened.push_back(address); }};
    LogCapture log;
};

constexpr auto kRead = MirelUrlProtocol::Loading::kReadOnly;
constexpr auto kNavigation = MirelUrlProtocol::Loading::kNavigation;

TEST_F(MirelUrlProtocolTest, EachAddressGetsItsFileAnythingMayFollowAPrefix) {
    std::vector<std::pair<std::string, std::string>> routes = {
        {"mirel:///home/", "html/home.html"},
        {"mirel:///homepage", "html/home.html"},
        {"mirel://static/HomeArrow.png?x=1", "html/HomeArrow.png"}};
    for (const std::string& file : kFiles) routes.emplace_back(addressOf(file), file);
    for (const auto& [url, file] : routes)
        EXPECT_EQ(protocol.startLoading(url, kRead), file) << url;
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(chosen(), nullptr);
}

TEST_F(MirelUrlProtocolTest, UnknownAddressesAndMissingFilesFailLoggedUnlessAListedImage) {
    std::filesystem::remove(folder / "html/help.html");
    std::filesystem::remove(folder / "html/LineIn.png");
    std::vector<std::string> logged;
    for (const std::string url : {"mirel://static/nothing.png", "mirel:///json/timecodeinputs",
                                  "mirel:///Home", "mirel://Static/mirel.css", "mirel:///help",
                                  "other:///home", "mirel://static/LineIn.png"}) {
        EXPECT_EQ(protocol.startLoading(url, kRead), std::nullopt) << url;
        logged.push_back("Could not locate '" + url + "'");
    }
    logged.pop_back();  // a listed image that is missing fails quietly
    EXPECT_EQ(log.lines(), logged);
}

TEST_F(MirelUrlProtocolTest, OnlineHelpOpensOnceFromTheMainLoopAndShowsHome) {
    EXPECT_EQ(protocol.startLoading("mirel:///visitOnlineHelp", kNavigation), "html/home.html");
    EXPECT_TRUE(opened.empty());  // never while the request is being served
    ASSERT_TRUE(runMainLoopUntil([&] { return !opened.empty(); }));
    while (g_main_context_pending(nullptr)) g_main_context_iteration(nullptr, FALSE);
    EXPECT_EQ(opened, std::vector<std::string>{std::string(MirelUrlProtocol::kOnlineHelpAddress)});
}

TEST_F(MirelUrlProtocolTest, NotFoundPageNamesTheAddressAsText) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"mirel://404/help", "help"},
        {"mirel://404/", ""},
        {"mirel://404/mirel:///nowhere", "mirel:///nowhere"},
        {"mirel://404/a%20b?query#part", "a b"},
        {"mirel://404/%3Cscript%3Ealert('x')%3C/script%3E&",
         "&lt;script&gt;alert(&apos;x&apos;)&lt;/script&gt;&amp;"},
        {"mirel://404/100%", "100%"}};
    for (const auto& [url, named] : cases)
        EXPECT_EQ(protocol.startLoading(url, kRead), "<p>" + named + "</p>") << url;
}

// The document goes out as a page's type: names from other machines hold no markup there.
TEST_F(MirelUrlProtocolTest, InputListHoldsNoMarkupCharactersButTheSameValues) {
    const json hostile = {{"u", "mirel://network/x"},
                          {"n", "<img src=x onerror=MirelClock.setPreference(1,'X')>&amp;"},
                          {"i", "network"}};
    sources.entries = {hostile.dump(), json{{"u", "mirel://audio/0"}, {"n", "A&B"}}.dump()};
    const std::string document = *protocol.startLoading("mirel:///json/timecodeinputs/", kRead);
    EXPECT_EQ(document.find_first_of("<>&"), std::string::npos) << document;
    EXPECT_NE(document.find("\\u003cimg"), std::string::npos) << document;
    EXPECT_EQ(json::parse(document),
              json::array({hostile, {{"u", "mirel://audio/0"}, {"n", "A&B"}}}));
}

TEST_F(MirelUrlProtocolTest, SourceAddressesStoreTheNameTheyCarryOrFailLeavingTheChoice) {
    sources.audioNames = {{3, "Line In 3"}};
    sources.networkNames = {"mirel://studio-b", "Cart Studio A", "Studio A", "Régie"};
    const std::vector<std::pair<std::string, json>> switches = {
        // The device by the number the address starts with; outside the list, none.
        {"mirel://audio/3", "Line In 3"},
        {"mirel://audio/1", nullptr},
        // The address's own text, when some visible name ends with it.
        {"mirel://network/Studio%20A", "Studio A"},
        {"mirel://network/", ""},
        {"mirel://network/R%c3%a9gie", "Régie"},
        {"mirel://network/b", "b"},
        {"mirel://quicktime//Movies/a%20b+c%2Fd.mov", "/Movies/a b+c/d.mov"}};
    for (const auto& [url, stored] : switches) {
        settings.setObjectForKey("Before", "audioInput");
        EXPECT_EQ(protocol.startLoading(url, kNavigation), kTimecodePage) << url;
        EXPECT_EQ(chosen(), stored) << url;
    }
    // A name no visible source ends with, or escapes that give no UTF-8 text, switch nothing.
    settings.setObjectForKey("Before", "audioInput");
    for (const char* url : {"mirel://network/Studio%20C", "mirel://quicktime/%zz",
                            "mirel://quicktime/100%", "mirel://quicktime/%0",
                            "mirel://quicktime/a%00b", "mirel://quicktime//Movies/%E9t%E9.mov"}) {
        EXPECT_EQ(protocol.startLoading(url, kNavigation), std::nullopt) << url;
        EXPECT_EQ(chosen(), "Before") << url;
    }
}

}  // namespace
