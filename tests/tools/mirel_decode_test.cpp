// mirel-decode run as a subprocess, as a user would run it: on files written
// here with libsndfile, whose output is worked out in-process with the
// one-sample step; with --list, --live and --live --share against virtual
// capture cards (real PortAudio, real ALSA, real-time pacing); and with a
// private avahi-daemon, over the network.

#include <glib.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "decode/TimecodeListener.h"
#include "platform/AvahiNetServices.h"
#include "platform/Host.h"
#include "tests/fixtures/alsa/VirtualCard.h"
#include "tests/network/UdpPeer.h"
#include "tests/support/DnsSdDaemon.h"
#include "tools/LtcSignal.h"

using namespace std::chrono_literals;

namespace {

const std::string kHeader = "id\tsample\ttimecode\tuserbits\tdrop\tcolor\tbpm\n";

std::string slurp(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

size_t lineCount(const std::string& text) {
    return size_t(std::count(text.begin(), text.end(), '\n'));
}

struct Scratch {
    const std::string dir = makeTempDir("mirel-decode");
    ~Scratch() { std::filesystem::remove_all(dir); }
};

/// Starts mirel-decode with `args` and the environment `env`, writing dir/out and dir/err.
GPid start(const std::string& dir, const std::string& args, const std::string& env = "") {
    const std::string command =
        env + " exec '" MIREL_DECODE "' " + args + " >'" + dir + "/out' 2>'" + dir + "/err'";
    const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
    GPid pid = 0;
    g_spawn_async(nullptr, const_cast<char**>(argv), nullptr, G_SPAWN_DO_NOT_REAP_CHILD, nullptr,
                  nullptr, &pid, nullptr);
    return pid;
}

/// Its exit status, once it has ended (after `signal`, if any).
int finish(GPid pid, int signal = 0) {
    if (signal != 0) kill(pid, signal);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct Result {
    int status;
    std::string out, err;
};
Result run(const std::string& args, const std::string& env = "") {
    const Scratch s;
    const int status = finish(start(s.dir, args, env));
    return {status, slurp(s.dir + "/out"), slurp(s.dir + "/err")};
}

/// 25 fps LTC from `hours`:00:00:00 with user bits BF480E47 and the colour
/// frame flag, after `leadIn` samples of silence.
std::vector<float> ltc(int hours, int frames, size_t leadIn = 0, int rate = 48000) {
    LtcSignalOptions o;
    o.sampleRate = rate, o.hours = hours, o.frameCount = frames, o.leadInSamples = leadIn;
    o.colorFrame = true;
    const uint8_t user[8] = {0xB, 0xF, 4, 8, 0, 0xE, 4, 7};
    std::copy(std::begin(user), std::end(user), o.userBits);
    return makeLtcSignal(o).samples;
}

/// Frame-interleaved, the shorter channels padded with silence.
std::vector<float> interleave(const std::vector<std::vector<float>>& channels) {
    size_t frames = 0;
    for (const auto& c : channels) frames = std::max(frames, c.size());
    std::vector<float> values(frames * channels.size(), 0.0f);
    for (size_t c = 0; c < channels.size(); ++c)
        for (size_t i = 0; i < channels[c].size(); ++i)
            values[i * channels.size() + c] = channels[c][i];
    return values;
}

// Every line the tool should print for a file, with the block, channel and
// sample that order them; `at` is the sample being fed.
struct ExpectedLines {
    std::vector<std::tuple<int64_t, int, int64_t, std::string>> lines;
    int64_t at = 0;
};

void expectLine(const SMPTE_tc& t, void* into) noexcept {
    auto& e = *static_cast<ExpectedLines*>(into);
    char line[80];
    std::snprintf(line, sizeof line,
                  "%d\t%lld\t%02d:%02d:%02d:%02d\t%X%X%X%X%X%X%X%X\t%d\t%d\t%d\n", t.myId,
                  static_cast<long long>(e.at), t.h(), t.m(), t.s(), t.f(), t.u1, t.u2, t.u3, t.u4,
                  t.u5, t.u6, t.u7, t.u8, t.dropFrame, t.colorFrame, t.bpm);
    e.lines.emplace_back(e.at / 512, t.myId, e.at, line);
}

// What the tool should print for a file: each channel decoded from the samples as
// libsndfile reads them back, then ordered block by block and, within a block,
// channel by channel (or, with byBlock false, merely by sample).
std::string expectedOutput(const std::string& path, bool byBlock = true) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    std::vector<float> samples(size_t(info.frames * info.channels));
    sf_readf_float(file, samples.data(), info.frames);
    sf_close(file);
    ExpectedLines expected;
    for (int c = 0; c < info.channels; ++c) {
        TCListener decoder;
        decoder.setCallbackId(expectLine, c, &expected);
        for (expected.at = 0; expected.at < info.frames; ++expected.at)
            sampleStep(decoder, samples[size_t(expected.at * info.channels + c)]);
    }
    if (!byBlock)
        for (auto& [block, channel, sample, line] : expected.lines) block = sample;
    std::sort(expected.lines.begin(), expected.lines.end());
    std::string out = kHeader;
    for (const auto& entry : expected.lines) out += std::get<3>(entry);
    return out;
}

TEST(MirelDecode, PrintsTheHeaderThenOneLinePerRecordOfAFile) {
    const int kFloatWav = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    const struct {
        const char* what;
        int format, rate;
        std::vector<std::vector<float>> channels;
        size_t warnings, lines;
    } cases[] = {
        {"float WAV", kFloatWav, 48000, {ltc(10, 30)}, 0, 30},
        {"16-bit WAV", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, {ltc(10, 30, 0, 44100)}, 0, 30},
        {"24-bit FLAC", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 48000, {ltc(10, 30)}, 0, 30},
        // At 32 kHz a 25 fps bit cell still fits the pulse bounds; at 96 kHz none does.
        {"32 kHz", kFloatWav, 32000, {ltc(10, 30, 0, 32000)}, 1, 30},
        {"96 kHz", kFloatWav, 96000, {ltc(10, 30, 0, 96000)}, 1, 1},
        {"silence", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 48000, {std::vector<float>(48000)}, 0, 1},
        // Different lead-ins put records of later channels at earlier samples of a block.
        {"3 channels", kFloatWav, 48000, {ltc(10, 30, 300), ltc(11, 30), ltc(12, 30, 700)}, 0, 88},
    };
    const Scratch s;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = s.dir + "/" + c.what;
        SF_INFO info{};
        info.samplerate = c.rate, info.channels = int(c.channels.size()), info.format = c.format;
        SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
        ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
        const std::vector<float> values = interleave(c.channels);
        sf_writef_float(file, values.data(), sf_count_t(values.size() / c.channels.size()));
        sf_close(file);

        const Result r = run("'" + path + "'");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(lineCount(r.err), c.warnings) << r.err;
        EXPECT_EQ(r.out, expectedOutput(path));
        EXPECT_EQ(lineCount(r.out), c.lines);  // the first frame of a channel only locks on
        EXPECT_EQ(r.out.find("\t10:00:00:01\tBF480E47\t0\t1\t") != r.out.npos, c.lines > 1);
        EXPECT_EQ(r.out != expectedOutput(path, false), c.channels.size() > 1);
    }
}

TEST(MirelDecode, BadInvocationsExitWithTwoAndSayWhyOnStandardError) {
    const Scratch s;
    const std::string text = s.dir + "/notes.txt";
    std::ofstream(text) << "not audio\n";
    // Each invocation and the text its error must contain.
    const std::pair<std::string, std::string> cases[] = {
        {"", "usage"},
        {"--list extra", "usage"},
        {"--live 0", "--live 0"},
        {"--share", "usage"},
        {"--list --live", "usage"},
        {"-x", "unknown option -x"},
        {"--frobnicate 3", "unknown option --frobnicate"},
        {"'" + text + "' extra", text},
        {"'" + s.dir + "/none.wav'", s.dir + "/none.wav"},
        {"'" + text + "'", text}};
    for (const auto& [args, named] : cases) {
        SCOPED_TRACE("arguments: " + args);
        const Result r = run(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_GE(lineCount(r.err), 1u);
        EXPECT_LE(lineCount(r.err), 2u) << r.err;
        EXPECT_NE(r.err.find(named), std::string::npos) << r.err;
    }
}

TEST(MirelDecode, OptionsComeInAnyOrderAndHelpIsNoError) {
    for (const std::string help : {"--help", "-h", "--live --help"}) {
        const Result r = run(help);
        EXPECT_EQ(r.status, 0) << help;
        EXPECT_EQ(r.err, "") << help;
        EXPECT_EQ(r.out.rfind("usage: mirel-decode", 0), 0u) << help << ": " << r.out;
    }
    // No device at all: each order runs its half second and ends normally.
    const Scratch s;
    const std::string env = "ALSA_CONFIG_PATH='" + writeAlsaConfig(s.dir, {}) + "'";
    for (const std::string order : {"--live 0.5 --share", "--share --live 0.5", "0.5 --live"}) {
        const Result r = run(order, env);
        EXPECT_EQ(r.status, 0) << order << ": " << r.err;
        EXPECT_EQ(r.err.find("usage"), std::string::npos) << order << ": " << r.err;
    }
}

// What mirel-ltcgen writes, mirel-decode reads back: every rate, drop frame
// across a minute, each file type, staggered channels and user bits.
TEST(MirelLtcgen, WritesWhatTheDecoderReadsBack) {
    const Scratch s;
    const struct {
        std::string file, args, first, last;
    } cases[] = {
        {"a.wav", "--fps 23.976 --start 01:00:00:00 --seconds 2", "0\t3604\t01:00:00:01",
         "01:00:01:23"},
        {"b.flac", "--fps 29.97 --start '00:00:59;27' --frames 6", "00:00:59:28\t",
         "00:01:00:04\t"},
        {"c.aiff", "--fps 30 --frames 31 --pcm16 --rate 44100", "10:00:00:01", "10:00:01:00\t"},
        {"d.wav", "--fps 24 --frames 3 --channels 2 --stagger --user DEADBEEF",
         "1\t3600\t11:00:00:01\tDEADBEEF", "11:00:00:02"},
        // Headerless float32, as the virtual card plays it: 2 × 4 bytes a frame.
        {"e.raw", "--frames 5 --channels 2", "", ""}};
    for (const auto& [file, args, first, last] : cases) {
        const std::string path = s.dir + "/" + file;
        const std::string command = "'" MIREL_LTCGEN "' '" + path + "' " + args;
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        if (first.empty()) {
            EXPECT_EQ(std::filesystem::file_size(path), 5u * 1920 * 2 * 4);
            continue;
        }
        const Result r = run("'" + path + "'");
        EXPECT_EQ(r.status, 0) << args << r.err;
        EXPECT_NE(r.out.find(first), std::string::npos) << args << "\n" << r.out;
        EXPECT_NE(r.out.find(last), std::string::npos) << args << "\n" << r.out;
    }
}

/// Consecutive 25 fps timecodes of hour `hour`, frames `first` to `last`.
std::vector<std::string> consecutive(int hour, int first, int last) {
    std::vector<std::string> timecodes;
    for (int f = first; f <= last; ++f) {
        char text[40];
        std::snprintf(text, sizeof text, "%02d:00:%02d:%02d", hour, f / 25, f % 25);
        timecodes.push_back(text);
    }
    return timecodes;
}

/// A card whose channel c carries LTC from hour `firstHour` + c.
VirtualDevice ltcCard(const std::string& dir, const std::string& name, int channels, int firstHour,
                      int frames, int rate = 48000, double leadInSeconds = 0) {
    std::vector<std::vector<float>> signals;
    for (int c = 0; c < channels; ++c)
        signals.push_back(ltc(firstHour + c, frames, size_t(leadInSeconds * rate), rate));
    writeRawFloat32(dir + "/" + name, interleave(signals));
    return {.name = name, .channels = channels, .rate = rate, .rawFile = dir + "/" + name};
}

/// The timecodes of the live table's records, by id, in order.
std::map<int, std::vector<std::string>> recordsById(const std::string& table) {
    std::map<int, std::vector<std::string>> records;
    std::istringstream lines(table);
    lines.ignore(1000, '\n');
    for (std::string id, sample, timecode; lines >> id >> sample >> timecode;
         lines.ignore(1000, '\n'))
        records[std::stoi(id)].push_back(timecode);
    return records;
}

// Three cards and one that cannot be opened. Every frame on every channel
// arrives, in order, at the decoder named by device position × 100 + channel,
// but on the card unplugged after 0.8 s: the program says so and goes on.
TEST(MirelDecodeLive, ListsAndDecodesEveryChannelOfEveryDeviceTillOneGoesAway) {
    const Scratch s;
    const int frames = 75;
    VirtualDevice gone = ltcCard(s.dir, "ltc_gone", 2, 20, frames);
    gone.loop = true, gone.failAfterMs = 800;
    const std::string config = writeAlsaConfig(
        s.dir, {ltcCard(s.dir, "ltc_stereo", 2, 1, frames),
                {.name = "ltc_missing", .channels = 2, .rawFile = gone.rawFile, .openFails = true},
                ltcCard(s.dir, "ltc_eight", 8, 10, frames, 44100),
                gone});
    const std::string env = "ALSA_CONFIG_PATH='" + config + "'";
    const Result list = run("--list", env);
    EXPECT_EQ(list.status, 0);
    EXPECT_EQ(list.out,
              "position\tname\tmaker\tinputs\n0\tltc_stereo\tALSA\t2\n"
              "1\tltc_eight\tALSA\t8\n2\tltc_gone\tALSA\t2\n");

    const Result live = run("--live 4.5", env);
    ASSERT_EQ(live.status, 0) << live.err;
    EXPECT_NE(live.err.find("Audio device \"ltc_gone\" stopped delivering input"), live.err.npos)
        << live.err;
    std::map<int, std::vector<std::string>> records = recordsById(live.out);
    std::vector<int> ids;
    for (const auto& [id, timecodes] : records) ids.push_back(id);
    EXPECT_EQ(ids, (std::vector{0, 1, 100, 101, 102, 103, 104, 105, 106, 107, 200, 201}));
    for (int c = 0; c < 2; ++c) EXPECT_EQ(records[c], consecutive(1 + c, 1, frames - 1)) << c;
    for (int c = 0; c < 8; ++c) EXPECT_EQ(records[100 + c], consecutive(10 + c, 1, frames - 1));
    EXPECT_LT(records[200].size(), size_t(frames / 2));
}

// A desktop holds a process up for tens of milliseconds now and then (a
// compositor, a browser), and the card records meanwhile: stalls of 150 ms
// lose no frame. One longer than the capture ring loses input, and the
// program says how much.
TEST(MirelDecodeLive, StallsOfAHundredAndFiftyMillisecondsLoseNoFrame) {
    const Scratch s;
    const int frames = 25 * 6;
    const std::string env = "ALSA_CONFIG_PATH='" +
                            writeAlsaConfig(s.dir, {ltcCard(s.dir, "ltc_stalled", 2, 1, frames)}) +
                            "'";
    const auto stalled = [&](const std::string& args, std::chrono::milliseconds stall, int times) {
        std::filesystem::remove(s.dir + "/out");  // the last run's
        const GPid pid = start(s.dir, args, env);
        EXPECT_TRUE(eventually([&] { return lineCount(slurp(s.dir + "/out")) > 10; }));
        for (int i = 0; i < times; ++i) {
            kill(pid, SIGSTOP);
            std::this_thread::sleep_for(stall);
            kill(pid, SIGCONT);
            std::this_thread::sleep_for(800ms);
        }
        EXPECT_EQ(finish(pid), 0);
        return Result{0, slurp(s.dir + "/out"), slurp(s.dir + "/err")};
    };

    const Result brief = stalled("--live 6.5", 150ms, 3);
    std::map<int, std::vector<std::string>> records = recordsById(brief.out);
    for (int c = 0; c < 2; ++c) EXPECT_EQ(records[c], consecutive(1 + c, 1, frames - 1)) << c;
    EXPECT_EQ(brief.err.find("lost"), std::string::npos) << brief.err;

    const Result long_ = stalled("--live 3", 800ms, 1);
    unsigned long long lost = 0;
    const size_t at = long_.err.find("Audio device \"ltc_stalled\" lost ");
    ASSERT_NE(at, std::string::npos) << long_.err;
    std::sscanf(long_.err.c_str() + at, "Audio device \"ltc_stalled\" lost %llu samples", &lost);
    // A card's recovery from an overrun drops what its ring held too: about the stall.
    EXPECT_GT(lost, 48000ull * 6 / 10) << long_.err;
    EXPECT_LT(lost, 48000ull * 12 / 10) << long_.err;
    records = recordsById(long_.out);
    EXPECT_LT(records[0].size(), size_t(3 * 25 - 10));
}

// A copy sharing with its own capture cards and "audioInput".
GPid startCopy(const std::string& dir, const std::vector<VirtualDevice>& cards,
               const std::string& audioInput, const std::string& seconds = "") {
    std::filesystem::create_directories(dir + "/mirel");
    std::ofstream(dir + "/mirel/preferences.json") << nlohmann::json{{"audioInput", audioInput}};
    return start(
        dir, "--live --share " + seconds,
        "ALSA_CONFIG_PATH='" + writeAlsaConfig(dir, cards) + "' XDG_CONFIG_HOME='" + dir + "'");
}

// The share output: "accepted ID TIME …" and "setting KEY VALUE" lines.
struct Shared {
    std::vector<int> ids;
    std::vector<std::string> times;
    std::map<std::string, std::vector<std::string>> settings;
    explicit Shared(const std::string& path) {
        std::istringstream lines(slurp(path));
        for (std::string kind, a, b; lines >> kind >> a >> b; lines.ignore(1000, '\n')) {
            if (kind == "accepted") ids.push_back(std::stoi(a)), times.push_back(b);
            if (kind == "setting") settings[a].push_back(b);
        }
    }
};

// The lead-in lets the first tick find nothing running yet.
TEST(MirelDecodeLive, SharesTheSelectedCardAndReportsRateAndStatus) {
    const Scratch s;
    setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + s.dir + "/no-bus").c_str(), 1);
    const GPid copy = startCopy(
        s.dir,
        {ltcCard(s.dir, "ltc_other", 1, 5, 60), ltcCard(s.dir, "ltc_main", 1, 1, 60, 48000, 1.5)},
        "ltc_main", "6");
    ASSERT_EQ(finish(copy), 0) << slurp(s.dir + "/err");
    const Shared out(s.dir + "/out");
    EXPECT_EQ(out.times, consecutive(1, 1, 59));
    EXPECT_EQ(out.ids, std::vector<int>(59, 100));
    EXPECT_EQ(out.settings.at("fpsString"), std::vector<std::string>{"25"});
    EXPECT_EQ(out.settings.at("timecodeRunning"),
              (std::vector<std::string>{"Stopped", "Running", "Stopped"}));
}

