#include "clock/WebClockSharing.h"

#include <arpa/inet.h>
#include <glib.h>
#include <ifaddrs.h>
#include <net/if.h>

#include <charconv>
#include <chrono>

#include "clock/ClockText.h"
#include "platform/Log.h"
#include "routing/TimecodeWrapper.h"

namespace {

using nlohmann::json;

constexpr const char* kShareKeyPath = "values.WebClockShare";
constexpr const char* kPortKeyPath = "values.WebClockPort";
// What the browsers show besides the values, as the clock window does.
constexpr const char* kShownKeyPaths[] = {"values.timecodeRunning", "values.fpsString",
                                          "values.TextColor", "values.fpsDisplay",
                                          "values.userBitsDisplay"};

// The port a setting names: a whole number from 1 to 65535, as a number or as text.
std::optional<int> portFrom(const json& value) {
    if (value.is_null()) return WebClockSharing::kDefaultPort;
    long long port = 0;
    if (value.is_number_integer()) {
        port = value.get<long long>();
    } else if (value.is_string()) {
        const std::string& text = value.get_ref<const std::string&>();
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
        if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    } else {
        return std::nullopt;
    }
    if (port < 1 || port > 65535) return std::nullopt;
    return int(port);
}

// The name a browser on the local network can reach this machine by.
std::string hostName() {
    std::string host = g_get_host_name();
    return host.substr(0, host.find('.'));
}

}  // namespace

WebClockSharing::WebClockSharing(TimecodeListeners& values, UserDefaultsController& settings)
    : values_(values), settings_(settings) {
    values_.listen(*this);
    settings_.addObserver(*this, kShareKeyPath);
    settings_.addObserver(*this, kPortKeyPath);
    for (const char* keyPath : kShownKeyPaths) settings_.addObserver(*this, keyPath);
    refreshAll();
}

WebClockSharing::~WebClockSharing() {
    values_.stopListening(*this);
    settings_.removeObserver(*this, kShareKeyPath);
    settings_.removeObserver(*this, kPortKeyPath);
    for (const char* keyPath : kShownKeyPaths) settings_.removeObserver(*this, keyPath);
    stopSharing();
}

void WebClockSharing::receiveTimecode(const TimecodeWrapper& wrapper) {
    const SMPTE_tc& tc = *wrapper.timecode();
    state_["h"] = twoDigits(tc.h());
    state_["m"] = twoDigits(tc.m());
    state_["s"] = twoDigits(tc.s());
    state_["f"] = twoDigits(tc.f());
    state_["u"] = userBitsText(tc);
    // When the value was accepted, in milliseconds of the wall clock: how late
    // a browser shows it can be measured where it arrives.
    state_["t"] = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
    publish();
}

void WebClockSharing::observeValueForKeyPath(const std::optional<std::string>& keyPath) {
    const auto is = [&](const char* path) { return !keyPath || *keyPath == path; };
    if (is(kShareKeyPath) || is(kPortKeyPath)) share();
    state_["r"] = settings_.textForKey("timecodeRunning");
    state_["fps"] = settings_.textForKey("fpsString");
    state_["color"] = settings_.textForKey("TextColor");
    state_["stats"] = settings_.textForKey("fpsDisplay") != "0";
    state_["userBits"] = settings_.textForKey("userBitsDisplay") == "1";
    publish();
}

void WebClockSharing::share() {
    const bool wanted = settings_.valueForKeyPath(kShareKeyPath) == "1" ||
                        settings_.valueForKeyPath(kShareKeyPath) == true;
    if (!wanted) {
        if (server_ != nullptr || !failure_.empty())
            Log::line("Stopped sharing the clock with browsers");
        stopSharing();
        failure_.clear();
        writeStatus();
        return;
    }
    const json portSetting = settings_.valueForKeyPath(kPortKeyPath);
    const std::optional<int> port = portFrom(portSetting);
    if (server_ != nullptr && port == sharedPort_) return;
    stopSharing();
    failure_.clear();
    if (!port) {
        failure_ = "WebClockPort " + portSetting.dump() + " is not a port (1 to 65535)";
    } else {
        std::string error;
        server_ = WebClockServer::start(*port, error);
        if (server_ == nullptr) failure_ = error;
    }
    if (!failure_.empty()) {
        Log::line("Cannot share the clock with browsers: %s", failure_.c_str());
        writeStatus();
        return;
    }
    sharedPort_ = port;
    advertisement_ = netServices().makeService("", "_http._tcp", "Mirel clock on " + hostName(),
                                               server_->port());
    advertisement_->publish();
    const std::vector<std::string> addresses = addressesFor(server_->port());
    Log::line("Sharing the clock with browsers at %s", addresses.front().c_str());
    writeStatus();
    publish();
}

void WebClockSharing::stopSharing() {
    if (advertisement_ != nullptr) advertisement_->stop();
    advertisement_.reset();
    server_.reset();
    sharedPort_.reset();
}

void WebClockSharing::writeStatus() {
    json status = {{"state", server_ != nullptr ? "on" : failure_.empty() ? "off" : "failed"}};
    if (server_ != nullptr) {
        status["port"] = server_->port();
        status["addresses"] = addressesFor(server_->port());
    }
    if (!failure_.empty()) status["error"] = failure_;
    settings_.setObjectForKey(status, "WebClockStatus");
}

void WebClockSharing::publish() {
    if (server_ != nullptr) server_->publish(state_.dump());
}

std::vector<std::string> WebClockSharing::addressesFor(int port) {
    std::string suffix = ":";
    suffix += std::to_string(port);
    suffix += '/';
    std::vector<std::string> addresses = {"http://" + hostName() + ".local" + suffix};
    ifaddrs* interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0) return addresses;
    for (const ifaddrs* i = interfaces; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET ||
            (i->ifa_flags & IFF_UP) == 0 || (i->ifa_flags & IFF_LOOPBACK) != 0) {
            continue;
        }
        char text[INET_ADDRSTRLEN] = {};
        const auto* address = reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
        if (inet_ntop(AF_INET, &address->sin_addr, text, sizeof text) != nullptr) {
            addresses.push_back("http://" + std::string(text) + suffix);
        }
    }
    freeifaddrs(interfaces);
    return addresses;
}
