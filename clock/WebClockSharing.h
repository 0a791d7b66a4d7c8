#pragma once

#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "clock/WebClockServer.h"
#include "platform/NetService.h"
#include "platform/SettingsObserver.h"
#include "platform/UserDefaultsController.h"
#include "routing/TimecodeControllerListener.h"

// Shares the clock with the browsers of the network while the setting
// "WebClockShare" is "1": the browser clock's server on the port the setting
// "WebClockPort" gives (8470 when unset), advertised over DNS-SD as
// "_http._tcp" under the name "Mirel clock on HOST", fed with every value the
// controller accepts and with the status, frame rate and look the clock
// window shows.
//
// What came of it is kept in the setting "WebClockStatus", for the
// preferences page: {"state": "off" | "on" | "failed", "port": N,
// "addresses": [the addresses to type], "error": the reason it failed}. A
// port that is taken or is no port gets a log line and the state "failed";
// the switch stays on, so that a change of port tries again.
//
// Thread contract: main thread.
class WebClockSharing final : public TimecodeControllerListener, public SettingsObserver {
public:
    static constexpr int kDefaultPort = 8470;

    WebClockSharing(TimecodeListeners& values, UserDefaultsController& settings);
    ~WebClockSharing();

    WebClockSharing(const WebClockSharing&) = delete;
    WebClockSharing& operator=(const WebClockSharing&) = delete;

    void receiveTimecode(const TimecodeWrapper& wrapper) override;
    void observeValueForKeyPath(const std::optional<std::string>& keyPath) override;

    bool isSharing() const { return server_ != nullptr; }
    /// Why sharing failed; empty while it is off or on.
    const std::string& failure() const { return failure_; }
    /// The server, while sharing.
    const WebClockServer* server() const { return server_.get(); }
    /// What the browsers are sent next.
    const nlohmann::json& state() const { return state_; }

    /// The addresses a browser on the network can use for `port`: the host's
    /// DNS-SD name, then each IPv4 address of an interface that is up.
    static std::vector<std::string> addressesFor(int port);

private:
    void share();
    void stopSharing();
    void writeStatus();
    void publish();

    TimecodeListeners& values_;
    UserDefaultsController& settings_;
    std::unique_ptr<WebClockServer> server_;
    std::shared_ptr<NetService> advertisement_;
    std::optional<int> sharedPort_;  ///< the port asked for when the server was started
    std::string failure_;
    nlohmann::json state_ = nlohmann::json::object();  ///< what the clients are sent
};
