// The "MirelClock" requests and their answers, without a web view: which
// names page script sees, what each call does, and which requests are refused.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "clock/MirelClockBridge.h"
#include "platform/LogCapture.h"

namespace {

using nlohmann::json;

class RecordedCalls : public MirelClockCalls {
public:
    void logJavaScriptString(const std::string& text) override { logged.push_back(text); }
    void changeHotkeyJS() override { ++hotkeyRequests; }
    json getPreference(const std::string& key) override {
        return preferences.contains(key) ? preferences[key] : json();
    }
    void setPreferenceValue(const json& value, const std::string& key) override {
        preferences[key] = value;
    }

    std::vector<std::string> logged;
    int hotkeyRequests = 0;
    json preferences = json::object();
};

// The token the user script carries, read out of it as a page of ours would hold it.
std::string tokenOf(const MirelClockBridge& bridge) {
    const std::string script = bridge.userScript();
    const std::string marker = "const token = \"";
    const size_t start = script.find(marker) + marker.size();
    return script.substr(start, script.find('"', start) - start);
}

std::string request(const std::string& token, const std::string& call, const json& args) {
    return json{{"mirelClock", token}, {"call", call}, {"args", args}}.dump();
}

constexpr const char* kHome = "mirel:///home";

TEST(MirelClockBridge, OnlyTheFourCallsHaveScriptNames) {
    EXPECT_EQ(MirelClockBridge::webScriptNameForSelector("logJavaScriptString:"), "log");
    EXPECT_EQ(MirelClockBridge::webScriptNameForSelector("changeHotkeyJS"), "changeHotkey");
    EXPECT_EQ(MirelClockBridge::webScriptNameForSelector("getPreference:"), "getPreference");
    EXPECT_EQ(MirelClockBridge::webScriptNameForSelector("setPreferenceValue:forKey:"),
              "setPreference");
    for (const char* hidden : {"showWindow:", "loadWebPage:", "receiveTimecode:", "log", ""}) {
        EXPECT_EQ(MirelClockBridge::webScriptNameForSelector(hidden), std::nullopt) << hidden;
        EXPECT_TRUE(MirelClockBridge::isSelectorExcludedFromWebScript(hidden)) << hidden;
    }
    EXPECT_FALSE(MirelClockBridge::isSelectorExcludedFromWebScript("getPreference:"));
}

TEST(MirelClockBridge, CallsReachTheWindowAndAnswerAsJson) {
    RecordedCalls calls;
    calls.preferences = {{"OnTop", "1"}, {"HotKeyCode", 50}};
    const MirelClockBridge bridge(calls);
    const std::string token = tokenOf(bridge);

    EXPECT_EQ(bridge.answerPrompt(request(token, "log", {"hello"}), kHome), "null");
    EXPECT_EQ(bridge.answerPrompt(request(token, "changeHotkey", json::array()), kHome), "null");
    EXPECT_EQ(bridge.answerPrompt(request(token, "getPreference", {"OnTop"}), kHome), "\"1\"");
    EXPECT_EQ(bridge.answerPrompt(request(token, "getPreference", {"HotKeyCode"}), kHome), "50");
    EXPECT_EQ(bridge.answerPrompt(request(token, "getPreference", {"nothing"}), kHome), "null");
    // Value first, key second, and the value kept as the page gave it.
    EXPECT_EQ(bridge.answerPrompt(request(token, "setPreference", {"0", "OnTop"}), kHome), "null");
    EXPECT_EQ(
        bridge.answerPrompt(request(token, "setPreference", {true, "Flag"}), "mirel://audio/0"),
        "null");

    EXPECT_EQ(calls.logged, std::vector<std::string>{"hello"});
    EXPECT_EQ(calls.hotkeyRequests, 1);
    EXPECT_EQ(calls.preferences["OnTop"], "0");
    EXPECT_EQ(calls.preferences["Flag"], true);
}

TEST(MirelClockBridge, ForgedAndForeignRequestsAreRefused) {
    RecordedCalls calls;
    const MirelClockBridge bridge(calls);
    const MirelClockBridge other(calls);
    const std::string token = tokenOf(bridge);
    ASSERT_EQ(token.size(), 32U);
    ASSERT_NE(token, tokenOf(other));

    const LogCapture log;
    const std::vector<std::pair<std::string, std::string>> refused = {
        {request(tokenOf(other), "setPreference", {"1", "OnTop"}), kHome},
        {request("", "setPreference", {"1", "OnTop"}), kHome},
        {request(token, "setPreference", {"1", "OnTop"}), "https://example.org/"},
        {request(token, "setPreference", {"1", "OnTop"}), "file:///tmp/page.html"},
        {json{{"mirelClock", token}, {"call", "setPreference"}}.dump(), kHome},
        {json{{"mirelClock", 7}, {"call", "log"}, {"args", {"x"}}}.dump(), kHome},
    };
    for (const auto& [message, page] : refused) {
        EXPECT_EQ(bridge.answerPrompt(message, page), "null") << message << " on " << page;
    }
    EXPECT_TRUE(calls.preferences.empty());
    ASSERT_EQ(log.lines().size(), refused.size());
    EXPECT_EQ(log.lines()[2], "Refused a MirelClock call from https://example.org/");

    // An unknown call with the right token does nothing and answers null.
    EXPECT_EQ(bridge.answerPrompt(request(token, "showWindow", json::array()), kHome), "null");
    EXPECT_TRUE(calls.logged.empty());
}

TEST(MirelClockBridge, OrdinaryPromptsAreLeftToTheWebView) {
    RecordedCalls calls;
    const MirelClockBridge bridge(calls);
    for (const char* message : {"Your name?", "", "{\"call\":\"log\"}", "[1,2]", "{broken"}) {
        EXPECT_EQ(bridge.answerPrompt(message, kHome), std::nullopt) << message;
    }
}

}  // namespace
