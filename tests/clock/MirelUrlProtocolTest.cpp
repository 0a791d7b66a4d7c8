// The page server's routes and the "MirelClock" requests, without a web view.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "clock/MirelClockBridge.h"
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

using Routes = std::vector<std::pair<std::string, std::string>>;

// The real resource folder's files by their own addresses: a file added without a route fails.
const Routes kRoutes = [] {
    Routes routes;
    for (const auto& entry : std::filesystem::directory_iterator(MIREL_RESOURCES "/html")) {
        const std::string name = entry.path().filename().string();
        // The browser clock's page is its own server's, not the window's.
        if (name == "timecode.html" || name == "notfound.html" || name == "webclock.html") continue;
        std::string url = "mirel://static/" + name;
        if (name == MIREL_JQUERY_BASE_NAME ".js") url = "mirel://static/jquery.js";
        if (name.ends_with(".html")) url = "mirel:///" + name.substr(0, name.size() - 5);
        routes.emplace_back(url, "html/" + name);
    }
    return routes;
}();

// A resource folder whose every file holds its own relative path: a body tells which it is.
class MirelUrlProtocolTest : public ::testing::Test {
protected:
    MirelUrlProtocolTest() {
        std::filesystem::create_directories(folder / "html");
        for (const auto& [address, file] : kRoutes) std::ofstream(folder / file) << file;
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

TEST_F(MirelUrlProtocolTest, EachAddressGetsItsFileOthersFailLoggedUnlessAListedImage) {
    // Anything may follow a prefix.
    Routes routes = {{"mirel:///home/", "html/home.html"},
                     {"mirel:///homepage", "html/home.html"},
                     {"mirel://static/HomeArrow.png?x=1", "html/HomeArrow.png"}};
    routes.insert(routes.end(), kRoutes.begin(), kRoutes.end());
    for (const auto& [url, file] : routes)
        EXPECT_EQ(protocol.startLoading(url, kRead), file) << url;
    EXPECT_EQ(chosen(), nullptr);

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
    EXPECT_EQ(log.lines(), logged) << "the served ones logged nothing";
}

TEST_F(MirelUrlProtocolTest, OnlineHelpOpensOnceFromTheMainLoopAndShowsHome) {
    EXPECT_EQ(protocol.startLoading("mirel:///visitOnlineHelp", kNavigation), "html/home.html");
    EXPECT_TRUE(opened.empty());  // never while the request is being served
    ASSERT_TRUE(runMainLoopUntil([&] { return !opened.empty(); }));
    while (g_main_context_pending(nullptr)) g_main_context_iteration(nullptr, FALSE);
    EXPECT_EQ(opened, std::vector<std::string>{std::string(MirelUrlProtocol::kOnlineHelpAddress)});
}

TEST_F(MirelUrlProtocolTest, NotFoundPageAndInputListCarryOutsideTextWithoutMarkup) {
    const Routes cases = {{"mirel://404/help", "help"},
                          {"mirel://404/", ""},
                          {"mirel://404/mirel:///nowhere", "mirel:///nowhere"},
                          {"mirel://404/a%20b?query#part", "a b"},
                          {"mirel://404/%3Cscript%3Ealert('x')%3C/script%3E&",
                           "&lt;script&gt;alert(&apos;x&apos;)&lt;/script&gt;&amp;"},
                          {"mirel://404/100%", "100%"}};
    for (const auto& [url, named] : cases)
        EXPECT_EQ(protocol.startLoading(url, kRead), "<p>" + named + "</p>") << url;

    // The list goes out as a page's type: names from other machines hold no markup there.
    const json hostile = {{"u", "mirel://network/x"},
                          {"n", "<img src=x onerror=MirelClock.setPreference(1,'X')>&amp;"},
                          {"i", "network"}};
    const json plain = {{"u", "mirel://audio/0"}, {"n", "A&B"}};
    sources.entries = {hostile.dump(), plain.dump()};
    const std::string document = *protocol.startLoading("mirel:///json/timecodeinputs/", kRead);
    EXPECT_EQ(document.find_first_of("<>&"), std::string::npos) << document;
    EXPECT_NE(document.find("\\u003cimg"), std::string::npos) << document;
    EXPECT_EQ(json::parse(document), json::array({hostile, plain}));
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

// What reaches the window: settings written by key, other calls by their names.
struct RecordedCalls : MirelClockCalls {
    void logJavaScriptString(const std::string& text) override { stored["log " + text] = true; }
    void changeHotkeyJS() override { stored["changeHotkey"] = true; }
    json getPreference(const std::string& key) override { return stored["get " + key] = nullptr; }
    void setPreferenceValue(const json& v, const std::string& key) override { stored[key] = v; }
    json stored = json::object();
};

// The token the user script carries, read out of it as a page of ours would hold it.
std::string tokenOf(const MirelClockBridge& bridge) {
    const std::string script = bridge.userScript().value_or("");
    const size_t start = script.find("const token = \"") + 15;
    return script.substr(start, script.find('"', start) - start);
}

std::string request(const std::string& token, const std::string& call, const json& args) {
    return json{{"mirelClock", token}, {"call", call}, {"args", args}}.dump();
}

constexpr const char* kHome = "mirel:///home";

TEST(MirelClockBridge, ForgedAndForeignRequestsAreRefusedAndOtherPromptsLeftAlone) {
    RecordedCalls window;
    const MirelClockBridge bridge(window);
    const MirelClockBridge other(window);
    const std::string token = tokenOf(bridge);
    ASSERT_EQ(token.size(), 32U);
    ASSERT_NE(token, tokenOf(other));

    const LogCapture log;
    const std::vector<std::pair<std::string, std::string>> refused = {
        {request(tokenOf(other), "setPreference", {"1", "OnTop"}), kHome},
        {request("", "setPreference", {"1", "OnTop"}), kHome},
        {request(token, "setPreference", {"1", "OnTop"}), "https://example.org/"},
        {request(token, "setPreference", {"1", "OnTop"}), "file:///tmp/page.html"},
        // Our documents that carry text from outside are no pages of ours.
        {request(token, "setPreference", {"1", "X"}), "mirel:///json/timecodeinputs/"},
        {request(token, "setPreference", {"1", "X"}), "mirel://404/mirel:///nowhere"},
        // Nothing could store it, and logging it would recurse as deep.
        {R"({"mirelClock":")" + token + R"(","call":"setPreference","args":[)" +
             std::string(100000, '[') + std::string(100000, ']') + R"(,"X"]})",
         kHome},
        {json{{"mirelClock", token}, {"call", "setPreference"}}.dump(), kHome},
        {json{{"mirelClock", 7}, {"call", "log"}, {"args", {"x"}}}.dump(), kHome}};
    for (const auto& [message, page] : refused)
        EXPECT_EQ(bridge.answerPrompt(message, page), "null") << message << " on " << page;
    EXPECT_TRUE(window.stored.empty());
    ASSERT_EQ(log.lines().size(), refused.size());
    EXPECT_EQ(log.lines()[2], "Refused a MirelClock call from https://example.org/");
    // Its own requests from its own pages: a value kept as given, and no call beyond the four.
    EXPECT_EQ(bridge.answerPrompt(request(token, "setPreference", {true, "Flag"}), kHome), "null");
    EXPECT_EQ(bridge.answerPrompt(request(token, "showWindow", json::array()), kHome), "null");
    EXPECT_EQ(window.stored, (json{{"Flag", true}}));
    // Prompts that are no request of ours are the web view's to show.
    for (const char* message : {"Your name?", "", "{\"call\":\"log\"}", "[1,2]", "{broken"})
        EXPECT_EQ(bridge.answerPrompt(message, kHome), std::nullopt) << message;
}

}  // namespace
