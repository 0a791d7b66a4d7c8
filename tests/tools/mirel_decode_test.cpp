// mirel-decode as a user runs it: on files from mirel-ltcgen (its test too) or libsndfile, checked
// against the one-sample step; listing, live and sharing on virtual ALSA cards, in real time.

#include <glib.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
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
#include "tests/network/UdpPeer.h"
#include "tests/platform/MainLoop.h"
#include "tests/platform/TempFolder.h"
#include "tests/support/DnsSdDaemon.h"
#include "tools/LtcSignal.h"
#include "tools/virtual-card/VirtualCard.h"

using namespace std::chrono_literals;

namespace {

std::string slurp(const std::string& path) {
    return {std::istreambuf_iterator<char>(std::ifstream(path).rdbuf()), {}};
}

size_t lineCount(const std::string& text) {
    return size_t(std::count(text.begin(), text.end(), '\n'));
}

GPid start(const std::string& dir, const std::string& args, const std::string& env = "") {
    const std::string command =
        env + " exec '" MIREL_DECODE "' " + args + " >'" + dir + "/out' 2>'" + dir + "/err'";
    const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
    GPid pid = 0;  // it dies with the test: a failed assertion must not leave a copy running
    g_spawn_async(
        nullptr, const_cast<char**>(argv), nullptr, G_SPAWN_DO_NOT_REAP_CHILD,
        [](gpointer) { prctl(PR_SET_PDEATHSIG, SIGKILL); }, nullptr, &pid, nullptr);
    return pid;
}

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
    const TempFolder s;
    const int status = finish(start(s.path(), args, env));
    return {status, slurp(s / "out"), slurp(s / "err")};
}

/// 25 fps LTC from `hours`:00:00:00, user bits BF480E47 and colour flag, after `leadIn` zeros.
std::vector<float> ltc(int hours, int frames, size_t leadIn = 0, int rate = 48000) {
    LtcSignalOptions o{.sampleRate = double(rate), .colorFrame = true, .hours = hours};
    o.frameCount = frames, o.leadInSamples = leadIn;
    std::ranges::copy(std::initializer_list<uint8_t>{0xB, 0xF, 4, 8, 0, 0xE, 4, 7}, o.userBits);
    return makeLtcSignal(o).samples;
}

std::string alsaEnv(const std::string& dir, const std::vector<VirtualDevice>& cards) {
    return "ALSA_CONFIG_PATH='" + writeAlsaConfig(dir, cards) + "'";
}

/// The shorter channels padded with silence.
std::vector<float> interleave(const std::vector<std::vector<float>>& channels) {
    const size_t frames = std::ranges::max(channels, {}, std::ranges::size).size();
    std::vector<float> values(frames * channels.size(), 0.0f);
    for (size_t c = 0; c < channels.size(); ++c)
        for (size_t i = 0; i < channels[c].size(); ++i)
            values[i * channels.size() + c] = channels[c][i];
    return values;
}

struct Lines {
    std::string text = "id\tsample\ttimecode\tuserbits\tdrop\tcolor\tbpm\n";
    sf_count_t at = 0;  ///< the sample being fed
    static void add(const SMPTE_tc& t, void* self) noexcept {
        auto& o = *static_cast<Lines*>(self);
        char line[80];
        std::snprintf(line, sizeof line,
                      "%d\t%lld\t%02d:%02d:%02d:%02d\t%X%X%X%X%X%X%X%X\t%d\t%d\t%d\n", t.myId,
                      static_cast<long long>(o.at), t.h(), t.m(), t.s(), t.f(), t.u1, t.u2, t.u3,
                      t.u4, t.u5, t.u6, t.u7, t.u8, t.dropFrame, t.colorFrame, t.bpm);
        o.text += line;
    }
};

