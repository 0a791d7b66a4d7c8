#include "app/TimecodeInputList.h"

#include <glib.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <utility>

#include "audio/AudioInputDevices.h"
#include "routing/TimecodeController.h"

namespace {

constexpr const char* kDefaultAudioInput = "Built-in Input (2)";

// "u", "n", "i" in that order, no white space. Device names are whatever the
// audio system reports: bytes that are not UTF-8 become U+FFFD rather than
// costing the whole list.
std::string entry(const std::string& url, const std::string& name, const char* kind) {
    const nlohmann::ordered_json object = {{"u", url}, {"n", name}, {"i", kind}};
    return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

TimecodeInputList::TimecodeInputList(TimecodeController& controller, MovieName movieName,
                                     UserDefaultsController& settings)
    : controller_(controller), movieName_(std::move(movieName)), settings_(settings) {}

std::string TimecodeInputList::percentEscaped(const std::string& text) {
    g_autofree gchar* escaped = g_uri_escape_string(text.c_str(), "/", FALSE);
    return escaped;
}

std::vector<std::string> TimecodeInputList::getInputDeviceList() const {
    std::vector<std::string> entries;
    const AudioInputDevices devices;
    for (int32_t d = 0; d < devices.getDevicesCount(); ++d) {
        if (devices.getChannelsInDevice(unsigned(d)) <= 0) continue;
        entries.push_back(entry("mirel://audio/" + std::to_string(d),
                                devices.getDeviceName(unsigned(d)).get(), "audio"));
    }
    for (const std::string& name : networkSourceNames()) {
        entries.push_back(entry("mirel://network/" + percentEscaped(name), name, "network"));
    }
    if (const std::optional<std::string> movie = movieName_ ? movieName_() : std::nullopt) {
        const std::string path = percentEscaped(*movie);
        entries.push_back(entry("mirel://quicktime/" + path, path, "quicktime"));
    }
    return entries;
}

void TimecodeInputList::refreshDevicesList() {
    rebuild(Reconcile::kAudioInput);
}

void TimecodeInputList::refreshAudioInputList() {
    rebuild(Reconcile::kLeaveAlone);
}

void TimecodeInputList::rebuild(Reconcile reconcile) {
    const nlohmann::json sourceType = settings_.valueForKeyPath("values.sourceType");
    const bool reconciling = reconcile == Reconcile::kAudioInput;
    const std::optional<std::string> current = audioInput();
    if (sourceType == "Audio Input") {
        const std::vector<std::string> list = audioInputEntries();
        const bool listed = current && std::ranges::find(list, *current) != list.end();
        if (reconciling && !listed) settings_.setObjectForKey(kDefaultAudioInput, "audioInput");
        storeList(list);
    } else if (sourceType == "Audio Output") {
        if (reconciling) settings_.setObjectForKey("", "audioInput");
        storeList({});
    } else if (sourceType == "Network") {
        const bool network = current && current->starts_with("mirel:");
        if (reconciling && !network) settings_.setObjectForKey("", "audioInput");
        storeList(networkSourceNames());
    } else {
        storeList({});
    }
}

std::vector<std::string> TimecodeInputList::audioInputEntries() const {
    std::vector<std::string> list;
    const AudioInputDevices devices;
    for (int32_t d = 0; d < devices.getDevicesCount(); ++d) {
        const int32_t channels = devices.getChannelsInDevice(unsigned(d));
        if (channels <= 0) continue;
        list.push_back(std::string(devices.getDeviceName(unsigned(d)).get()) + " (" +
                       std::to_string(channels) + ")");
    }
    return list;
}

std::vector<std::string> TimecodeInputList::networkSourceNames() const {
    std::vector<std::string> names;
    for (const auto& service : controller_.otherTimecodeSources()) {
        names.push_back(service->name());
    }
    return names;
}

void TimecodeInputList::storeList(const std::vector<std::string>& list) {
    settings_.setObjectForKey(list, "audioInputList");
}

std::optional<std::string> TimecodeInputList::audioInput() const {
    const nlohmann::json value = settings_.valueForKeyPath("values.audioInput");
    if (!value.is_string()) return std::nullopt;
    return value.get<std::string>();
}
