// The "MirelClock" requests without a web view; their everyday use is the clock window's test.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "clock/MirelClockBridge.h"
#include "platform/LogCapture.h"

namespace {

using nlohmann::json;

// What reaches the window: calls and settings written.
struct RecordedCalls : MirelClockCalls {
    void logJavaScriptString(const std::string& text) override { calls.push_back(text); }
    void changeHotkeyJS() override { calls.push_back("changeHotkey"); }
    json getPreference(const std::string& key) override {
        calls.push_back(key);
        return nullptr;
    }
    void setPreferenceValue(const json& v, const std::string& key) override { stored[key] = v; }
    std::vector<std::string> calls;
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
    EXPECT_TRUE(window.calls.empty());
    // Prompts that are no request of ours are the web view's to show.
    for (const char* message : {"Your name?", "", "{\"call\":\"log\"}", "[1,2]", "{broken"})
        EXPECT_EQ(bridge.answerPrompt(message, kHome), std::nullopt) << message;
}

}  // namespace
