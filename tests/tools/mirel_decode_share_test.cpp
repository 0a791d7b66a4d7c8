// mirel-decode --live --share: the timecode controller headless, as a
// subprocess, against virtual capture cards and a private avahi-daemon.

#include <glib.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "platform/AvahiNetServices.h"
#include "platform/Host.h"
#include "tests/fixtures/alsa/VirtualCard.h"
#include "tests/network/UdpPeer.h"
#include "tests/support/DnsSdDaemon.h"
#include "tests/support/LtcSignal.h"

using namespace std::chrono_literals;

namespace {

std::string slurp(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

// A copy with its own capture cards and "audioInput"; output in dir/out and dir/err.
GPid startCopy(const std::string& dir, const std::vector<VirtualDevice>& cards,
               const std::string& audioInput, const std::string& seconds = "") {
    std::filesystem::create_directories(dir + "/mirel");
    std::ofstream(dir + "/mirel/preferences.json") << nlohmann::json{{"audioInput", audioInput}};
    const std::string command = "ALSA_CONFIG_PATH='" + writeAlsaConfig(dir, cards) +
                                "' XDG_CONFIG_HOME='" + dir +
                                "' exec '" MIREL_DECODE "' --live --share " + seconds + " >'" +
                                dir + "/out' 2>'" + dir + "/err'";
    const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
    GPid pid = 0;
    g_spawn_async(nullptr, const_cast<char**>(argv), nullptr, G_SPAWN_DO_NOT_REAP_CHILD, nullptr,
                  nullptr, &pid, nullptr);
    return pid;
}

int finish(GPid pid, int signal = 0) {
    if (signal != 0) kill(pid, signal);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct Output {
    std::vector<int> ids;
    std::vector<std::string> times;  ///< "hh:mm:ss:ff" per accepted value
    std::map<std::string, std::vector<std::string>> settings;
};

Output parse(const std::string& out) {
    Output parsed;
    std::istringstream lines(out);
    for (std::string kind, a, b; lines >> kind >> a >> b; lines.ignore(1000, '\n')) {
        if (kind == "accepted") parsed.ids.push_back(std::stoi(a)), parsed.times.push_back(b);
        if (kind == "setting") parsed.settings[a].push_back(b);
    }
    return parsed;
}

/// A mono card of 25 fps LTC from 01:00:00:00 (hour `hours`), after `leadIn` seconds of silence.
VirtualDevice ltcCard(const std::string& dir, const std::string& name, int frames, int hours = 1,
                      double leadIn = 0) {
    LtcSignalOptions o;
    o.hours = hours, o.frameCount = frames, o.leadInSamples = size_t(leadIn * 48000);
    writeRawFloat32(dir + "/" + name, makeLtcSignal(o).samples);
    return {.name = name, .channels = 1, .rawFile = dir + "/" + name};
}

// The lead-in lets the first tick find nothing running yet.
TEST(MirelDecodeShare, AcceptsTheSelectedCardAndReportsRateAndStatus) {
    const std::string dir = makeTempDir("share-audio");
    setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + dir + "/no-bus").c_str(), 1);
    const GPid copy =
        startCopy(dir, {ltcCard(dir, "ltc_other", 60, 5), ltcCard(dir, "ltc_main", 60, 1, 1.5)},
                  "ltc_main", "6");
    ASSERT_EQ(finish(copy), 0) << slurp(dir + "/err");
    Output out = parse(slurp(dir + "/out"));
    std::vector<std::string> expected;
    for (int f = 1; f < 60; ++f) {
        char time[16];
        std::snprintf(time, sizeof time, "01:00:%02d:%02d", f / 25, f % 25);
        expected.push_back(time);
    }
    EXPECT_EQ(out.times, expected);
    EXPECT_EQ(out.ids, std::vector<int>(expected.size(), 100));
    EXPECT_EQ(out.settings["fpsString"], std::vector<std::string>{"25"});
    EXPECT_EQ(out.settings["timecodeRunning"],
              (std::vector<std::string>{"Stopped", "Running", "Stopped"}));
}

bool runUntil(const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (!done() && std::chrono::steady_clock::now() < end) {
        if (!g_main_context_iteration(nullptr, FALSE)) std::this_thread::sleep_for(5ms);
    }
    return done();
}

struct Sightings : NetServiceBrowserDelegate {
    void netServiceBrowserDidFindService(NetServiceBrowser&, const std::shared_ptr<NetService>& s,
                                         bool) override {
        names.push_back(s->name());
    }
    void netServiceBrowserDidRemoveService(NetServiceBrowser&, const std::shared_ptr<NetService>&,
                                           bool) override {}
    std::vector<std::string> names;
};

bool isRunOf(const std::vector<std::string>& part, const std::vector<std::string>& whole) {
    return !part.empty() && std::ranges::search(whole, part).begin() != whole.end();
}

// Copy A shares its card's LTC; copy B takes its time from A over the network
// and shares it in turn with a plain subscriber, C.
TEST(MirelDecodeShareNetwork, ACopyTakingTimeFromTheNetworkPassesItOn) {
    DnsSdDaemon daemon;  // first: it points this process and the copies at the private bus
    ASSERT_TRUE(daemon.start()) << daemon.error();
    const std::string dir = makeTempDir("share-network"), name = "mirel://" + Host::currentName();
    const GPid a = startCopy(dir + "/a", {ltcCard(dir, "ltc_a", 750)}, "ltc_a");
    AvahiNetServices dnssd;
    Sightings sightings;
    auto browser = dnssd.makeBrowser();
    browser->setDelegate(&sightings);
    browser->searchForServicesOfType("_mirel._udp.", "");
    // B must come second: the name is A's, and B is renamed.
    ASSERT_TRUE(runUntil([&] { return std::ranges::count(sightings.names, name) > 0; }));

    const GPid b = startCopy(dir + "/b", {}, name);
    int port = 0;
    ASSERT_TRUE(runUntil([&] {
        const std::string log = slurp(dir + "/b/err");
        const size_t at = log.find("Listening on port #");
        return (port = at == std::string::npos ? 0 : std::atoi(log.c_str() + at + 19)) != 0;
    }));
    UdpPeer c;
    std::vector<std::string> heard;  // B's zeros from before its first value left out
    ASSERT_TRUE(runUntil([&] {
        c.sendTo(port, "TCMDPing: #42\n");
        for (auto datagram = c.receive(1s); datagram; datagram = c.receive(0ms)) {
            std::string time = datagram->substr(datagram->find("TC: ") + 4, 11);
            time[8] = ':';
            if (time != "00:00:00:00") heard.push_back(time);
        }
        return heard.size() >= 50;
    })) << slurp(dir + "/b/err");

    ASSERT_EQ(finish(b, SIGTERM), 0) << slurp(dir + "/b/err");
    ASSERT_EQ(finish(a, SIGTERM), 0) << slurp(dir + "/a/err");
    const Output fromAudio = parse(slurp(dir + "/a/out")),
                 fromNetwork = parse(slurp(dir + "/b/out"));
    EXPECT_TRUE(isRunOf(fromNetwork.times, fromAudio.times));
    EXPECT_EQ(fromNetwork.ids, std::vector<int>(fromNetwork.times.size(), -200));
    EXPECT_TRUE(isRunOf(heard, fromNetwork.times));
}

}  // namespace
