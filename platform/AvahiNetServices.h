#pragma once

#include <chrono>
#include <memory>

#include "platform/AvahiClientConnection.h"
#include "platform/NetService.h"

// Mirel's DNS-SD on Avahi. Every service and browser it makes shares one
// client, started when the first of them needs it, and keeps that client
// alive for as long as any of them lives.
//
// Thread contract: main thread only.
class AvahiNetServices final : public NetServices {
public:
    /// `retryInterval`: how often to look for a bus when there is none.
    explicit AvahiNetServices(
        std::chrono::milliseconds retryInterval = std::chrono::milliseconds(3000));

    std::shared_ptr<NetService> makeService(const std::string& domain, const std::string& type,
                                            const std::string& name, int port) override;
    std::unique_ptr<NetServiceBrowser> makeBrowser() override;

private:
    std::shared_ptr<AvahiClientConnection> connection_;
};
