#include "platform/AvahiNetServiceBrowser.h"

#include <avahi-common/error.h>
#include <glib.h>

#include <utility>

#include "platform/CallbackGuard.h"
#include "platform/Log.h"

AvahiNetServiceBrowser::AvahiNetServiceBrowser(std::shared_ptr<AvahiClientConnection> connection)
    : connection_(std::move(connection)), directory_(connection_) {}

AvahiNetServiceBrowser::~AvahiNetServiceBrowser() {
    stop();
}

void AvahiNetServiceBrowser::searchForServicesOfType(const std::string& type,
                                                     const std::string& domain) {
    stop();
    type_ = withoutFinalDot(type);
    domain_ = withoutFinalDot(domain);
    searching_ = true;
    connection_->attach(this);
}

void AvahiNetServiceBrowser::stop() {
    ++search_;
    searching_ = false;
    connection_->detach(this);
    if (browser_ != nullptr) avahi_service_browser_free(browser_);
    browser_ = nullptr;
    directory_.clear();
    pending_.clear();
    if (deliverySource_ != 0) g_source_remove(deliverySource_);
    deliverySource_ = 0;
}

void AvahiNetServiceBrowser::avahiClientRunning(AvahiClient* client) {
    if (!searching_ || browser_ != nullptr) return;
    browser_ = avahi_service_browser_new(client, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET, type_.c_str(),
                                         domainOrDefault(domain_), AvahiLookupFlags(0),
                                         &AvahiNetServiceBrowser::browseTrampoline, this);
    if (browser_ == nullptr)
        Log::line("Could not browse DNS-SD for %s: %s", type_.c_str(),
                  avahi_strerror(avahi_client_errno(client)));
}

void AvahiNetServiceBrowser::avahiClientLost() {
    browser_ = nullptr;
    dropEverything();
}

void AvahiNetServiceBrowser::dropEverything() {
    for (auto& service : directory_.clear()) queue(false, std::move(service));
}

void AvahiNetServiceBrowser::browseTrampoline(AvahiServiceBrowser* browser, AvahiIfIndex interface,
                                              AvahiProtocol protocol, AvahiBrowserEvent event,
                                              const char* name, const char* type,
                                              const char* domain, AvahiLookupResultFlags,
                                              void* self) {
    runGuarded("DNS-SD browsing", [&] {
        static_cast<AvahiNetServiceBrowser*>(self)->browsed(browser, event, interface, protocol,
                                                            name, type, domain);
    });
}

void AvahiNetServiceBrowser::browsed(AvahiServiceBrowser* browser, AvahiBrowserEvent event,
                                     AvahiIfIndex interface, AvahiProtocol protocol,
                                     const char* name, const char* type, const char* domain) {
    switch (event) {
        case AVAHI_BROWSER_NEW:
            if (auto service = directory_.add(interface, protocol, name, type, domain))
                queue(true, std::move(service));
            break;
        case AVAHI_BROWSER_REMOVE:
            if (auto service = directory_.remove(interface, protocol, name, type, domain))
                queue(false, std::move(service));
            break;
        case AVAHI_BROWSER_FAILURE:
            // The browser is dead; what it found can no longer be followed. A
            // new one is made when the client next reconnects.
            Log::line(
                "DNS-SD browsing for %s failed: %s", type_.c_str(),
                avahi_strerror(avahi_client_errno(avahi_service_browser_get_client(browser))));
            avahi_service_browser_free(browser);
            browser_ = nullptr;
            dropEverything();
            break;
        case AVAHI_BROWSER_ALL_FOR_NOW:
        case AVAHI_BROWSER_CACHE_EXHAUSTED:
            break;
    }
}

void AvahiNetServiceBrowser::queue(bool found, std::shared_ptr<NetService> service) {
    pending_.push_back({found, std::move(service)});
    // Idle priority: the notices wait until the loop has dispatched whatever
    // else Avahi has already sent, so one burst is delivered as one batch.
    if (deliverySource_ == 0)
        deliverySource_ = g_idle_add_full(
            G_PRIORITY_DEFAULT_IDLE, &AvahiNetServiceBrowser::deliverTrampoline, this, nullptr);
}

int AvahiNetServiceBrowser::deliverTrampoline(void* self) {
    auto* browser = static_cast<AvahiNetServiceBrowser*>(self);
    browser->deliverySource_ = 0;
    runGuarded("DNS-SD browsing", [browser] { browser->deliver(); });
    return G_SOURCE_REMOVE;
}

void AvahiNetServiceBrowser::deliver() {
    std::deque<Notice> batch;
    batch.swap(pending_);
    const std::weak_ptr<char> alive = alive_;
    const uint64_t search = search_;
    while (!batch.empty()) {
        const Notice notice = std::move(batch.front());
        batch.pop_front();
        if (delegate_ == nullptr) continue;
        const bool moreComing = !batch.empty();
        if (notice.found)
            delegate_->netServiceBrowserDidFindService(*this, notice.service, moreComing);
        else
            delegate_->netServiceBrowserDidRemoveService(*this, notice.service, moreComing);
        // The delegate may have destroyed or stopped us.
        if (alive.expired() || search != search_) return;
    }
}
