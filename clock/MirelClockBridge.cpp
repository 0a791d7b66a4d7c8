#include "clock/MirelClockBridge.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <random>
#include <utility>

#include "clock/ApplicationPages.h"
#include "platform/Log.h"
#include "platform/PreferencesFile.h"

namespace {

using nlohmann::json;

constexpr std::string_view kTokenPlaceholder = "@TOKEN@";
constexpr std::string_view kPagesPlaceholder = "@PAGES@";

// Runs before any script of the page, so the functions it keeps (prompt, the
// JSON pair) are the browser's own, whatever the page does to window later.
constexpr std::string_view kUserScript = R"((function () {
    "use strict";
    const pages = @PAGES@;
    const here = window.location.href;
    if (!pages.some(function (page) { return here.indexOf(page) === 0; })) return;
    const ask = window.prompt.bind(window);
    const encode = JSON.stringify;
    const decode = JSON.parse;
    const token = "@TOKEN@";
    function call(name, args) {
        const answer = ask(encode({mirelClock: token, call: name, args: args}));
        return answer === null ? null : decode(answer);
    }
    const clock = Object.freeze({
        log: function (text) { call("log", [String(text)]); },
        changeHotkey: function () { call("changeHotkey", []); },
        getPreference: function (key) { return call("getPreference", [String(key)]); },
        setPreference: function (value, key) {
            call("setPreference", [value === undefined ? null : value, String(key)]);
        }
    });
    Object.defineProperty(window, "MirelClock", {value: clock, enumerable: true});
})();
)";

std::string freshToken() {
    std::random_device random;
    std::string token;
    for (int i = 0; i < 4; ++i) {
        std::array<char, 9> part{};
        std::snprintf(part.data(), part.size(), "%08x", static_cast<unsigned>(random()));
        token += part.data();
    }
    return token;
}

std::string asText(const json& value) {
    return value.is_string() ? value.get<std::string>() : value.dump();
}

}  // namespace

MirelClockBridge::MirelClockBridge(MirelClockCalls& calls) : calls_(calls), token_(freshToken()) {}

std::string MirelClockBridge::userScript() const {
    std::string script(kUserScript);
    script.replace(script.find(kTokenPlaceholder), kTokenPlaceholder.size(), token_);
    const std::string pages = json(kApplicationPages).dump();
    script.replace(script.find(kPagesPlaceholder), kPagesPlaceholder.size(), pages);
    return script;
}

std::optional<std::string> MirelClockBridge::answerPrompt(std::string_view message,
                                                          std::string_view pageAddress) const {
    const json request = json::parse(message, nullptr, false);
    if (!request.is_object() || !request.contains("mirelClock")) return std::nullopt;

    const json* token = &request.at("mirelClock");
    const auto name = request.find("call");
    const auto args = request.find("args");
    if (!token->is_string() || token->get<std::string>() != token_ ||
        !isApplicationPage(pageAddress) || name == request.end() || !name->is_string() ||
        args == request.end() || !args->is_array()) {
        Log::line("Refused a MirelClock call from %s", std::string(pageAddress).c_str());
        return "null";
    }
    // Nothing deeper could be stored, and logging it would recurse as deep.
    if (std::ranges::any_of(*args, PreferencesFile::nestsTooDeep)) {
        Log::line("Refused a MirelClock call from %s: its arguments nest too deep",
                  std::string(pageAddress).c_str());
        return "null";
    }
    return call(name->get<std::string>(), *args).dump();
}

json MirelClockBridge::call(const std::string& name, const json& args) const {
    const auto text = [&](size_t i) { return i < args.size() ? asText(args[i]) : std::string(); };
    if (name == "log") {
        calls_.logJavaScriptString(text(0));
    } else if (name == "changeHotkey") {
        calls_.changeHotkeyJS();
    } else if (name == "getPreference") {
        return calls_.getPreference(text(0));
    } else if (name == "setPreference") {
        calls_.setPreferenceValue(args.empty() ? json() : args[0], text(1));
    }
    return nullptr;
}
