#include "clock/MirelUrlProtocol.h"

#include <glib.h>

#include <array>
#include <nlohmann/json.hpp>
#include <utility>

#include "platform/LeadingInteger.h"
#include "platform/Log.h"
#include "platform/MainThread.h"
#include "platform/Resources.h"
#include "platform/UserDefaultsController.h"

#ifndef MIREL_JQUERY_BASE_NAME
#error "The build names the jQuery file it puts into html/"
#endif

namespace {

constexpr std::string_view kNetworkPrefix = "mirel://network/";
constexpr std::string_view kQuicktimePrefix = "mirel://quicktime/";
constexpr std::string_view kAudioPrefix = "mirel://audio/";
constexpr std::string_view kNotFoundPrefix = "mirel://404/";
constexpr std::string_view kOnlineHelpPrefix = "mirel:///visitOnlineHelp";
// Where the not-found page names the address it was asked for.
constexpr std::string_view kAddressPlaceholder = "@ADDRESS@";

using PageReader = std::optional<std::string> (*)(std::string_view);

struct Route {
    std::string_view prefix;
    PageReader read;
    std::string_view page;
};

// The routes that only read a file, after the ones that do more; the first
// prefix that matches decides.
const auto kFileRoutes = std::to_array<Route>({
    {"mirel:///welcome", MirelUrlProtocol::getHtml, "welcome"},
    {"mirel:///home", MirelUrlProtocol::getHtml, "home"},
    {"mirel:///preferences", MirelUrlProtocol::getHtml, "preferences"},
    {"mirel:///help", MirelUrlProtocol::getHtml, "help"},
    {"mirel://static/mirel.css", MirelUrlProtocol::getCss, "mirel"},
    {"mirel://static/mirel45.css", MirelUrlProtocol::getCss, "mirel45"},
    {"mirel://static/mirel45t.css", MirelUrlProtocol::getCss, "mirel45t"},
    {"mirel://static/jquery.js", MirelUrlProtocol::getJs, MIREL_JQUERY_BASE_NAME},
    {"mirel://static/inputsource.js", MirelUrlProtocol::getJs, "inputsource"},
    {"mirel://static/clockface.js", MirelUrlProtocol::getJs, "clockface"},
});

struct Image {
    std::string_view address;
    std::string_view name;
};

const auto kImages = std::to_array<Image>({
    {"mirel://static/home.mirel.png", "home.mirel"},
    {"mirel://static/question-mark-icon.png", "question-mark-icon"},
    {"mirel://static/help-icon.png", "help-icon"},
    {"mirel://static/file-icon.png", "file-icon"},
    {"mirel://static/qt-icon.png", "qt-icon"},
    {"mirel://static/mirel4bgd.png", "mirel4bgd"},
    {"mirel://static/LineIn.png", "LineIn"},
    {"mirel://static/NetIn.png", "NetIn"},
    {"mirel://static/QtIn.png", "QtIn"},
    {"mirel://static/HomeArrow.png", "HomeArrow"},
});

std::optional<std::string> readResource(std::string_view page, std::string_view extension) {
    const std::string path =
        Resources::path("html/" + std::string(page) + "." + std::string(extension));
    g_autofree gchar* contents = nullptr;
    gsize length = 0;
    if (!g_file_get_contents(path.c_str(), &contents, &length, nullptr)) return std::nullopt;
    return std::string(contents, length);
}

// The document goes out as "text/html", and a view shown its address parses
// it as a page: names from other machines must not become markup there. In
// JSON text these characters stand only inside strings, where the escapes are
// the same values.
void appendWithoutMarkup(std::string& document, std::string_view json) {
    for (const char c : json) {
        switch (c) {
            case '<':
                document += "\\u003c";
                break;
            case '>':
                document += "\\u003e";
                break;
            case '&':
                document += "\\u0026";
                break;
            default:
                document += c;
        }
    }
}

}  // namespace

MirelUrlProtocol::MirelUrlProtocol(const TimecodeSources& sources, UserDefaultsController& settings,
                                   OpenAddress openAddress)
    : sources_(sources), settings_(settings), openAddress_(std::move(openAddress)) {}

std::optional<std::string> MirelUrlProtocol::startLoading(std::string_view url,
                                                          Loading loading) const {
    if (loading == Loading::kReadOnly && changesState(url)) {
        Log::line(
            "Refused '%.*s': only the clock window's own navigations choose the source "
            "or open the help",
            static_cast<int>(url.size()), url.data());
        return std::nullopt;
    }
    if (auto text = processUrlRequest(url)) return text;
    return processBinaryUrlRequest(url);
}

bool MirelUrlProtocol::changesState(std::string_view url) {
    return url.starts_with(kNetworkPrefix) || url.starts_with(kQuicktimePrefix) ||
           url.starts_with(kAudioPrefix) || url.starts_with(kOnlineHelpPrefix);
}

