// The page server's routes on a resource folder of our own, then on the one
// the build lays out: which file or page each address gets, the source
// switches, the input list, the not-found page and the failures.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "clock/MirelUrlProtocol.h"
#include "clock/TimecodePage.h"
#include "platform/LogCapture.h"
#include "platform/Resources.h"
#include "platform/UserDefaultsController.h"
#include "tests/clock/FakeTimecodeSources.h"
#include "tests/platform/MainLoop.h"
#include "tests/platform/TempFolder.h"

namespace {

using nlohmann::json;

const std::string kJquery = std::string("html/") + MIREL_JQUERY_BASE_NAME + ".js";

// Every file the routes read, under html/.
const std::vector<std::string> kFiles = {
    "html/home.html",        "html/welcome.html",
    "html/preferences.html", "html/help.html",
    "html/mirel.css",        "html/mirel45.css",
    "html/mirel45t.css",     kJquery,
    "html/home.mirel.png",   "html/question-mark-icon.png",
    "html/help-icon.png",    "html/file-icon.png",
    "html/qt-icon.png",      "html/mirel4bgd.png",
    "html/LineIn.png",       "html/NetIn.png",
    "html/QtIn.png",         "html/HomeArrow.png",
};

// A resource folder whose every file holds its own relative path, so that a
// body tells which file was served.
class MirelUrlProtocolTest : public ::testing::Test {
protected:
    MirelUrlProtocolTest() {
        std::filesystem::create_directories(folder / "html");
        for (const std::string& file : kFiles) std::ofstream(folder / file) << file;
        Resources::setFolder(folder.path().string());
        settings.setObjectForKey("Before", "audioInput");
    }
    ~MirelUrlProtocolTest() override { Resources::setFolder({}); }

    std::string audioInput() const { return settings.valueForKeyPath("values.audioInput").dump(); }

    TempFolder folder;
    FakeTimecodeSources sources;
    UserDefaultsController settings;
    std::vector<std::string> opened;
    MirelUrlProtocol protocol{sources, settings,
                              [this](const std::string& address) { opened.push_back(address); }};
    LogCapture log;
};

TEST_F(MirelUrlProtocolTest, EachAddressGetsItsFileAnythingMayFollowAPrefix) {
    const std::vector<std::pair<std::string, std::string>> routes = {
        {"mirel:///welcome", "html/welcome.html"},
        {"mirel:///home", "html/home.html"},
        {"mirel:///home/", "html/home.html"},
        {"mirel:///homepage", "html/home.html"},
        {"mirel:///preferences/", "html/preferences.html"},
        {"mirel:///help/", "html/help.html"},
        {"mirel://static/mirel.css", "html/mirel.css"},
        {"mirel://static/mirel45.css", "html/mirel45.css"},
        {"mirel://static/mirel45t.css", "html/mirel45t.css"},
        {"mirel://static/jquery.js", kJquery},
        {"mirel://static/home.mirel.png", "html/home.mirel.png"},
        {"mirel://static/question-mark-icon.png", "html/question-mark-icon.png"},
        {"mirel://static/help-icon.png", "html/help-icon.png"},
        {"mirel://static/file-icon.png", "html/file-icon.png"},
        {"mirel://static/qt-icon.png", "html/qt-icon.png"},
        {"mirel://static/mirel4bgd.png", "html/mirel4bgd.png"},
        {"mirel://static/LineIn.png", "html/LineIn.png"},
        {"mirel://static/NetIn.png", "html/NetIn.png"},
        {"mirel://static/QtIn.png", "html/QtIn.png"},
        {"mirel://static/HomeArrow.png?x=1", "html/HomeArrow.png"},
    };
    for (const auto& [url, file] : routes) EXPECT_EQ(protocol.startLoading(url), file) << url;
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(audioInput(), "\"Before\"");
}

TEST_F(MirelUrlProtocolTest, UnknownAddressesAndMissingFilesFailLoggedUnlessAListedImage) {
    std::filesystem::remove(folder / "html/help.html");
    std::filesystem::remove(folder / "html/LineIn.png");
    for (const char* url : {"mirel://static/nothing.png", "mirel:///json/timecodeinputs",
                            "mirel:///Home", "mirel://Static/mirel.css", "mirel:///help",
                            "mirel://static/LineIn.png", "other:///home"}) {
        EXPECT_EQ(protocol.startLoading(url), std::nullopt) << url;
    }
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "Could not locate 'mirel://static/nothing.png'",
                               "Could not locate 'mirel:///json/timecodeinputs'",
                               "Could not locate 'mirel:///Home'",
                               "Could not locate 'mirel://Static/mirel.css'",
                               "Could not locate 'mirel:///help'",
                               "Could not locate 'other:///home'",
                           }));
}

TEST_F(MirelUrlProtocolTest, OnlineHelpOpensOnceFromTheMainLoopAndShowsHome) {
    EXPECT_EQ(protocol.startLoading("mirel:///visitOnlineHelp"), "html/home.html");
    EXPECT_TRUE(opened.empty());  // never while the request is being served
    ASSERT_TRUE(runMainLoopUntil([&] { return !opened.empty(); }));
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    EXPECT_EQ(opened, std::vector<std::string>{std::string(MirelUrlProtocol::kOnlineHelpAddress)});
}

