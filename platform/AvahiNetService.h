#pragma once

#include <avahi-client/lookup.h>
#include <avahi-client/publish.h>

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/AvahiClientConnection.h"
#include "platform/NetService.h"

// One DNS-SD service on Avahi: either ours, made to be published, or one that
// a browser found, to be resolved. Both kinds outlive the daemon: a published
// service is announced again whenever the daemon comes back, and takes the
// alternative name Avahi proposes ("name #2") while another holds its own.
//
// Thread contract: main thread, except port() and addresses(), which any
// thread may read while the main thread resolves. The last reference may be
// dropped on any thread: the service is then deleted on the main thread.
class AvahiNetService final : public NetService, private AvahiClientConnection::User {
public:
    /// Ours, to publish under `name` in `domain` (empty: the default domains).
    static std::shared_ptr<AvahiNetService> toPublish(
        std::shared_ptr<AvahiClientConnection> connection, std::string domain, std::string type,
        std::string name, int port);
    /// Found by a browser; its port is -1 until resolved.
    static std::shared_ptr<AvahiNetService> found(std::shared_ptr<AvahiClientConnection> connection,
                                                  std::string domain, std::string type,
                                                  std::string name);

    ~AvahiNetService() override;

    std::string name() const override { return name_; }
    std::string type() const override { return type_; }
    std::string domain() const override { return domain_; }
    int port() const override;
    std::vector<sockaddr_in> addresses() const override;

    void publish() override;
    void resolveWithTimeout(double seconds) override;
    void stop() override;

    /// For the browser: the service was seen, or is no longer seen, on one
    /// interface and protocol. Resolving asks each interface it is seen on.
    void seenOn(AvahiIfIndex interface, AvahiProtocol protocol);
    /// True when no interface sees it any more.
    bool unseenOn(AvahiIfIndex interface, AvahiProtocol protocol);

private:
    AvahiNetService(std::shared_ptr<AvahiClientConnection> connection, std::string domain,
                    std::string type, std::string name, int port);

    void avahiClientRunning(AvahiClient* client) override;
    void avahiClientSuspended() override;
    void avahiClientLost() override;

    static void groupTrampoline(AvahiEntryGroup* group, AvahiEntryGroupState state, void* self);
    static void resolverTrampoline(AvahiServiceResolver* resolver, AvahiIfIndex interface,
                                   AvahiProtocol protocol, AvahiResolverEvent event,
                                   const char* name, const char* type, const char* domain,
                                   const char* host, const AvahiAddress* address, uint16_t port,
                                   AvahiStringList* txt, AvahiLookupResultFlags flags, void* self);
    static int resolveTimeoutTrampoline(void* self);

    void announce(AvahiClient* client);
    void addToGroup();
    void takeAlternativeName();
    void groupStateChanged(AvahiEntryGroup* group, AvahiEntryGroupState state);
    void publicationFailed(int error);
    void startResolvers(AvahiClient* client);
    void resolved(AvahiServiceResolver* resolver, AvahiResolverEvent event,
                  const AvahiAddress* address, uint16_t port);
    void endResolving();
    void detachWhenIdle();

    std::shared_ptr<AvahiClientConnection> connection_;
    std::string domain_;
    std::string type_;
    std::string name_;        ///< the published name, renamed on collision
    std::string wantedName_;  ///< the name we were made with, tried first at every announcement
    std::vector<std::pair<AvahiIfIndex, AvahiProtocol>> seenOn_;

    bool publishing_ = false;
    AvahiEntryGroup* group_ = nullptr;  ///< made on the current client, else null

    bool resolving_ = false;
    bool resolversStarted_ = false;
    bool freshResolution_ =
        false;  ///< the next answer replaces the addresses of the last resolution
    unsigned resolveTimeout_ = 0;
    std::vector<AvahiServiceResolver*> resolvers_;  ///< on the current client, still unanswered

    mutable std::mutex resolvedMutex_;  ///< port_ and addresses_ are read off the main thread
    int port_;
    std::vector<sockaddr_in> addresses_;
};
