#include "platform/AvahiNetServices.h"

#include "platform/AvahiNetService.h"
#include "platform/AvahiNetServiceBrowser.h"

AvahiNetServices::AvahiNetServices(std::chrono::milliseconds retryInterval)
    : connection_(std::make_shared<AvahiClientConnection>(retryInterval)) {}

std::shared_ptr<NetService> AvahiNetServices::makeService(const std::string& domain,
                                                          const std::string& type,
                                                          const std::string& name, int port) {
    return AvahiNetService::toPublish(connection_, domain, type, name, port);
}

std::unique_ptr<NetServiceBrowser> AvahiNetServices::makeBrowser() {
    return std::make_unique<AvahiNetServiceBrowser>(connection_);
}