TEST_F(MirelUrlProtocolTest, InputListJoinsTheEntriesAsTheyAre) {
    EXPECT_EQ(protocol.startLoading("mirel:///json/timecodeinputs/"), "[]");
    sources.entries = {R"({"u":"mirel://audio/1","n":"Line","i":"audio"})",
                       R"({"u":"mirel://network/A%20B","n":"A B","i":"network"})"};
    EXPECT_EQ(protocol.startLoading("mirel:///json/timecodeinputs/?t=1"),
              R"([{"u":"mirel://audio/1","n":"Line","i":"audio"},)"
              R"({"u":"mirel://network/A%20B","n":"A B","i":"network"}])");
}

TEST_F(MirelUrlProtocolTest, NotFoundPageNamesTheAddressAsText) {
    const std::string head = "<html><body><h1>Cannot locate the page you have requested</h1>";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"mirel://404/help", "help"},
        {"mirel://404/", ""},
        {"mirel://404/mirel:///nowhere", "mirel:///nowhere"},
        {"mirel://404/a%20b?query#part", "a b"},
        {"mirel://404/%3Cscript%3Ealert('x')%3C/script%3E&",
         "&lt;script&gt;alert(&apos;x&apos;)&lt;/script&gt;&amp;"},
        {"mirel://404/100%", "100%"},
    };
    for (const auto& [url, named] : cases) {
        EXPECT_EQ(protocol.startLoading(url), head + named + "</body></html>") << url;
    }
}

TEST_F(MirelUrlProtocolTest, AudioAddressStoresTheDeviceNameReadFromTheLeadingNumber) {
    sources.audioNames = {{0, "Zero"}, {2, "Two"}, {3, "Line In 3"}};
    const std::vector<std::tuple<std::string, int, std::string>> cases = {
        {"mirel://audio/3", 3, "\"Line In 3\""},           {"mirel://audio/x", 0, "\"Zero\""},
        {"mirel://audio/ +2tail", 2, "\"Two\""},           {"mirel://audio/-1", -1, "null"},
        {"mirel://audio/99999999999", 2147483647, "null"}, {"mirel://audio/", 0, "\"Zero\""},
    };
    for (const auto& [url, index, stored] : cases) {
        settings.setObjectForKey("Before", "audioInput");
        EXPECT_EQ(protocol.startLoading(url), timecodePageText()) << url;
        EXPECT_EQ(sources.askedIndices.back(), index) << url;
        EXPECT_EQ(audioInput(), stored) << url;
    }
    EXPECT_EQ(log.lines().front(), "Audio ID: 3 - Line In 3");
    EXPECT_EQ(log.lines()[3], "Audio ID: -1 - (null)");
}

TEST_F(MirelUrlProtocolTest, NetworkAddressMatchesTheFirstNameEndingWithItAndStoresItsOwnText) {
    sources.networkNames = {"mirel://studio-b", "Cart Studio A", "Studio A", "Régie"};
    const std::vector<std::pair<std::string, std::string>> switches = {
        {"mirel://network/Studio%20A", "\"Studio A\""},
        {"mirel://network/", "\"\""},
        {"mirel://network/R%C3%A9gie", "\"Régie\""},
        {"mirel://network/b", "\"b\""},
    };
    for (const auto& [url, stored] : switches) {
        settings.setObjectForKey("Before", "audioInput");
        EXPECT_EQ(protocol.startLoading(url), timecodePageText()) << url;
        EXPECT_EQ(audioInput(), stored) << url;
    }
    settings.setObjectForKey("Before", "audioInput");
    for (const char* url : {"mirel://network/Studio%20C", "mirel://network/%zz",
                            "mirel://network/A%00", "mirel://network/R%E9gie"}) {
        EXPECT_EQ(protocol.startLoading(url), std::nullopt) << url;
        EXPECT_EQ(log.lines().back(), std::string("Could not locate '") + url + "'");
    }
    sources.networkNames.clear();
    EXPECT_EQ(protocol.startLoading("mirel://network/"), std::nullopt);
    EXPECT_EQ(audioInput(), "\"Before\"");
}

TEST_F(MirelUrlProtocolTest, MovieAddressStoresThePathUnlessItsEscapesDoNotDecode) {
    EXPECT_EQ(protocol.startLoading("mirel://quicktime//Movies/a%20b.mov"), timecodePageText());
    EXPECT_EQ(audioInput(), "\"/Movies/a b.mov\"");
    settings.setObjectForKey("Before", "audioInput");
    EXPECT_EQ(protocol.startLoading("mirel://quicktime//Movies/%E9t%E9.mov"), std::nullopt);
    EXPECT_EQ(audioInput(), "\"Before\"");
}

TEST(MirelUrlProtocol, PercentEscapesAreReplacedAsUtf8OrNotAtAll) {
    const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
        {"", ""},
        {"plain+text", "plain+text"},
        {"a%20b%2Fc", "a b/c"},
        {"%C3%A9t%C3%A9", "été"},
        {"%e2%82%ac", "€"},
        {"%E9", std::nullopt},  // a Latin-1 byte, no UTF-8
        {"%zz", std::nullopt},
        {"100%", std::nullopt},
        {"%0", std::nullopt},
        {"a%00b", std::nullopt},
    };
    for (const auto& [escaped, replaced] : cases) {
        EXPECT_EQ(MirelUrlProtocol::replacePercentEscapes(escaped), replaced) << escaped;
    }
}

// The folder the build lays out holds every file a route names.
TEST(MirelUrlProtocol, BuiltResourceFolderAnswersEveryRoute) {
    Resources::setFolder({});
    FakeTimecodeSources sources;
    UserDefaultsController settings;
    MirelUrlProtocol protocol(sources, settings, [](const std::string&) {});
    for (const std::string& file : kFiles) {
        std::string url = "mirel://static/" + file.substr(5);
        if (file.ends_with(".html")) url = "mirel:///" + file.substr(5, file.size() - 10);
        if (file == kJquery) url = "mirel://static/jquery.js";
        const std::optional<std::string> body = protocol.startLoading(url);
        ASSERT_TRUE(body.has_value()) << url << " from " << Resources::folder();
        EXPECT_GT(body->size(), 100U) << url;
    }
}

}  // namespace