bool runUntil(const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (!done() && std::chrono::steady_clock::now() < end)
        if (!g_main_context_iteration(nullptr, FALSE)) std::this_thread::sleep_for(5ms);
    return done();
}

bool isRunOf(const std::vector<std::string>& part, const std::vector<std::string>& whole) {
    return !part.empty() && std::ranges::search(whole, part).begin() != whole.end();
}

// Copy A shares its card's LTC; copy B takes its time from A over the network
// and shares it in turn with a plain subscriber, C.
TEST(MirelDecodeShareNetwork, ACopyTakingTimeFromTheNetworkPassesItOn) {
    DnsSdDaemon daemon;  // first: it points this process and the copies at the private bus
    ASSERT_TRUE(daemon.start()) << daemon.error();
    const Scratch s;
    const std::string name = "mirel://" + Host::currentName();
    const GPid a = startCopy(s.dir + "/a", {ltcCard(s.dir, "ltc_a", 1, 1, 750)}, "ltc_a");
    struct Sightings : NetServiceBrowserDelegate {
        void netServiceBrowserDidFindService(NetServiceBrowser&,
                                             const std::shared_ptr<NetService>& service,
                                             bool) override {
            names.push_back(service->name());
        }
        void netServiceBrowserDidRemoveService(NetServiceBrowser&,
                                               const std::shared_ptr<NetService>&, bool) override {}
        std::vector<std::string> names;
    } sightings;
    AvahiNetServices dnssd;
    auto browser = dnssd.makeBrowser();
    browser->setDelegate(&sightings);
    browser->searchForServicesOfType("_mirel._udp.", "");
    // B must come second: the name is A's, and B is renamed.
    ASSERT_TRUE(runUntil([&] { return std::ranges::count(sightings.names, name) > 0; }));

    const GPid b = startCopy(s.dir + "/b", {}, name);
    int port = 0;
    ASSERT_TRUE(runUntil([&] {
        const std::string log = slurp(s.dir + "/b/err");
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
    })) << slurp(s.dir + "/b/err");

    ASSERT_EQ(finish(b, SIGTERM), 0) << slurp(s.dir + "/b/err");
    ASSERT_EQ(finish(a, SIGTERM), 0) << slurp(s.dir + "/a/err");
    const Shared fromAudio(s.dir + "/a/out"), fromNetwork(s.dir + "/b/out");
    EXPECT_TRUE(isRunOf(fromNetwork.times, fromAudio.times));
    EXPECT_EQ(fromNetwork.ids, std::vector<int>(fromNetwork.times.size(), -200));
    EXPECT_TRUE(isRunOf(heard, fromNetwork.times));
}

}  // namespace
