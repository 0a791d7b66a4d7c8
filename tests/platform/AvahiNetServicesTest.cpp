// DNS-SD: the directory of found services, then a private avahi-daemon on loopback.

#include <arpa/inet.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/AvahiClientConnection.h"
#include "platform/AvahiNetServices.h"
#include "platform/AvahiServiceDirectory.h"
#include "platform/LogCapture.h"
#include "platform/NetService.h"
#include "tests/platform/MainLoop.h"
#include "tests/support/DnsSdDaemon.h"

namespace {

using namespace std::chrono_literals;
const char* const kType = "_mirel._udp.";
using Service = std::shared_ptr<NetService>;

TEST(AvahiServiceDirectory, OneObjectPerNameTypeAndDomainUntilItsLastSightingGoes) {
    AvahiServiceDirectory directory(  // never attached to, so it never connects
        std::make_shared<AvahiClientConnection>(1000ms));
    constexpr AvahiProtocol v4 = AVAHI_PROTO_INET, v6 = AVAHI_PROTO_INET6;
    auto seen = [&](bool gone, AvahiIfIndex interface, AvahiProtocol protocol,
                    const char* name = "mirel://a", const char* type = "_mirel._udp",
                    const char* domain = "local") {
        return gone ? directory.remove(interface, protocol, name, type, domain)
                    : directory.add(interface, protocol, name, type, domain);
    };
    const auto a = seen(false, 1, v4);
    ASSERT_NE(a, nullptr);
    // Another sighting, the same one twice, and the removals of all but the first.
    for (const auto& [gone, interface, protocol] :
         {std::tuple(false, 2, v4), {false, 2, v4}, {false, 1, v6}, {true, 2, v4}, {true, 1, v6}})
        EXPECT_EQ(seen(gone, interface, protocol), nullptr) << gone << interface << protocol;
    EXPECT_EQ(seen(true, 1, v4), a);
    // Gone means gone: a late removal reports nothing, a new sighting is a new object.
    EXPECT_EQ(seen(true, 1, v4), nullptr);
    const auto again = seen(false, 1, v4);
    EXPECT_TRUE(again && again != a);

    const auto b = seen(false, 1, v4, "mirel://b");
    const auto otherType = seen(false, 1, v4, "mirel://a", "_other._udp");
    const auto otherDomain = seen(false, 1, v4, "mirel://a", "_mirel._udp", "example.org");
    ASSERT_TRUE(b && otherType && otherDomain);
    EXPECT_EQ(seen(true, 1, v4, "mirel://a", "_mirel._udp", "example.org"), otherDomain);
    EXPECT_EQ(directory.clear(), (std::vector{again, b, otherType}));
}

struct Notice {
    bool found;
    Service service;
    bool moreComing;
};

// A browser for kType and every notice it gives; with `quit`, destroyed at the first removal.
struct Browsing : NetServiceBrowserDelegate {
    explicit Browsing(AvahiNetServices& dnssd, bool quit = false)
        : browser(dnssd.makeBrowser()), quit(quit) {
        browser->setDelegate(this);
        browser->searchForServicesOfType(kType, "");
    }
    void netServiceBrowserDidFindService(NetServiceBrowser&, const Service& s, bool more) override {
        notices.push_back({true, s, more});
    }
    void netServiceBrowserDidRemoveService(NetServiceBrowser&, const Service& s,
                                           bool more) override {
        notices.push_back({false, s, more});
        if (quit) browser.reset();
    }

    /// The last service noticed under that name once found (or removed); null after a deadline.
    Service waitFor(const std::string& name, bool found = true) const {
        Service seen;
        runMainLoopUntil([&] {
            for (const Notice& n : notices)
                if (n.service->name() == name) seen = n.found == found ? n.service : nullptr;
            return seen != nullptr;
        });
        return seen;
    }