std::optional<std::string> MirelUrlProtocol::processUrlRequest(std::string_view url) const {
    if (url.starts_with(kNetworkPrefix)) return networkSourcePage(url);
    if (url.starts_with(kQuicktimePrefix)) {
        if (!switchTimecodeSource(url)) return std::nullopt;
        return getTimecodePage();
    }
    if (url.starts_with(kNotFoundPrefix)) return get404(url);
    if (url.starts_with(kAudioPrefix)) {
        switchTimecodeSource(url);
        return getTimecodePage();
    }
    if (url.starts_with("mirel:///json/timecodeinputs/")) return inputListDocument();
    if (url.starts_with(kOnlineHelpPrefix)) {
        openOnlineHelp();
        return getHtml("home");
    }
    for (const Route& route : kFileRoutes) {
        if (url.starts_with(route.prefix)) return route.read(route.page);
    }
    return std::nullopt;
}

std::optional<std::string> MirelUrlProtocol::networkSourcePage(std::string_view url) const {
    const std::optional<std::string> wanted =
        replacePercentEscapes(url.substr(kNetworkPrefix.size()));
    if (!wanted) return std::nullopt;
    for (const std::string& name : sources_.visibleNetworkSourceNames()) {
        if (name.ends_with(*wanted)) {
            switchTimecodeSource(url);
            return getTimecodePage();
        }
    }
    return std::nullopt;
}

std::optional<std::string> MirelUrlProtocol::processBinaryUrlRequest(std::string_view url) const {
    for (const Image& image : kImages) {
        if (url.starts_with(image.address)) return getPng(image.name);
    }
    Log::line("Could not locate '%.*s'", static_cast<int>(url.size()), url.data());
    return std::nullopt;
}

std::optional<std::string> MirelUrlProtocol::getHtml(std::string_view page) {
    return readResource(page, "html");
}

std::optional<std::string> MirelUrlProtocol::getCss(std::string_view page) {
    return readResource(page, "css");
}

std::optional<std::string> MirelUrlProtocol::getJs(std::string_view page) {
    return readResource(page, "js");
}

std::optional<std::string> MirelUrlProtocol::getPng(std::string_view page) {
    return readResource(page, "png");
}

std::optional<std::string> MirelUrlProtocol::getTimecodePage() {
    return getHtml("timecode");
}

std::optional<std::string> MirelUrlProtocol::get404(std::string_view url) {
    // The path of "mirel://404/...", less its first slash. The address it names
    // comes from outside (a failed load), so it goes into the page as text.
    std::string_view path = url.substr(std::min(url.size(), kNotFoundPrefix.size()));
    path = path.substr(0, path.find_first_of("?#"));
    const std::string named = replacePercentEscapes(path).value_or(std::string(path));
    std::optional<std::string> page = getHtml("notfound");
    const size_t at = page ? page->find(kAddressPlaceholder) : std::string::npos;
    if (at == std::string::npos) return std::nullopt;
    g_autofree gchar* escaped =
        g_markup_escape_text(named.c_str(), static_cast<gssize>(named.size()));
    page->replace(at, kAddressPlaceholder.size(), escaped);
    return page;
}

std::string MirelUrlProtocol::inputListDocument() const {
    std::string document;
    document.reserve(1000);
    document += '[';
    const std::vector<std::string> entries = sources_.getInputDeviceList();
    for (size_t i = 0; i < entries.size(); ++i) {
        if (i > 0) document += ',';
        appendWithoutMarkup(document, entries[i]);
    }
    document += ']';
    return document;
}

bool MirelUrlProtocol::switchTimecodeSource(std::string_view url) const {
    if (url.starts_with(kAudioPrefix)) {
        const int index = leadingInteger(url.substr(kAudioPrefix.size()));
        const std::optional<std::string> name = sources_.getAudioNameById(index);
        Log::line("Audio ID: %d - %s", index, name ? name->c_str() : "(null)");
        settings_.setObjectForKey(name ? nlohmann::json(*name) : nlohmann::json(nullptr),
                                  "audioInput");
        return true;
    }
    std::string_view escaped;
    if (url.starts_with(kNetworkPrefix)) {
        escaped = url.substr(kNetworkPrefix.size());
    } else if (url.starts_with(kQuicktimePrefix)) {
        escaped = url.substr(kQuicktimePrefix.size());
    } else {
        return false;
    }
    const std::optional<std::string> name = replacePercentEscapes(escaped);
    if (!name) return false;
    settings_.setObjectForKey(*name, "audioInput");
    return true;
}

void MirelUrlProtocol::openOnlineHelp() const {
    // A copy of the opener travels, so the work does not depend on this server
    // still being there when the main loop gets to it.
    MainThread::post([open = openAddress_] { open(std::string(kOnlineHelpAddress)); });
}

std::optional<std::string> MirelUrlProtocol::replacePercentEscapes(std::string_view text) {
    const std::string escaped(text);
    g_autofree gchar* unescaped = g_uri_unescape_string(escaped.c_str(), nullptr);
    if (unescaped == nullptr) return std::nullopt;
    std::string result = unescaped;
    if (!g_utf8_validate(result.data(), static_cast<gssize>(result.size()), nullptr)) {
        return std::nullopt;
    }
    return result;
}
