#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

// What the "MirelClock" script object asks of its native side: the four calls
// a page may make. The clock window answers them.
class MirelClockCalls {
public:
    virtual void logJavaScriptString(const std::string& text) = 0;
    virtual void changeHotkeyJS() = 0;
    /// The setting's value; null when it has none.
    virtual nlohmann::json getPreference(const std::string& key) = 0;
    virtual void setPreferenceValue(const nlohmann::json& value, const std::string& key) = 0;

protected:
    ~MirelClockCalls() = default;
};

// The "MirelClock" script object. A user script, injected at document start
// in the top frame, defines it; each of its calls is one prompt() whose message
// is a JSON request and whose answer, given synchronously by the native side,
// is the call's result as JSON.
//
// Only the application's own pages may reach the settings. The object is
// defined only in their documents (never in one served as data, such as the
// input list, which a view may still be shown as a page), and every request
// carries a token drawn afresh for each bridge: it lives in the user script's
// closure, which a frame of another origin can neither read nor call, so a
// foreign page shown in the clock window, or framed by one of ours, cannot
// forge a request. A request is answered only while the web view shows one of
// the application's pages.
//
// Thread contract: main thread.
class MirelClockBridge {
public:
    /// `calls` must outlive this.
    explicit MirelClockBridge(MirelClockCalls& calls);

    /// The user script that defines "MirelClock" (MirelClock.js of the
    /// resource folder), bound to this bridge's token; none, after a log
    /// line, when the file cannot be read.
    std::optional<std::string> userScript() const;

    /// The answer to a prompt with `message`, shown by the page at
    /// `pageAddress` (the web view's main-frame address): none when the prompt
    /// is not a request of this bridge's script, so that it is left to the
    /// web view; "null" for a request that is refused or has no result.
    std::optional<std::string> answerPrompt(std::string_view message,
                                            std::string_view pageAddress) const;

private:
    nlohmann::json call(const std::string& name, const nlohmann::json& args) const;

    MirelClockCalls& calls_;
    std::string token_;
};
