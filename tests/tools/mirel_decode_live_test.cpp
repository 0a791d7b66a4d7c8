// mirel-decode --list and --live against virtual capture cards: real PortAudio,
// real ALSA, real-time pacing, so the whole capture path runs as it does live.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/fixtures/alsa/VirtualCard.h"
#include "tests/support/LtcSignal.h"

namespace {

struct ToolRun {
    int status = -1;
    std::string out, err;
};

std::string slurp(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

ToolRun runTool(const std::string& config, const std::string& args) {
    const std::string dir = makeTempDir("live-run");
    const std::string command = "ALSA_CONFIG_PATH='" + config + "' '" MIREL_DECODE "' " + args +
                                " >'" + dir + "/out' 2>'" + dir + "/err'";
    ToolRun run;
    const int raw = std::system(command.c_str());
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    run.out = slurp(dir + "/out");
    run.err = slurp(dir + "/err");
    return run;
}

// Channel c of a device carries timecode starting at hour `firstHour` + c.
std::string writeLtcFile(const std::string& path, int channels, int rate, int firstHour,
                         int frames) {
    std::vector<std::vector<float>> signals;
    for (int c = 0; c < channels; ++c) {
        LtcSignalOptions o;
        o.sampleRate = rate, o.hours = firstHour + c, o.frameCount = frames;
        signals.push_back(makeLtcSignal(o).samples);
    }
    std::vector<float> interleaved(signals[0].size() * size_t(channels));
    for (size_t i = 0; i < signals[0].size(); ++i) {
        for (int c = 0; c < channels; ++c)
            interleaved[i * size_t(channels) + size_t(c)] = signals[size_t(c)][i];
    }
    writeRawFloat32(path, interleaved);
    return path;
}

// id -> the timecodes it delivered, in order.
std::map<int, std::vector<std::string>> recordsById(const std::string& out) {
    std::map<int, std::vector<std::string>> records;
    std::istringstream lines(out);
    std::string line;
    std::getline(lines, line);  // header
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        int id = 0;
        long long sample = 0;
        std::string timecode;
        fields >> id >> sample >> timecode;
        records[id].push_back(timecode);
    }
    return records;
}

std::vector<std::string> consecutive(int hour, int first, int last) {
    std::vector<std::string> timecodes;
    for (int f = first; f <= last; ++f) {
        char text[40];
        std::snprintf(text, sizeof text, "%02d:00:%02d:%02d", hour, f / 25, f % 25);
        timecodes.push_back(text);
    }
    return timecodes;
}

TEST(MirelDecodeLive, ListsDevicesByPositionWithTheirInputChannels) {
    const std::string dir = makeTempDir("live-list");
    const std::string raw = writeLtcFile(dir + "/a.f32", 2, 48000, 1, 5);
    const std::string config = writeAlsaConfig(
        dir, {{.name = "ltc_stereo", .channels = 2, .rawFile = raw},
              {.name = "ltc_missing", .channels = 2, .rawFile = raw, .openFails = true},
              {.name = "ltc_eight", .channels = 8, .rawFile = raw}});
    const ToolRun run = runTool(config, "--list");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out,
              "position\tname\tmaker\tinputs\n"
              "0\tltc_stereo\tALSA\t2\n"
              "1\tltc_eight\tALSA\t8\n");
}

// Every frame on every channel of two devices arrives, in order, at the
// decoder named by device position × 100 + channel.
TEST(MirelDecodeLive, DecodesEveryChannelOfEveryDeviceWithoutLosingFrames) {
    const std::string dir = makeTempDir("live-decode");
    const int frames = 60;  // 2.4 s at 25 fps
    const std::string config =
        writeAlsaConfig(dir, {{.name = "ltc_stereo",
                               .channels = 2,
                               .rawFile = writeLtcFile(dir + "/a.f32", 2, 48000, 1, frames)},
                              {.name = "ltc_eight",
                               .channels = 8,
                               .rate = 44100,
                               .rawFile = writeLtcFile(dir + "/b.f32", 8, 44100, 10, frames)}});
    const ToolRun run = runTool(config, "--live 3.5");
    ASSERT_EQ(run.status, 0) << run.err;
    const auto records = recordsById(run.out);
    std::vector<int> ids;
    for (const auto& [id, timecodes] : records) ids.push_back(id);
    EXPECT_EQ(ids, (std::vector<int>{0, 1, 100, 101, 102, 103, 104, 105, 106, 107}));
    for (int c = 0; c < 2; ++c) EXPECT_EQ(records.at(c), consecutive(1 + c, 1, frames - 1)) << c;
    for (int c = 0; c < 8; ++c)
        EXPECT_EQ(records.at(100 + c), consecutive(10 + c, 1, frames - 1)) << c;
}

// An unplugged interface ends its own capture only: the program says so and
// the other device goes on to its last frame.
TEST(MirelDecodeLive, ADeviceThatGoesAwayStopsOnlyItsOwnCapture) {
    const std::string dir = makeTempDir("live-gone");
    const int frames = 75;
    const std::string config =
        writeAlsaConfig(dir, {{.name = "ltc_gone",
                               .channels = 2,
                               .rawFile = writeLtcFile(dir + "/a.f32", 2, 48000, 1, frames),
                               .loop = true,
                               .failAfterMs = 800},
                              {.name = "ltc_stays",
                               .channels = 2,
                               .rawFile = writeLtcFile(dir + "/b.f32", 2, 48000, 5, frames)}});
    const ToolRun run = runTool(config, "--live 4.5");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("Audio device \"ltc_gone\" stopped delivering input"), std::string::npos)
        << run.err;
    const auto records = recordsById(run.out);
    EXPECT_EQ(records.at(100), consecutive(5, 1, frames - 1));
    EXPECT_EQ(records.at(101), consecutive(6, 1, frames - 1));
    EXPECT_LT(records.at(0).size(), size_t(frames / 2));
}

}  // namespace
