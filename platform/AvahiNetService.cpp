#include "platform/AvahiNetService.h"

#include <arpa/inet.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <glib.h>

#include <algorithm>
#include <cmath>

#include "platform/CallbackGuard.h"
#include "platform/Log.h"
#include "platform/MainThread.h"

namespace {

// Each time the name is taken we move to the next alternative; past this many
// something other than a rival copy is answering, and we give up.
constexpr int kMostRenames = 50;

// A service's Avahi objects belong to the main loop, but a copy of its pointer
// may be the last one on another thread (the receiver's notify thread reads the
// subscriptions): such a last release hands the deletion to the main thread.
void deleteOnMainThread(AvahiNetService* service) {
    if (g_main_context_is_owner(g_main_context_default())) {
        delete service;
    } else {
        MainThread::post([service] { delete service; });
    }
}

}  // namespace

std::shared_ptr<AvahiNetService> AvahiNetService::toPublish(
    std::shared_ptr<AvahiClientConnection> connection, std::string domain, std::string type,
    std::string name, int port) {
    return std::shared_ptr<AvahiNetService>(
        new AvahiNetService(std::move(connection), std::move(domain), std::move(type),
                            std::move(name), port),
        deleteOnMainThread);
}

std::shared_ptr<AvahiNetService> AvahiNetService::found(
    std::shared_ptr<AvahiClientConnection> connection, std::string domain, std::string type,
    std::string name) {
    return std::shared_ptr<AvahiNetService>(
        new AvahiNetService(std::move(connection), std::move(domain), std::move(type),
                            std::move(name), -1),
        deleteOnMainThread);
}

AvahiNetService::AvahiNetService(std::shared_ptr<AvahiClientConnection> connection,
                                 std::string domain, std::string type, std::string name, int port)
    : connection_(std::move(connection)),
      domain_(std::move(domain)),
      type_(std::move(type)),
      name_(std::move(name)),
      wantedName_(name_),
      port_(port) {}

AvahiNetService::~AvahiNetService() {
    stop();
}

int AvahiNetService::port() const {
    std::lock_guard lock(resolvedMutex_);
    return port_;
}

std::vector<sockaddr_in> AvahiNetService::addresses() const {
    std::lock_guard lock(resolvedMutex_);
    return addresses_;
}

void AvahiNetService::publish() {
    if (publishing_) return;
    publishing_ = true;
    connection_->attach(this);
}

void AvahiNetService::resolveWithTimeout(double seconds) {
    if (resolving_) endResolving();
    resolving_ = true;
    freshResolution_ = true;
    const double milliseconds = std::isfinite(seconds) ? std::clamp(seconds * 1000.0, 0.0, 1e9) : 0;
    resolveTimeout_ = g_timeout_add_full(G_PRIORITY_DEFAULT, guint(milliseconds),
                                         &AvahiNetService::resolveTimeoutTrampoline, this, nullptr);
    connection_->attach(this);
}

void AvahiNetService::stop() {
    if (publishing_) {
        publishing_ = false;
        // Freeing the group withdraws the service from the network.
        if (group_ != nullptr) avahi_entry_group_free(group_);
        group_ = nullptr;
    }
    if (resolving_) endResolving();
    detachWhenIdle();
}

void AvahiNetService::seenOn(AvahiIfIndex interface, AvahiProtocol protocol) {
    const auto where = std::make_pair(interface, protocol);
    if (std::find(seenOn_.begin(), seenOn_.end(), where) == seenOn_.end()) seenOn_.push_back(where);
}

bool AvahiNetService::unseenOn(AvahiIfIndex interface, AvahiProtocol protocol) {
    const auto where = std::make_pair(interface, protocol);
    seenOn_.erase(std::remove(seenOn_.begin(), seenOn_.end(), where), seenOn_.end());
    return seenOn_.empty();
}

void AvahiNetService::avahiClientRunning(AvahiClient* client) {
    if (publishing_) announce(client);
    if (resolving_ && !resolversStarted_) startResolvers(client);
}

void AvahiNetService::avahiClientSuspended() {
    // Avahi's rule while the host name is being (re)registered: take our
    // records back, and add them again once the daemon runs.
    if (group_ != nullptr) avahi_entry_group_reset(group_);
}

void AvahiNetService::avahiClientLost() {
    group_ = nullptr;
    resolvers_.clear();
    if (resolving_) endResolving();
}

void AvahiNetService::detachWhenIdle() {
    if (!publishing_ && !resolving_) connection_->detach(this);
}

// ---- publishing

void AvahiNetService::announce(AvahiClient* client) {
    if (group_ == nullptr) {
        group_ = avahi_entry_group_new(client, &AvahiNetService::groupTrampoline, this);
        if (group_ == nullptr) {
            publicationFailed(avahi_client_errno(client));
            return;
        }
        // A new client may find our own name free again.
        name_ = wantedName_;
    }
    if (avahi_entry_group_is_empty(group_)) addToGroup();
}

void AvahiNetService::addToGroup() {
    const std::string type = withoutFinalDot(type_);
    const std::string domain = withoutFinalDot(domain_);
    for (int attempt = 0; attempt < kMostRenames; ++attempt) {
        int result = avahi_entry_group_add_service(
            group_, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET, AvahiPublishFlags(0), name_.c_str(),
            type.c_str(), domainOrDefault(domain), nullptr, uint16_t(port()), nullptr);
        // Another service on this very daemon holds the name.
        if (result == AVAHI_ERR_COLLISION) {
            takeAlternativeName();
            continue;
        }
        if (result == AVAHI_OK) result = avahi_entry_group_commit(group_);
        if (result != AVAHI_OK) publicationFailed(result);
        return;
    }
    publicationFailed(AVAHI_ERR_COLLISION);
}

