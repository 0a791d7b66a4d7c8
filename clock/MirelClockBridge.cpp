#include "clock/MirelClockBridge.h"

#include <glib.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <random>
#include <utility>

#include "clock/ApplicationPages.h"
#include "platform/Log.h"
#include "platform/PreferencesFile.h"
#include "platform/Resources.h"

namespace {

using nlohmann::json;

constexpr std::string_view kTokenPlaceholder = "@TOKEN@";
constexpr std::string_view kPagesPlaceholder = "@PAGES@";

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

std::optional<std::string> MirelClockBridge::userScript() const {
    const std::string file = Resources::path("MirelClock.js");
    g_autofree gchar* text = nullptr;
    if (!g_file_get_contents(file.c_str(), &text, nullptr, nullptr)) {
        Log::line("Could not load %s", file.c_str());
        return std::nullopt;
    }
    std::string script = text;
    const std::string pages = json(kApplicationPages).dump();
    for (const auto& [placeholder, value] :
         {std::pair{kTokenPlaceholder, std::string_view(token_)},
          std::pair{kPagesPlaceholder, std::string_view(pages)}}) {
        for (size_t at = script.find(placeholder); at != std::string::npos;
             at = script.find(placeholder, at + value.size())) {
            script.replace(at, placeholder.size(), value);
        }
    }
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
