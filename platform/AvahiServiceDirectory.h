#pragma once

#include <avahi-common/address.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/AvahiClientConnection.h"
#include "platform/AvahiNetService.h"

// What one browser has found. Avahi reports a service once per interface and
// protocol that sees it; Mirel wants one service per name, type and domain,
// shown by the same object from its first sighting until its last one goes.
//
// Thread contract: main thread only.
class AvahiServiceDirectory {
public:
    /// The connection the found services resolve on.
    explicit AvahiServiceDirectory(std::shared_ptr<AvahiClientConnection> connection);

    /// A sighting; the service when this made it visible, null when it already was.
    std::shared_ptr<AvahiNetService> add(AvahiIfIndex interface, AvahiProtocol protocol,
                                         const std::string& name, const std::string& type,
                                         const std::string& domain);
    /// A sighting gone; the service when that was its last one, else null.
    std::shared_ptr<AvahiNetService> remove(AvahiIfIndex interface, AvahiProtocol protocol,
                                            const std::string& name, const std::string& type,
                                            const std::string& domain);
    /// Forgets everything; returns what was visible, in the order it was found.
    std::vector<std::shared_ptr<AvahiNetService>> clear();

private:
    std::vector<std::shared_ptr<AvahiNetService>>::iterator find(const std::string& name,
                                                                 const std::string& type,
                                                                 const std::string& domain);

    std::shared_ptr<AvahiClientConnection> connection_;
    std::vector<std::shared_ptr<AvahiNetService>> services_;  ///< in the order found
};
