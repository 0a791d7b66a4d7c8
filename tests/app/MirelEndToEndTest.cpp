// The real mirel program, twice, on the display the test command provides:
// copy A reads LTC from a virtual capture card, copy B follows A over the
// network through a private avahi-daemon. The copies report what their clock
// page shows (ProgramCopy.h), so the assertions are on the page text itself.
// A screenshot of both windows is left in screenshots/, and the time from
// start to the first painted page is printed.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/AvahiNetServices.h"
#include "platform/Host.h"
#include "tests/app/ProgramCopy.h"
#include "tests/fixtures/alsa/VirtualCard.h"
#include "tests/support/DnsSdDaemon.h"
#include "tools/LtcSignal.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

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