    std::unique_ptr<NetServiceBrowser> browser;
    const bool quit;
    std::vector<Notice> notices;
};

size_t linesWith(const LogCapture& log, const std::string& text) {
    return std::ranges::count_if(log.lines(),
                                 [&](auto& line) { return line.find(text) != line.npos; });
}

// Another process publishing `name` on `port` until it is killed.
struct Publisher {
    Publisher(std::string name, int port) {
        std::string self = "/proc/self/exe", flag = "--publish", portText = std::to_string(port);
        char* argv[] = {self.data(), flag.data(), name.data(), portText.data(), nullptr};
        g_spawn_async(nullptr, argv, nullptr, G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr, &pid,
                      nullptr);
    }
    ~Publisher() { kill(); }
    void kill() {
        if (pid > 0 && ::kill(pid, SIGKILL) == 0) waitpid(std::exchange(pid, 0), nullptr, 0);
    }
    GPid pid = 0;
};

// One daemon through a service's life: found, resolved, its name taken, the daemon restarted.
TEST(AvahiNetServices, AnotherProcessesServiceAcrossANameClashAndTheDaemonsDeath) {
    DnsSdDaemon daemon;
    ASSERT_TRUE(daemon.start()) << daemon.error();
    LogCapture log;
    AvahiNetServices dnssd;
    Browsing browsing(dnssd);
    const std::string name = "mirel://studio:1/é b";
    Publisher publisher(name, 48123);
    const auto service = browsing.waitFor(name);
    ASSERT_NE(service, nullptr);
    EXPECT_EQ(std::tuple(service->port(), service->addresses().size(), service->type(),
                         service->domain()),
              std::tuple(-1, 0u, "_mirel._udp", "local"));

    // As the receiver's notify thread does, read while resolving: never addresses without a port.
    std::atomic<int> torn{0};
    std::jthread reader([&](std::stop_token stop) {
        while (!stop.stop_requested()) {
            for (const sockaddr_in& address : service->addresses())
                torn += ntohs(address.sin_port) != 48123 || service->port() != 48123;
        }
    });
    service->resolveWithTimeout(5.0);
    EXPECT_TRUE(runMainLoopUntil([&] { return !service->addresses().empty(); }));
    reader.request_stop();
    reader.join();
    EXPECT_EQ(torn, 0);
    ASSERT_EQ(service->addresses().size(), 1u);
    const sockaddr_in address = service->addresses().front();
    EXPECT_EQ(std::tuple(service->port(), address.sin_family, ntohl(address.sin_addr.s_addr),
                         ntohs(address.sin_port)),
              std::tuple(48123, AF_INET, INADDR_LOOPBACK, 48123));

    // Ours under the taken name goes out under the next alternative, until stopped.
    auto twin = dnssd.makeService("", kType, name, 6001);
    twin->publish();
    const auto second = browsing.waitFor(name + " #2");
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(std::tuple(twin->name(), twin->port()), std::tuple(name + " #2", 6001));
    EXPECT_EQ(linesWith(log, "\"" + name + " #2\""), 1u);
    twin->stop();
    EXPECT_EQ(browsing.waitFor(name + " #2", false), second);
    EXPECT_EQ(browsing.notices.size(), 3u) << "found once each, and only ours removed";

    // At the daemon's death all goes in one flagged batch, even to a browser gone at the first.
    auto ours = dnssd.makeService("", kType, "mirel://here", 5001);
    ours->publish();
    Browsing quitter(dnssd, true);
    const auto here = browsing.waitFor("mirel://here");
    ASSERT_TRUE(here && quitter.waitFor(name) && quitter.waitFor("mirel://here"));
    const size_t before = browsing.notices.size();
    daemon.killAvahi();
    ASSERT_TRUE(browsing.waitFor(name, false) == service &&
                browsing.waitFor("mirel://here", false) == here);
    EXPECT_EQ(quitter.browser, nullptr);
    ASSERT_EQ(browsing.notices.size(), before + 2);
    EXPECT_TRUE(browsing.notices[before].moreComing);
    EXPECT_FALSE(browsing.notices[before + 1].moreComing);
    EXPECT_EQ(linesWith(log, "DNS-SD not available"), 1u);

    ASSERT_TRUE(daemon.restart()) << daemon.error();
    const auto again = browsing.waitFor(name);
    ASSERT_TRUE(again && again != service && browsing.waitFor("mirel://here"));
    again->resolveWithTimeout(5.0);
    EXPECT_TRUE(runMainLoopUntil([&] { return again->port() == 48123; }));

    publisher.kill();
    EXPECT_EQ(browsing.waitFor(name, false), again);
    // What was resolved stays, for a subscription that outlives its source.
    EXPECT_EQ(again->port(), 48123);
}

// No daemon logs once; without even a bus Avahi cannot wait for one, so retries fail, silently.
TEST(AvahiNetServices, WithoutADaemonOrEvenABusItLogsOnceAndPublishesWhenTheDaemonAppears) {
    DnsSdDaemon daemon;
    ASSERT_TRUE(daemon.startBus()) << daemon.error();
    LogCapture log;
    AvahiNetServices dnssd(100ms);
    auto ours = dnssd.makeService("", kType, "mirel://late", 4000);
    ours->publish();
    Browsing browsing(dnssd);
    ASSERT_TRUE(runMainLoopUntil([&] { return linesWith(log, "DNS-SD not available") == 1; }));
    runMainLoopUntil([] { return false; }, 500ms);  // a fault's chance to show

    daemon.stopBus();
    runMainLoopUntil([] { return false; }, 1000ms);
    EXPECT_EQ(log.lines().size(), 1u);

    ASSERT_TRUE(daemon.start()) << daemon.error();
    EXPECT_NE(browsing.waitFor("mirel://late"), nullptr);
    EXPECT_EQ(linesWith(log, "DNS-SD daemon available"), 1u);
    EXPECT_EQ(log.lines().size(), 2u);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--publish") {  // a Publisher's process
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // dies with the test, should that crash
        auto service = netServices().makeService("", kType, argv[2], std::atoi(argv[3]));
        service->publish();
        g_main_loop_run(g_main_loop_new(nullptr, FALSE));
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
