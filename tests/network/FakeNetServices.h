#pragma once

// DNS-SD of plain data, installed while it exists: services the test resolves, browsers that
// report what it says, what was published. Only port() and addresses() are read off-thread.

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "UdpPeer.h"
#include "platform/NetService.h"

class FakeNetService : public NetService {
public:
    FakeNetService(std::string name, std::string type = "_mirel._udp.", int port = -1)
        : name_(std::move(name)), type_(std::move(type)), port_(port) {}

    std::string name() const override { return name_; }
    std::string type() const override { return type_; }
    std::string domain() const override { return ""; }
    int port() const override {
        std::lock_guard lock(mutex_);
        return port_;
    }
    std::vector<sockaddr_in> addresses() const override {
        std::lock_guard lock(mutex_);
        return addresses_;
    }
    void publish() override { ++publishes; }
    void resolveWithTimeout(double seconds) override { resolveTimeouts.push_back(seconds); }
    void stop() override { ++stops; }

    /// What a successful resolution shows; the notify thread may be reading.
    void resolve(int port, std::vector<sockaddr_in> addresses) {
        std::lock_guard lock(mutex_);
        port_ = port;
        addresses_ = std::move(addresses);
    }
    void resolveToLoopback(int port) { resolve(port, {UdpPeer::loopback(port)}); }

    int publishes = 0;
    int stops = 0;
    std::vector<double> resolveTimeouts;

private:
    std::string name_;
    std::string type_;
    mutable std::mutex mutex_;
    int port_;
    std::vector<sockaddr_in> addresses_;
};

class FakeNetServiceBrowser : public NetServiceBrowser {
public:
    void setDelegate(NetServiceBrowserDelegate* d) override { delegate = d; }
    void searchForServicesOfType(const std::string&, const std::string&) override {}
    void stop() override {}

    void find(const std::shared_ptr<NetService>& service, bool moreComing = false) {
        if (delegate) delegate->netServiceBrowserDidFindService(*this, service, moreComing);
    }
    void remove(const std::shared_ptr<NetService>& service, bool moreComing = false) {
        if (delegate) delegate->netServiceBrowserDidRemoveService(*this, service, moreComing);
    }

    NetServiceBrowserDelegate* delegate = nullptr;
};

class FakeNetServices : public NetServices {
public:
    FakeNetServices() { setNetServices(this); }
    ~FakeNetServices() override { setNetServices(nullptr); }

    std::shared_ptr<NetService> makeService(const std::string&, const std::string& type,
                                            const std::string& name, int port) override {
        made.push_back(std::make_shared<FakeNetService>(name, type, port));
        return made.back();
    }
    std::unique_ptr<NetServiceBrowser> makeBrowser() override {
        auto browser = std::make_unique<FakeNetServiceBrowser>();
        browsers.push_back(browser.get());
        return browser;
    }

    std::vector<std::shared_ptr<FakeNetService>> made;  ///< for publishing, in order
    std::vector<FakeNetServiceBrowser*> browsers;  ///< each lives as long as its owner keeps it
};
