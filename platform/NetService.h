#pragma once

#include <netinet/in.h>

#include <memory>
#include <string>
#include <vector>

// DNS-SD as Mirel uses it: publish a name, type and port in the default
// domain; browse a type and hear of services found and removed; resolve a
// found service to its port and IPv4 addresses. The process's implementation
// is Avahi's; tests install fakes with setNetServices().
//
// Thread contract: everything on the main thread, except port() and
// addresses(), which any thread may read (the receiver's notify thread does).

class NetService {
public:
    virtual ~NetService() = default;

    virtual std::string name() const = 0;
    virtual std::string type() const = 0;
    virtual std::string domain() const = 0;
    /// The published or resolved port; -1 until a found service is resolved. Any thread.
    virtual int port() const = 0;
    /// The resolved IPv4 addresses with the resolved port; empty until resolved. Any thread.
    virtual std::vector<sockaddr_in> addresses() const = 0;

    /// Announces a service made by NetServices::makeService.
    virtual void publish() = 0;
    /// Resolves a found service; the result shows in port() and addresses().
    virtual void resolveWithTimeout(double seconds) = 0;
    /// Withdraws a published service or ends a resolution.
    virtual void stop() = 0;
};

class NetServiceBrowser;

/// Hears what a browser finds. Main thread. The same service is reported by the
/// same object until it is removed, so services compare by pointer.
class NetServiceBrowserDelegate {
public:
    virtual ~NetServiceBrowserDelegate() = default;
    virtual void netServiceBrowserDidFindService(NetServiceBrowser& browser,
                                                 const std::shared_ptr<NetService>& service,
                                                 bool moreComing) = 0;
    virtual void netServiceBrowserDidRemoveService(NetServiceBrowser& browser,
                                                   const std::shared_ptr<NetService>& service,
                                                   bool moreComing) = 0;
};

class NetServiceBrowser {
public:
    virtual ~NetServiceBrowser() = default;
    virtual void setDelegate(NetServiceBrowserDelegate* delegate) = 0;
    /// An empty domain means the default domains.
    virtual void searchForServicesOfType(const std::string& type, const std::string& domain) = 0;
    virtual void stop() = 0;
};

class NetServices {
public:
    virtual ~NetServices() = default;
    /// A service to publish; an empty domain means the default domains.
    virtual std::shared_ptr<NetService> makeService(const std::string& domain,
                                                    const std::string& type,
                                                    const std::string& name, int port) = 0;
    virtual std::unique_ptr<NetServiceBrowser> makeBrowser() = 0;
};

/// The process's DNS-SD: Avahi unless a test has installed another.
NetServices& netServices();
/// Replaces the process's DNS-SD (tests); null restores Avahi.
void setNetServices(NetServices* services);