// What the tool should print for a file: the samples as libsndfile reads them back, fed to the
// one-sample step block by block, then channel by channel.
std::string expectedOutput(const std::string& path, sf_count_t block = 512) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    std::vector<float> samples(size_t(info.frames * info.channels));
    sf_readf_float(file, samples.data(), info.frames);
    sf_close(file);
    Lines out;
    std::vector<TCListener> decoders(size_t(info.channels));
    for (int c = 0; c < info.channels; ++c) {
        decoders[size_t(c)].setSampleRate(info.samplerate);
        decoders[size_t(c)].setCallbackId(Lines::add, c, &out);
    }
    for (sf_count_t first = 0; first < info.frames; first += block)
        for (int c = 0; c < info.channels; ++c)
            for (out.at = first; out.at < std::min(first + block, info.frames); ++out.at)
                sampleStep(decoders[size_t(c)], samples[size_t(out.at * info.channels + c)]);
    return out.text;
}

// Files from mirel-ltcgen, and one written here whose channels start after different lead-ins so
// later channels' records fall earlier in a block. Each output is the one-sample step's, as asked.
TEST(MirelDecode, PrintsTheHeaderThenOneLinePerRecordOfAFile) {
    const TempFolder s;
    const auto ltcgen = [&](const std::string& file, const std::string& args) {
        return std::system(("'" MIREL_LTCGEN "' '" + s / file + "' " + args).c_str());
    };
    const std::string three = s / "three.wav";
    SF_INFO info{0, 48000, 3, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 0, 0};  // 48 kHz, 3 channels
    SNDFILE* file = sf_open(three.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
    const std::vector<float> values = interleave({ltc(10, 30, 300), ltc(11, 30), ltc(12, 30, 700)});
    sf_writef_float(file, values.data(), sf_count_t(values.size() / 3));
    sf_close(file);
    const struct {
        std::string file, ltcgen;
        size_t warnings, lines;  // the first frame of a channel only locks on
        std::string first, last;
    } cases[] = {
        {"a.wav", "--fps 23.976 --start 01:00:00:00 --seconds 2", 0, 48,
         "0\t3604\t01:00:00:01\t00000000\t0\t0\t", "01:00:01:23"},
        {"b.flac", "--fps 29.97 --start '00:00:59;27' --frames 6", 0, 6,
         "00:00:59:28\t00000000\t1\t", "00:01:00:04\t"},
        {"c.aiff", "--fps 30 --frames 31 --pcm16 --rate 44100", 0, 31, "10:00:00:01",
         "10:00:01:00\t"},
        {"d.wav", "--fps 24 --frames 3 --channels 2 --stagger --user DEADBEEF", 0, 5,
         "1\t3600\t11:00:00:01\tDEADBEEF", "11:00:00:02"},
        // At 32 kHz a 25 fps bit cell still fits the pulse bounds, but a 30 fps one does not,
        // which is said; above 48 kHz the bounds follow the rate; at 22.05 kHz nothing fits.
        {"e.wav", "--frames 30 --rate 32000", 1, 30, "10:00:00:01", "10:00:01:04"},
        {"f.wav", "--frames 30 --rate 96000", 0, 30, "10:00:00:01", "10:00:01:04"},
        {"f3.wav", "--frames 30 --rate 22050", 1, 1, "", ""},
        {"silence.wav", "--frames 0 --lead-in 48000 --pcm16", 0, 1, "", ""},
        {"three.wav", "", 0, 88, "\t10:00:00:01\tBF480E47\t0\t1\t", "12:00:01:04"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file + " " + c.ltcgen);
        const std::string path = s / c.file;
        ASSERT_TRUE(c.ltcgen.empty() || ltcgen(c.file, c.ltcgen) == 0);
        const Result r = run("'" + path + "'");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(lineCount(r.err), c.warnings) << r.err;
        EXPECT_EQ(r.out, expectedOutput(path));
        EXPECT_EQ(lineCount(r.out), c.lines);
        EXPECT_NE(r.out.find(c.first), r.out.npos) << r.out;
        EXPECT_NE(r.out.find(c.last), r.out.npos) << r.out;
    }
    EXPECT_NE(expectedOutput(three), expectedOutput(three, 1)) << "blocks order the lines";
    // Headerless float32, as the virtual card plays it: 2 × 4 bytes a frame.
    ASSERT_EQ(ltcgen("g.raw", "--frames 5 --channels 2"), 0);
    EXPECT_EQ(std::filesystem::file_size(s / "g.raw"), 5u * 1920 * 2 * 4);
}

// Bad invocations exit with 2, saying why in a line or two; options come in any order; help is no
// error. With no device, live runs end normally, sharing without a system bus (off the network).
TEST(MirelDecode, EachInvocationEndsWithItsStatusAndSaysWhyOnStandardError) {
    const TempFolder s;
    const std::string text = s / "notes.txt", none = s / "none.wav";
    std::ofstream(text) << "not audio\n";
    const std::string env =
        alsaEnv(s.path(), {}) + " DBUS_SYSTEM_BUS_ADDRESS='unix:path=" + s / "no-bus" + "'";
    // Each invocation, its status, and what its error holds or its output starts with.
    const std::tuple<std::string, int, std::string> cases[] = {
        {"", 2, "usage"},
        {"--list extra", 2, "usage"},
        {"--live 0", 2, "--live 0"},
        {"--share", 2, "usage"},
        {"--list --live", 2, "usage"},
        {"-x", 2, "unknown option -x"},
        {"--frobnicate 3", 2, "unknown option --frobnicate"},
        {"'" + text + "' extra", 2, text},
        {"'" + none + "'", 2, none},
        {"'" + text + "'", 2, text},
        {"--help", 0, "usage: mirel-decode"},
        {"-h", 0, "usage: mirel-decode"},
        {"--live --help", 0, "usage: mirel-decode"},
        {"--live 0.5 --share", 0, ""},
        {"--share --live 0.5", 0, ""},
        {"0.5 --live", 0, ""}};
    for (const auto& [args, status, says] : cases) {
        SCOPED_TRACE("arguments: " + args);
        const Result r = run(args, env);
        EXPECT_EQ(r.status, status) << r.err;
        if (status == 0) {
            EXPECT_EQ(r.out.rfind(says, 0), 0u) << r.out;
            EXPECT_EQ(r.err.find("usage"), r.err.npos) << r.err;
            continue;
        }
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(lineCount(r.err) == 1 || lineCount(r.err) == 2) << r.err;
        EXPECT_NE(r.err.find(says), r.err.npos) << r.err;
    }
}

/// 25 fps.
std::vector<std::string> consecutive(int hour, int first, int last) {
    std::vector<std::string> timecodes;
    char text[40];
    for (int f = first; f <= last; ++f)
        timecodes.emplace_back(
            text, std::snprintf(text, sizeof text, "%02d:00:%02d:%02d", hour, f / 25, f % 25));
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

std::map<int, std::vector<std::string>> recordsById(const std::string& table) {
    std::map<int, std::vector<std::string>> records;
    std::istringstream lines(table);
    lines.ignore(1000, '\n');
    for (std::string id, sample, tc; lines >> id >> sample >> tc; lines.ignore(1000, '\n'))
        records[std::stoi(id)].push_back(tc);
    return records;
}

// Four cards, one at 96 kHz, and one that cannot be opened: every frame of every channel arrives in
// order, as device position × 100 + channel, but on the card unplugged after 0.8 s, which is said.
TEST(MirelDecodeLive, ListsAndDecodesEveryChannelOfEveryDeviceTillOneGoesAway) {
    const TempFolder s;
    const int frames = 75;
    VirtualDevice gone = ltcCard(s.path(), "ltc_gone", 2, 20, frames);
    gone.loop = true, gone.failAfterMs = 800;
    const std::string env =
        alsaEnv(s.path(),
                {ltcCard(s.path(), "ltc_stereo", 2, 1, frames),
                 {.name = "ltc_missing", .channels = 2, .rawFile = gone.rawFile, .openFails = true},
                 ltcCard(s.path(), "ltc_eight", 8, 10, frames, 44100),
                 gone,
                 ltcCard(s.path(), "ltc_fast", 2, 3, frames, 96000)});
    const Result list = run("--list", env);
    EXPECT_EQ(list.status, 0);
    EXPECT_EQ(list.out,
              "position\tname\tmaker\tinputs\n0\tltc_stereo\tALSA\t2\n"
              "1\tltc_eight\tALSA\t8\n2\tltc_gone\tALSA\t2\n3\tltc_fast\tALSA\t2\n");

    const Result live = run("--live 4.5", env);
    ASSERT_EQ(live.status, 0) << live.err;
    EXPECT_NE(live.err.find("Audio device \"ltc_gone\" stopped delivering input"), live.err.npos)
        << live.err;
    auto records = recordsById(live.out);
    std::vector<int> ids;
    for (const auto& [id, timecodes] : records) ids.push_back(id);
    EXPECT_EQ(ids, (std::vector{0, 1, 100, 101, 102, 103, 104, 105, 106, 107, 200, 201, 300, 301}));
    for (const auto& [card, hour, channels] : {std::tuple{0, 1, 2}, {1, 10, 8}, {3, 3, 2}})
        for (int c = 0; c < channels; ++c)
            EXPECT_EQ(records[card * 100 + c], consecutive(hour + c, 1, frames - 1)) << card << c;
    EXPECT_LT(records[200].size(), size_t(frames / 2));
}

// A desktop holds a process up now and then while the card records: stalls of 150 ms lose no
// frame; one longer than the capture ring loses input, and the program says how much.
TEST(MirelDecodeLive, StallsOfAHundredAndFiftyMillisecondsLoseNoFrame) {
    const TempFolder s;
    const int frames = 25 * 6;
    const std::string env = alsaEnv(s.path(), {ltcCard(s.path(), "ltc_stalled", 2, 1, frames)});
    const auto stalled = [&](const std::string& args, std::chrono::milliseconds stall, int times) {
        std::filesystem::remove(s / "out");  // the last run's
        const GPid pid = start(s.path(), args, env);
        EXPECT_TRUE(runMainLoopUntil([&] { return lineCount(slurp(s / "out")) > 10; }));
        for (int i = 0; i < times; ++i) {
            kill(pid, SIGSTOP);
            std::this_thread::sleep_for(stall);
            kill(pid, SIGCONT);
            std::this_thread::sleep_for(800ms);
        }
        EXPECT_EQ(finish(pid), 0);
        return Result{0, slurp(s / "out"), slurp(s / "err")};
    };

    const Result brief = stalled("--live 6.5", 150ms, 3);
    auto records = recordsById(brief.out);
    for (int c = 0; c < 2; ++c) EXPECT_EQ(records[c], consecutive(1 + c, 1, frames - 1)) << c;
    EXPECT_EQ(brief.err.find("lost"), std::string::npos) << brief.err;

    const Result long_ = stalled("--live 3", 800ms, 1);
    unsigned long long lost = 0;
    const size_t at = long_.err.find("Audio device \"ltc_stalled\" lost ");
    ASSERT_NE(at, std::string::npos) << long_.err;
    std::sscanf(long_.err.c_str() + at, "Audio device \"ltc_stalled\" lost %llu samples", &lost);
    // A card's recovery from an overrun drops what its ring held too: about the stall.
    EXPECT_TRUE(lost > 48000ull * 6 / 10 && lost < 48000ull * 12 / 10) << long_.err;
    EXPECT_LT(recordsById(long_.out)[0].size(), size_t(3 * 25 - 10));
}

GPid startCopy(const std::string& dir, const std::vector<VirtualDevice>& cards,
               const std::string& audioInput) {
    std::filesystem::create_directories(dir + "/mirel");
    std::ofstream(dir + "/mirel/preferences.json") << nlohmann::json{{"audioInput", audioInput}};
    return start(dir, "--live --share", alsaEnv(dir, cards) + " XDG_CONFIG_HOME='" + dir + "'");
}

// The share output: "accepted ID TIME USERBITS DROP COLOUR BPM" and "setting KEY VALUE" lines.
// A copy sends zeros until it has a value, and one following it accepts them: left out here.
struct Shared {
    std::vector<std::string> times, columns;      ///< columns: the id and what follows the time
    std::map<std::string, std::string> settings;  ///< each key's values, each followed by a space
    explicit Shared(const std::string& path) {
        std::istringstream lines(slurp(path));
        for (std::string kind, a, b, rest; lines >> kind >> a >> b && std::getline(lines, rest);) {
            if (kind == "setting") settings[a].append(b).append(" ");
            if (kind != "accepted" || b == "00:00:00:00") continue;
            times.push_back(b);
            columns.push_back(a + rest);
        }
    }
};

// Copy A shares the card "audioInput" names, not the other, which has LTC from the start.
// Copy B, renamed on the same host, takes A's time over the network for longer than a
// subscription lasts unrenewed, passing it on to a plain subscriber, C. Both end on SIGTERM.
TEST(MirelDecodeShareNetwork, ACopyTakingTimeFromTheNetworkPassesItOn) {
    DnsSdDaemon daemon;  // first: it points this process and the copies at the private bus
    ASSERT_TRUE(daemon.start()) << daemon.error();
    const TempFolder s;
    const std::string name = "mirel://" + Host::currentName();
    VirtualDevice other = ltcCard(s.path(), "ltc_other", 1, 5, 100);
    other.loop = true;
    // The lead-in lets A's first tick find nothing running yet.
    const GPid a = startCopy(s / "a", {other, ltcCard(s.path(), "ltc_main", 1, 1, 1500, 48000, 3)},
                             "ltc_main");
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
    ASSERT_TRUE(runMainLoopUntil([&] { return std::ranges::count(sightings.names, name) > 0; }))
        << slurp(s / "a/err");

    const GPid b = startCopy(s / "b", {}, name);
    int port = 0;
    ASSERT_TRUE(runMainLoopUntil([&] {
        const std::string log = slurp(s / "b/err");
        const size_t at = log.find("Listening on port #");
        return (port = at == std::string::npos ? 0 : std::atoi(log.c_str() + at + 19)) != 0;
    }));
    // B sends zeros before its first value and repeats its last when idle: C counts new values
    // only. Seven seconds outlast the five after which A drops a subscriber that does not renew.
    UdpPeer c;
    std::vector<std::string> heard;
    const auto sevenSeconds = [&] {
        c.sendTo(port, "TCMDPing: #42\n");
        for (auto datagram = c.receive(1s); datagram; datagram = c.receive(0ms)) {
            std::string time = datagram->substr(datagram->find("TC: ") + 4, 11);
            time[8] = ':';
            if (time != "00:00:00:00" && (heard.empty() || heard.back() != time))
                heard.push_back(time);
        }
        return heard.size() >= 175;
    };
    ASSERT_TRUE(runMainLoopUntil(sevenSeconds, 60s)) << heard.size() << " values\n"
                                                     << slurp(s / "b/err");

    ASSERT_EQ(finish(b, SIGTERM), 0) << slurp(s / "b/err");
    ASSERT_EQ(finish(a, SIGTERM), 0) << slurp(s / "a/err");
    const Shared fromAudio(s / "a/out"), fromNetwork(s / "b/out");
    const size_t n = fromAudio.times.size();
    EXPECT_EQ(fromAudio.times, consecutive(1, 1, int(n)));
    EXPECT_EQ(fromAudio.columns, std::vector<std::string>(n, "100\tBF480E47\t0\t1\t0"));
    EXPECT_EQ(fromAudio.settings.at("fpsString"), "25 ");
    EXPECT_EQ(fromAudio.settings.at("timecodeRunning").substr(0, 16), "Stopped Running ");

    // A resends its last value to B as B does to C.
    std::vector<std::string> relayed = fromNetwork.times;
    relayed.erase(std::unique(relayed.begin(), relayed.end()), relayed.end());
    ASSERT_FALSE(std::ranges::search(relayed, heard).empty()) << "C hears a stretch of B's values";
    // The user bits travel; the colour flag and bpm never do.
    EXPECT_EQ(fromNetwork.columns,
              std::vector<std::string>(fromNetwork.columns.size(), "-200\tBF480E47\t0\t0\t0"));
    // A busy B may pass over some of A's values, ordered as times are, and says so at its next
    // tick, which a gap in its last second may never reach.
    EXPECT_TRUE(std::ranges::is_sorted(relayed) && std::ranges::includes(fromAudio.times, relayed));
    const std::ranges::subrange early(relayed.begin(), relayed.end() - 25);
    EXPECT_TRUE(slurp(s / "b/err").find("Passed over") != std::string::npos ||
                !std::ranges::search(fromAudio.times, early).empty());
}

}  // namespace
