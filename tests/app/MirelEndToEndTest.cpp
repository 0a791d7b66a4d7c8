// The real mirel program, twice, on the display the test command provides:
// copy A reads LTC from a virtual capture card, copy B follows A over the
// network through a private avahi-daemon. The program runs from a scratch
// folder whose jQuery file carries a small page script: on the home page it
// clicks the input tile named by the setting "e2eInput", as a user would; on
// the clock page it reports what the page shows through MirelClock.log, so
// the assertions are on the page text itself. A screenshot of both windows is
// left in screenshots/, and the time from start to the first painted page is
// printed.

#include <glib.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/AvahiNetServices.h"
#include "platform/Host.h"
#include "tests/fixtures/alsa/VirtualCard.h"
#include "tests/support/DnsSdDaemon.h"
#include "tests/support/LtcSignal.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// Appended to jQuery: runs in every mirel: document once jQuery is there.
constexpr const char* kPageDriver = R"(
;(function () {
    if (typeof MirelClock == 'undefined') return;
    function report(what) { MirelClock.log('e2e ' + Date.now() + ' ' + what); }
    $(function () {
        requestAnimationFrame(function () {
            requestAnimationFrame(function () { report('painted ' + location.href); });
        });
        if (location.href.indexOf('mirel:///home') == 0) {
            var wanted = MirelClock.getPreference('e2eInput');
            var timer = setInterval(function () {
                var tile = $('a.input').filter(function () { return this.title == wanted; });
                if (tile.length) {
                    clearInterval(timer);
                    tile[0].click();
                }
            }, 100);
        } else if ($('#timecode').length) {
            setInterval(function () {
                report('clock ' + $('#timecode').text() + '|' + $('#timecodefps').text() + '|' +
                       $('#timecodestatus').text());
            }, 200);
        }
    });
})();
)";

