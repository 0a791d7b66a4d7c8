// DNS-SD on a real avahi-daemon, private to the test and confined to loopback:
// between processes, without a daemon, across the daemon's death, and with a
// name that is already taken.

#include <arpa/inet.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/AvahiNetServices.h"
#include "platform/LogCapture.h"
#include "platform/NetService.h"
#include "tests/platform/MainLoop.h"
#include "tests/support/DnsSdDaemon.h"

namespace {

const char* const kType = "_mirel._udp.";

struct Notice {
    bool found;
    std::shared_ptr<NetService> service;
    bool moreComing;
};

class Recorder : public NetServiceBrowserDelegate {
public:
    void netServiceBrowserDidFindService(NetServiceBrowser&,
                                         const std::shared_ptr<NetService>& service,
                                         bool moreComing) override {
        notices.push_back({true, service, moreComing});
    }
    void netServiceBrowserDidRemoveService(NetServiceBrowser&,
                                           const std::shared_ptr<NetService>& service,
                                           bool moreComing) override {
        notices.push_back({false, service, moreComing});
    }

    /// The visible service of that name, or null.
    std::shared_ptr<NetService> visible(const std::string& name) const {
        std::shared_ptr<NetService> seen;
        for (const Notice& notice : notices) {
            if (notice.service->name() != name) continue;
            seen = notice.found ? notice.service : nullptr;
        }
        return seen;
    }
    std::shared_ptr<NetService> waitFor(const std::string& name) const {
        runMainLoopUntil([&] { return visible(name) != nullptr; });
        return visible(name);
    }
    bool wasRemoved(const std::shared_ptr<NetService>& service) const {
        for (const Notice& notice : notices)
            if (!notice.found && notice.service == service) return true;
        return false;
    }
    int timesFound(const std::string& name) const {
        int times = 0;
        for (const Notice& notice : notices)
            times += notice.found && notice.service->name() == name;
        return times;
    }

    std::vector<Notice> notices;
};

// Runs the main loop for a while: only to give a fault the chance to show.
void runMainLoopFor(std::chrono::milliseconds time) {
    const auto end = std::chrono::steady_clock::now() + time;
    runMainLoopUntil([&] { return std::chrono::steady_clock::now() > end; });
}

// Another process publishing `name` on `port`; stopped with `signal`.
class Publisher {
public:
    Publisher(const std::string& name, int port) {
        const std::string portText = std::to_string(port);
        char* argv[] = {const_cast<char*>(DNSSD_CHILD), const_cast<char*>(name.c_str()),
                        const_cast<char*>(portText.c_str()), nullptr};
        g_spawn_async(nullptr, argv, nullptr, G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr, &pid_,
                      nullptr);
    }
    ~Publisher() { end(SIGKILL); }
    void end(int signal) {
        if (pid_ <= 0) return;
        kill(pid_, signal);
        waitpid(pid_, nullptr, 0);
        pid_ = 0;
    }

private:
    GPid pid_ = 0;
};

std::vector<std::string> linesContaining(const LogCapture& log, const std::string& text) {
    std::vector<std::string> found;
    for (const std::string& line : log.lines())
        if (line.find(text) != std::string::npos) found.push_back(line);
    return found;
}

TEST(AvahiNetServices, AServiceFromAnotherProcessIsFoundResolvedAndRemovedWhenItGoes) {
    DnsSdDaemon daemon;
    ASSERT_TRUE(daemon.start()) << daemon.error();
    AvahiNetServices dnssd;
    Recorder recorder;
    auto browser = dnssd.makeBrowser();
    browser->setDelegate(&recorder);
    browser->searchForServicesOfType(kType, "");

    const std::string name = "mirel://studio:1/é b";
    Publisher publisher(name, 48123);
    const auto service = recorder.waitFor(name);
    ASSERT_NE(service, nullptr);
    EXPECT_EQ(service->port(), -1);
    EXPECT_TRUE(service->addresses().empty());
    EXPECT_EQ(service->type(), "_mirel._udp");
    EXPECT_EQ(service->domain(), "local");

    // The receiver's notify thread reads while the main thread resolves.
    std::atomic<bool> reading{true};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (reading) {
            // Port and addresses arrive together: once there are addresses the port is known.
            const std::vector<sockaddr_in> addresses = service->addresses();
            const int port = service->port();
            for (const sockaddr_in& address : addresses)
                torn += ntohs(address.sin_port) != 48123 || port != 48123;
        }
    });
    service->resolveWithTimeout(5.0);
    EXPECT_TRUE(runMainLoopUntil([&] { return !service->addresses().empty(); }));
    reading = false;
    reader.join();
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(service->port(), 48123);
    ASSERT_EQ(service->addresses().size(), 1u);
    const sockaddr_in address = service->addresses().front();
    EXPECT_EQ(address.sin_family, AF_INET);
    EXPECT_EQ(ntohl(address.sin_addr.s_addr), INADDR_LOOPBACK);
    EXPECT_EQ(ntohs(address.sin_port), 48123);

    publisher.end(SIGKILL);
    EXPECT_TRUE(runMainLoopUntil([&] { return recorder.wasRemoved(service); }));
    EXPECT_EQ(recorder.timesFound(name), 1);
    // What was resolved stays, for a subscription that outlives its source.
    EXPECT_EQ(service->port(), 48123);
}

