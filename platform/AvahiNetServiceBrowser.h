#pragma once

#include <avahi-client/lookup.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "platform/AvahiClientConnection.h"
#include "platform/AvahiServiceDirectory.h"
#include "platform/NetService.h"

// Browses one service type on Avahi, IPv4 only. The delegate hears of each
// service once however many interfaces report it. Notices are handed over from
// the main loop once Avahi has nothing more queued, so that the more-coming
// flag is true exactly while notices of the same burst follow. When the daemon
// goes away every service it had reported is reported removed (Avahi itself
// says nothing then); when it is back, browsing resumes and they are found
// anew, as new objects.
//
// Thread contract: main thread only; the delegate is called there. The
// delegate may stop or destroy the browser from within its calls.
class AvahiNetServiceBrowser final : public NetServiceBrowser, private AvahiClientConnection::User {
public:
    explicit AvahiNetServiceBrowser(std::shared_ptr<AvahiClientConnection> connection);
    ~AvahiNetServiceBrowser() override;

    AvahiNetServiceBrowser(const AvahiNetServiceBrowser&) = delete;
    AvahiNetServiceBrowser& operator=(const AvahiNetServiceBrowser&) = delete;

    void setDelegate(NetServiceBrowserDelegate* delegate) override { delegate_ = delegate; }
    void searchForServicesOfType(const std::string& type, const std::string& domain) override;
    /// Ends the search; what was found is forgotten without notices.
    void stop() override;

private:
    struct Notice {
        bool found;  ///< else removed
        std::shared_ptr<NetService> service;
    };

    void avahiClientRunning(AvahiClient* client) override;
    void avahiClientLost() override;

    static void browseTrampoline(AvahiServiceBrowser* browser, AvahiIfIndex interface,
                                 AvahiProtocol protocol, AvahiBrowserEvent event, const char* name,
                                 const char* type, const char* domain, AvahiLookupResultFlags flags,
                                 void* self);
    static int deliverTrampoline(void* self);

    void browsed(AvahiServiceBrowser* browser, AvahiBrowserEvent event, AvahiIfIndex interface,
                 AvahiProtocol protocol, const char* name, const char* type, const char* domain);
    void dropEverything();
    void queue(bool found, std::shared_ptr<NetService> service);
    void deliver();

    std::shared_ptr<AvahiClientConnection> connection_;
    NetServiceBrowserDelegate* delegate_ = nullptr;
    std::string type_;
    std::string domain_;
    bool searching_ = false;
    AvahiServiceBrowser* browser_ = nullptr;  ///< made on the current client, else null
    AvahiServiceDirectory directory_;
    std::deque<Notice> pending_;
    unsigned deliverySource_ = 0;
    uint64_t search_ = 0;  ///< counts searches, so that stop() ends a delivery
    std::shared_ptr<char> alive_ =
        std::make_shared<char>();  ///< expires when the browser is destroyed
};