std::string slurp(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

int64_t nowMs() {
    return g_get_real_time() / 1000;
}

/// The program and its resources, copied so that the resources found beside it are ours.
std::string installProgram(const std::string& dir) {
    fs::create_directories(dir + "/bin");
    fs::create_directories(dir + "/share");
    fs::copy_file(MIREL_PROGRAM, dir + "/bin/mirel");
    fs::copy(MIREL_RESOURCES, dir + "/share/mirel",
             fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    // The build links sources into its resource folder; the copy must hold files.
    for (const auto& entry : fs::recursive_directory_iterator(dir + "/share/mirel")) {
        if (!entry.is_symlink()) continue;
        const fs::path target = fs::canonical(entry.path());
        fs::remove(entry.path());
        fs::copy_file(target, entry.path());
    }
    for (const auto& entry : fs::directory_iterator(dir + "/share/mirel/html")) {
        if (entry.path().filename().string().starts_with("jquery")) {
            std::ofstream(entry.path(), std::ios::app) << kPageDriver;
        }
    }
    return dir + "/bin/mirel";
}

// One running copy with its own settings folder; its standard error goes to
// dir/log. A copy still running when the test ends early is killed.
class Copy {
public:
    Copy(const std::string& program, std::string dir, const std::string& alsaConfig,
         const nlohmann::json& settings)
        : dir_(std::move(dir)) {
        fs::create_directories(dir_ + "/mirel");
        std::ofstream(dir_ + "/mirel/preferences.json") << settings;
        const std::string command = "ALSA_CONFIG_PATH='" + alsaConfig + "' XDG_CONFIG_HOME='" +
                                    dir_ + "' exec '" + program + "' 2>'" + dir_ + "/log'";
        const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
        startedMs_ = nowMs();
        g_spawn_async(nullptr, const_cast<char**>(argv), nullptr, G_SPAWN_DO_NOT_REAP_CHILD,
                      nullptr, nullptr, &pid_, nullptr);
    }
    ~Copy() {
        if (pid_ != 0) finish(SIGKILL);
    }
    Copy(const Copy&) = delete;
    Copy& operator=(const Copy&) = delete;

    /// Asks the copy to end and returns its exit status (-1 when it did not exit).
    int finish(int signal = SIGTERM) {
        kill(pid_, signal);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = 0;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string log() const { return slurp(dir_ + "/log"); }
    const std::string& dir() const { return dir_; }
    GPid pid() const { return pid_; }
    int64_t startedMs() const { return startedMs_; }

private:
    std::string dir_;
    GPid pid_ = 0;
    int64_t startedMs_ = 0;
};

struct ClockSample {
    int64_t atMs;
    int frame;  ///< since midnight, at 25 fps
    std::string fps, status;
};

// "e2e <ms> clock hh:mm:ss;ff|25 FPS|Running" lines, in order.
std::vector<ClockSample> clockSamples(const std::string& log) {
    std::vector<ClockSample> samples;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        const size_t at = line.find("JavaScript: e2e ");
        if (at == std::string::npos) continue;
        long long ms = 0;
        int h = 0, m = 0, s = 0, f = 0, used = 0;
        if (std::sscanf(line.c_str() + at, "JavaScript: e2e %lld clock %d:%d:%d;%d|%n", &ms, &h, &m,
                        &s, &f, &used) != 5 ||
            used == 0) {
            continue;
        }
        const std::string rest = line.substr(at + size_t(used));
        const size_t bar = rest.find('|');
        samples.push_back({ms, ((h * 60 + m) * 60 + s) * 25 + f, rest.substr(0, bar),
                           bar == std::string::npos ? "" : rest.substr(bar + 1)});
    }
    return samples;
}

std::vector<ClockSample> running(const std::vector<ClockSample>& samples) {
    std::vector<ClockSample> kept;
    for (const ClockSample& sample : samples) {
        if (sample.status == "Running" && sample.frame != 0) kept.push_back(sample);
    }
    return kept;
}

/// When the copy's first page was painted, in ms after its start.
std::optional<int64_t> firstPaint(const Copy& copy) {
    const std::string log = copy.log();
    const size_t at = log.find("JavaScript: e2e ");
    long long ms = 0;
    if (at == std::string::npos ||
        std::sscanf(log.c_str() + at, "JavaScript: e2e %lld painted", &ms) != 1) {
        return std::nullopt;
    }
    return ms - copy.startedMs();
}

bool runUntil(const std::function<bool()>& done, std::chrono::seconds limit = 40s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < end) {
        if (!g_main_context_iteration(nullptr, FALSE)) std::this_thread::sleep_for(20ms);
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

// How far a copy's clock is from the signal's time line, in frames: the card
// plays 25 frames a second from 10:00:00:00, so frame − 25 × seconds is the
// same for every sample of a clock that keeps time.
int offset(const ClockSample& sample) {
    return sample.frame - int(sample.atMs * 25 / 1000 % (24 * 3600 * 25));
}

// Each sample 200 ms after the last shows a later frame, and the offset from
// the wall clock stays within a few frames of `wallOffset` (page updates,
// timers, a loaded machine). The rate is measured over the first second, and
// shown from then on.
void expectKeepsTime(const std::vector<ClockSample>& samples, int wallOffset,
                     const std::string& copy) {
    bool rateShown = false;
    for (size_t i = 1; i < samples.size(); ++i) {
        SCOPED_TRACE(copy + ", sample " + std::to_string(i));
        EXPECT_GT(samples[i].frame, samples[i - 1].frame);
        EXPECT_NEAR(offset(samples[i]), wallOffset, 8);
        rateShown = rateShown || !samples[i].fps.empty();
        if (rateShown) {
            EXPECT_EQ(samples[i].fps, "25 FPS");
        }
    }
    EXPECT_TRUE(rateShown) << copy;
}

void screenshot(const std::string& name) {
    fs::create_directories(SCREENSHOT_FOLDER);
    const std::string command =
        "import -window root '" + std::string(SCREENSHOT_FOLDER) + "/" + name + "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
}

TEST(MirelEndToEnd, ACopyShowsItsCardAndASecondFollowsItOverTheNetwork) {
    DnsSdDaemon daemon;  // first: it points this process and the copies at the private bus
    ASSERT_TRUE(daemon.start()) << daemon.error();
    const std::string dir = makeTempDir("end-to-end");
    const std::string program = installProgram(dir + "/root");

    LtcSignalOptions signal;
    signal.hours = 10, signal.frameCount = 25 * 90;
    writeRawFloat32(dir + "/ltc.f32", makeLtcSignal(signal).samples);
    const std::string cards = writeAlsaConfig(
        dir, {{.name = "ltc_card", .channels = 1, .rawFile = dir + "/ltc.f32", .loop = true}});
    fs::create_directories(dir + "/none");
    const std::string noCards = writeAlsaConfig(dir + "/none", {});

    Copy a(program, dir + "/a", cards, {{"audioInput", "ltc_card"}, {"e2eInput", "ltc_card"}});
    const std::string name = "mirel://" + Host::currentName();
    AvahiNetServices dnssd;
    Sightings sightings;
    auto browser = dnssd.makeBrowser();
    browser->setDelegate(&sightings);
    browser->searchForServicesOfType("_mirel._udp.", "");
    // B must come second: the name is A's, and B is renamed.
    ASSERT_TRUE(runUntil([&] { return std::ranges::count(sightings.names, name) > 0; })) << a.log();
    ASSERT_TRUE(runUntil([&] { return running(clockSamples(a.log())).size() >= 5; })) << a.log();

    Copy b(program, dir + "/b", noCards,
           {{"sourceType", "Network"}, {"audioInput", name}, {"e2eInput", name}});
    ASSERT_TRUE(runUntil([&] {
        const std::vector<ClockSample> shown = running(clockSamples(b.log()));
        return shown.size() >= 15 && !shown.back().fps.empty();
    })) << b.log();

    // Side by side: both windows open at the top left.
    const std::string move = "xdotool search --all --onlyvisible --pid " + std::to_string(b.pid()) +
                             " --name Mirel windowmove %@ 640 0";
    EXPECT_EQ(std::system(move.c_str()), 0);
    std::this_thread::sleep_for(500ms);
    screenshot("end_to_end.png");

    EXPECT_EQ(b.finish(), 0) << b.log();
    EXPECT_EQ(a.finish(), 0) << a.log();

    const std::vector<ClockSample> fromCard = running(clockSamples(a.log()));
    const std::vector<ClockSample> fromNetwork = running(clockSamples(b.log()));
    ASSERT_GE(fromCard.size(), 20u);
    ASSERT_GE(fromNetwork.size(), 15u);

    // A shows the card's time; B the same time line, a network hop later.
    const int wallOffset = offset(fromCard[0]);
    expectKeepsTime(fromCard, wallOffset, "copy A");
    expectKeepsTime(fromNetwork, wallOffset, "copy B");
    for (const ClockSample& sample : fromCard) {
        EXPECT_GE(sample.frame, 10 * 3600 * 25);
        EXPECT_LT(sample.frame, 10 * 3600 * 25 + signal.frameCount);
    }

    for (const Copy* copy : {&a, &b}) {
        const std::optional<int64_t> paint = firstPaint(*copy);
        ASSERT_TRUE(paint.has_value()) << copy->log();
        const std::string which = fs::path(copy->dir()).filename().string();
        std::printf("copy %s: start to first painted page %lld ms\n", which.c_str(),
                    static_cast<long long>(*paint));
        RecordProperty(which + "_first_paint_ms", std::to_string(*paint));
    }
    if (!HasFailure()) fs::remove_all(dir);
}

}  // namespace