void AvahiNetService::takeAlternativeName() {
    char* alternative = avahi_alternative_service_name(name_.c_str());
    Log::line("DNS-SD name \"%s\" is taken; publishing as \"%s\"", name_.c_str(), alternative);
    name_ = alternative;
    avahi_free(alternative);
}

void AvahiNetService::groupTrampoline(AvahiEntryGroup* group, AvahiEntryGroupState state,
                                      void* self) {
    runGuarded("DNS-SD publication",
               [&] { static_cast<AvahiNetService*>(self)->groupStateChanged(group, state); });
}

void AvahiNetService::groupStateChanged(AvahiEntryGroup* group, AvahiEntryGroupState state) {
    switch (state) {
        case AVAHI_ENTRY_GROUP_COLLISION:
            // Another host on the network answers to the name.
            takeAlternativeName();
            avahi_entry_group_reset(group);
            addToGroup();
            break;
        case AVAHI_ENTRY_GROUP_FAILURE:
            publicationFailed(avahi_client_errno(avahi_entry_group_get_client(group)));
            break;
        case AVAHI_ENTRY_GROUP_UNCOMMITED:
        case AVAHI_ENTRY_GROUP_REGISTERING:
        case AVAHI_ENTRY_GROUP_ESTABLISHED:
            break;
    }
}

// The outcome of publishing is not observed by our callers, so a failure ends
// as a log line; the service is announced again when the client reconnects.
void AvahiNetService::publicationFailed(int error) {
    Log::line("Could not publish \"%s\" over DNS-SD: %s", name_.c_str(), avahi_strerror(error));
}

// ---- resolving

void AvahiNetService::startResolvers(AvahiClient* client) {
    resolversStarted_ = true;
    const std::string type = withoutFinalDot(type_);
    const std::string domain = withoutFinalDot(domain_);
    auto start = [&](AvahiIfIndex interface, AvahiProtocol protocol) {
        AvahiServiceResolver* resolver = avahi_service_resolver_new(
            client, interface, protocol, name_.c_str(), type.c_str(), domainOrDefault(domain),
            AVAHI_PROTO_INET, AvahiLookupFlags(0), &AvahiNetService::resolverTrampoline, this);
        if (resolver != nullptr) resolvers_.push_back(resolver);
    };
    // A found service is asked on every interface that sees it, so that each
    // contributes its address; one we made ourselves is asked anywhere.
    if (seenOn_.empty()) {
        start(AVAHI_IF_UNSPEC, AVAHI_PROTO_INET);
    } else {
        for (const auto& [interface, protocol] : seenOn_) start(interface, protocol);
    }
    if (resolvers_.empty()) endResolving();
}

void AvahiNetService::resolverTrampoline(AvahiServiceResolver* resolver, AvahiIfIndex,
                                         AvahiProtocol, AvahiResolverEvent event, const char*,
                                         const char*, const char*, const char*,
                                         const AvahiAddress* address, uint16_t port,
                                         AvahiStringList*, AvahiLookupResultFlags, void* self) {
    runGuarded("DNS-SD resolution", [&] {
        static_cast<AvahiNetService*>(self)->resolved(resolver, event, address, port);
    });
}

void AvahiNetService::resolved(AvahiServiceResolver* resolver, AvahiResolverEvent event,
                               const AvahiAddress* address, uint16_t port) {
    // One answer per interface is all we want; a failure (the service went
    // away, or the daemon gave up) leaves port and addresses as they were.
    resolvers_.erase(std::remove(resolvers_.begin(), resolvers_.end(), resolver), resolvers_.end());
    avahi_service_resolver_free(resolver);
    if (event == AVAHI_RESOLVER_FOUND && address != nullptr && address->proto == AVAHI_PROTO_INET) {
        sockaddr_in found{};
        found.sin_family = AF_INET;
        found.sin_port = htons(port);
        found.sin_addr.s_addr = address->data.ipv4.address;  // already in network order
        std::lock_guard lock(resolvedMutex_);
        if (freshResolution_) addresses_.clear();
        freshResolution_ = false;
        const bool known = std::any_of(addresses_.begin(), addresses_.end(), [&](const auto& a) {
            return a.sin_addr.s_addr == found.sin_addr.s_addr && a.sin_port == found.sin_port;
        });
        if (!known) addresses_.push_back(found);
        port_ = port;
    }
    if (resolvers_.empty()) endResolving();
}

int AvahiNetService::resolveTimeoutTrampoline(void* self) {
    auto* service = static_cast<AvahiNetService*>(self);
    service->resolveTimeout_ = 0;
    runGuarded("DNS-SD resolution", [service] { service->endResolving(); });
    return G_SOURCE_REMOVE;
}

void AvahiNetService::endResolving() {
    if (resolveTimeout_ != 0) g_source_remove(resolveTimeout_);
    resolveTimeout_ = 0;
    for (AvahiServiceResolver* resolver : resolvers_) avahi_service_resolver_free(resolver);
    resolvers_.clear();
    resolving_ = false;
    resolversStarted_ = false;
    detachWhenIdle();
}