TEST(AvahiNetServices, WithABusButNoDaemonItLogsOnceAndPublishesWhenTheDaemonAppears) {
    DnsSdDaemon daemon;
    ASSERT_TRUE(daemon.startBus()) << daemon.error();
    LogCapture log;
    AvahiNetServices dnssd;
    auto ours = dnssd.makeService("", kType, "mirel://late", 4000);
    ours->publish();
    Recorder recorder;
    auto browser = dnssd.makeBrowser();
    browser->setDelegate(&recorder);
    browser->searchForServicesOfType(kType, "");

    ASSERT_TRUE(runMainLoopUntil([&] { return !log.lines().empty(); }));
    runMainLoopFor(std::chrono::milliseconds(1000));
    EXPECT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(linesContaining(log, "DNS-SD not available").size(), 1u);

    ASSERT_TRUE(daemon.startAvahi()) << daemon.error();
    EXPECT_NE(recorder.waitFor("mirel://late"), nullptr);
    EXPECT_EQ(linesContaining(log, "DNS-SD daemon available").size(), 1u);
}

TEST(AvahiNetServices, WithoutEvenABusItKeepsTryingQuietlyUntilTheDaemonAppears) {
    DnsSdDaemon daemon;
    LogCapture log;
    AvahiNetServices dnssd(std::chrono::milliseconds(100));
    auto ours = dnssd.makeService("", kType, "mirel://later", 4001);
    ours->publish();
    Recorder recorder;
    auto browser = dnssd.makeBrowser();
    browser->setDelegate(&recorder);
    browser->searchForServicesOfType(kType, "");

    ASSERT_TRUE(runMainLoopUntil([&] { return !log.lines().empty(); }));
    // Several retries fail meanwhile, without another word.
    runMainLoopFor(std::chrono::milliseconds(1000));
    EXPECT_EQ(log.lines().size(), 1u);

    ASSERT_TRUE(daemon.start()) << daemon.error();
    EXPECT_NE(recorder.waitFor("mirel://later"), nullptr);
}

// Destroys its browser at the first removal it hears of.
class Quitter : public NetServiceBrowserDelegate {
public:
    void netServiceBrowserDidFindService(NetServiceBrowser&, const std::shared_ptr<NetService>&,
                                         bool) override {}
    void netServiceBrowserDidRemoveService(NetServiceBrowser&, const std::shared_ptr<NetService>&,
                                           bool) override {
        browser.reset();
    }
    std::unique_ptr<NetServiceBrowser> browser;
};

TEST(AvahiNetServices, WhenTheDaemonDiesEverythingIsRemovedAndComesBackWithIt) {
    DnsSdDaemon daemon;
    ASSERT_TRUE(daemon.start()) << daemon.error();
    LogCapture log;
    AvahiNetServices dnssd;
    Publisher publisher("mirel://there", 5000);
    auto ours = dnssd.makeService("", kType, "mirel://here", 5001);
    ours->publish();
    Recorder recorder;
    auto browser = dnssd.makeBrowser();
    browser->setDelegate(&recorder);
    browser->searchForServicesOfType(kType, "");
    Quitter quitter;
    quitter.browser = dnssd.makeBrowser();
    quitter.browser->setDelegate(&quitter);
    quitter.browser->searchForServicesOfType(kType, "");
    const auto there = recorder.waitFor("mirel://there");
    const auto here = recorder.waitFor("mirel://here");
    ASSERT_TRUE(there && here);

    daemon.killAvahi();
    ASSERT_TRUE(
        runMainLoopUntil([&] { return recorder.wasRemoved(there) && recorder.wasRemoved(here); }));
    EXPECT_EQ(quitter.browser, nullptr);
    // Both go in one batch: the flag says another follows.
    std::vector<bool> flags;
    for (const Notice& notice : recorder.notices)
        if (!notice.found) flags.push_back(notice.moreComing);
    EXPECT_EQ(flags, (std::vector<bool>{true, false}));
    EXPECT_EQ(linesContaining(log, "DNS-SD not available").size(), 1u);

    ASSERT_TRUE(daemon.restart()) << daemon.error();
    const auto thereAgain = recorder.waitFor("mirel://there");
    const auto hereAgain = recorder.waitFor("mirel://here");
    ASSERT_TRUE(thereAgain && hereAgain);
    EXPECT_NE(thereAgain, there);
    thereAgain->resolveWithTimeout(5.0);
    EXPECT_TRUE(runMainLoopUntil([&] { return thereAgain->port() == 5000; }));
}

TEST(AvahiNetServices, ATakenNameIsPublishedUnderTheNextAlternativeUntilStopped) {
    DnsSdDaemon daemon;
    ASSERT_TRUE(daemon.start()) << daemon.error();
    LogCapture log;
    AvahiNetServices dnssd;
    Recorder recorder;
    auto browser = dnssd.makeBrowser();
    browser->setDelegate(&recorder);
    browser->searchForServicesOfType(kType, "");
    Publisher publisher("mirel://twin", 6000);
    const auto first = recorder.waitFor("mirel://twin");
    ASSERT_NE(first, nullptr);

    auto ours = dnssd.makeService("", kType, "mirel://twin", 6001);
    ours->publish();
    const auto second = recorder.waitFor("mirel://twin #2");
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(ours->name(), "mirel://twin #2");
    EXPECT_EQ(ours->port(), 6001);
    EXPECT_EQ(linesContaining(log, "\"mirel://twin #2\"").size(), 1u);

    ours->stop();
    EXPECT_TRUE(runMainLoopUntil([&] { return recorder.wasRemoved(second); }));
    EXPECT_FALSE(recorder.wasRemoved(first));
}

}  // namespace
