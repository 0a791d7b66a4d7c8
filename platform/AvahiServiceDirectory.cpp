#include "platform/AvahiServiceDirectory.h"

#include <algorithm>
#include <utility>

AvahiServiceDirectory::AvahiServiceDirectory(std::shared_ptr<AvahiClientConnection> connection)
    : connection_(std::move(connection)) {}

std::shared_ptr<AvahiNetService> AvahiServiceDirectory::add(AvahiIfIndex interface,
                                                            AvahiProtocol protocol,
                                                            const std::string& name,
                                                            const std::string& type,
                                                            const std::string& domain) {
    if (auto known = find(name, type, domain); known != services_.end()) {
        (*known)->seenOn(interface, protocol);
        return nullptr;
    }
    auto service = AvahiNetService::found(connection_, domain, type, name);
    service->seenOn(interface, protocol);
    services_.push_back(service);
    return service;
}

std::shared_ptr<AvahiNetService> AvahiServiceDirectory::remove(AvahiIfIndex interface,
                                                               AvahiProtocol protocol,
                                                               const std::string& name,
                                                               const std::string& type,
                                                               const std::string& domain) {
    auto known = find(name, type, domain);
    if (known == services_.end() || !(*known)->unseenOn(interface, protocol)) return nullptr;
    std::shared_ptr<AvahiNetService> gone = std::move(*known);
    services_.erase(known);
    return gone;
}

std::vector<std::shared_ptr<AvahiNetService>> AvahiServiceDirectory::clear() {
    return std::exchange(services_, {});
}

std::vector<std::shared_ptr<AvahiNetService>>::iterator AvahiServiceDirectory::find(
    const std::string& name, const std::string& type, const std::string& domain) {
    return std::find_if(services_.begin(), services_.end(), [&](const auto& service) {
        return service->name() == name && service->type() == type && service->domain() == domain;
    });
}
