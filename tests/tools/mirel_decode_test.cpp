// mirel-decode run as a subprocess on files written here with libsndfile. What
// it should print is worked out in-process with the one-sample step.

#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "decode/TimecodeListener.h"
#include "tests/support/LtcSignal.h"

namespace {

const std::string kHeader = "id\tsample\ttimecode\tuserbits\tdrop\tcolor\tbpm\n";

std::string slurp(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

std::vector<float> ltc(int hours, size_t leadIn, double rate = 48000) {
    LtcSignalOptions o;
    o.sampleRate = rate, o.hours = hours, o.leadInSamples = leadIn, o.frameCount = 30;
    o.colorFrame = true;
    const uint8_t user[8] = {0xB, 0xF, 4, 8, 0, 0xE, 4, 7};
    std::copy(std::begin(user), std::end(user), o.userBits);
    return makeLtcSignal(o).samples;
}

void writeAudio(const std::string& path, int format, int rate,
                const std::vector<std::vector<float>>& channels) {
    size_t frames = 0;
    for (const auto& c : channels) frames = std::max(frames, c.size());
    std::vector<float> interleaved(frames * channels.size(), 0.0f);
    for (size_t c = 0; c < channels.size(); ++c) {
        for (size_t i = 0; i < channels[c].size(); ++i)
            interleaved[i * channels.size() + c] = channels[c][i];
    }
    SF_INFO info{};
    info.samplerate = rate, info.channels = int(channels.size()), info.format = format;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
    sf_writef_float(file, interleaved.data(), sf_count_t(frames));
    sf_close(file);
}

// The callback takes no user value: it learns where it is from these.
std::vector<std::tuple<int64_t, int, int64_t, std::string>> gLines;  // block, channel, sample
int64_t gIndex = 0;

// What the tool should print for a file: each channel decoded from the samples as
// libsndfile reads them back, then ordered block by block and, within a block,
// channel by channel (or, with byBlock false, merely by sample).
std::string expectedOutput(const std::string& path, bool byBlock = true) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    std::vector<float> samples(size_t(info.frames * info.channels));
    sf_readf_float(file, samples.data(), info.frames);
    sf_close(file);
    gLines.clear();
    for (int c = 0; c < info.channels; ++c) {
        TCListener decoder;
        decoder.setCallbackId(
            [](const SMPTE_tc& t) {
                char line[80];
                std::snprintf(line, sizeof line,
                              "%d\t%lld\t%02d:%02d:%02d:%02d\t%X%X%X%X%X%X%X%X\t%d\t%d\t%d\n",
                              t.myId, static_cast<long long>(gIndex), t.h(), t.m(), t.s(), t.f(),
                              t.u1, t.u2, t.u3, t.u4, t.u5, t.u6, t.u7, t.u8, t.dropFrame,
                              t.colorFrame, t.bpm);
                gLines.emplace_back(gIndex / 512, t.myId, gIndex, line);
            },
            c);
        for (gIndex = 0; gIndex < info.frames; ++gIndex)
            sampleStep(decoder, samples[size_t(gIndex * info.channels + c)]);
    }
    if (!byBlock) {
        for (auto& [block, channel, sample, line] : gLines) block = sample;
    }
    std::sort(gLines.begin(), gLines.end());
    std::string out = kHeader;
    for (const auto& entry : gLines) out += std::get<3>(entry);
    return out;
}

size_t lineCount(const std::string& text) {
    return size_t(std::count(text.begin(), text.end(), '\n'));
}

class MirelDecode : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = ::testing::TempDir() + "mirel-decode-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern + "/";
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    struct Result {
        int status;
        std::string out, err;
    };
    Result run(const std::string& args) const {
        const std::string command =
            std::string("'") + MIREL_DECODE + "' " + args + " >'" + dir + "out' 2>'" + dir + "err'";
        const int status = std::system(command.c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(dir + "out"),
                slurp(dir + "err")};
    }
    std::string dir;
};

struct Format {
    const char* name;
    int format, rate;
};
void PrintTo(const Format& f, std::ostream* os) {
    *os << f.name << ", " << f.rate << " Hz";
}
class MirelDecodeFormats : public MirelDecode, public ::testing::WithParamInterface<Format> {};

TEST_P(MirelDecodeFormats, PrintsTheHeaderThenOneLinePerRecord) {
    const std::string file = dir + "mono";
    writeAudio(file, GetParam().format, GetParam().rate, {ltc(10, 0, GetParam().rate)});
    const Result r = run("'" + file + "'");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, expectedOutput(file));
    EXPECT_EQ(lineCount(r.out), 30u);  // the header, and the first of the 30 frames only locks on
    EXPECT_NE(r.out.find("\t10:00:00:01\tBF480E47\t0\t1\t"), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Files, MirelDecodeFormats,
    ::testing::Values(Format{"float WAV", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 48000},
                      Format{"16-bit WAV", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100},
                      Format{"24-bit FLAC", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 48000}));

TEST_F(MirelDecode, ChannelsAreDecodedApartAndReportedBlockByBlock) {
    // Different lead-ins put records of later channels at earlier samples of the same block.
    const std::string file = dir + "three.wav";
    writeAudio(file, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 48000,
               {ltc(10, 300), ltc(11, 0), ltc(12, 700)});
    const Result r = run("'" + file + "'");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, expectedOutput(file));
    EXPECT_EQ(lineCount(r.out), 1u + 3 * 29);
    EXPECT_NE(r.out, expectedOutput(file, false));
}

struct Rate {
    int hz;
    size_t lines;
};
void PrintTo(const Rate& r, std::ostream* os) {
    *os << r.hz << " Hz";
}
class MirelDecodeRates : public MirelDecode, public ::testing::WithParamInterface<Rate> {};

TEST_P(MirelDecodeRates, UnusualRateWarnsOnceAndDecodesAsUsual) {
    const std::string file = dir + "odd-rate.wav";
    writeAudio(file, SF_FORMAT_WAV | SF_FORMAT_FLOAT, GetParam().hz, {ltc(10, 0, GetParam().hz)});
    const Result r = run("'" + file + "'");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(lineCount(r.err), 1u) << r.err;
    EXPECT_EQ(r.out, expectedOutput(file));
    EXPECT_EQ(lineCount(r.out), GetParam().lines);
}

// At 32 kHz a 25 fps bit cell still fits the pulse bounds; at 96 kHz none does.
INSTANTIATE_TEST_SUITE_P(Rates, MirelDecodeRates,
                         ::testing::Values(Rate{32000, 30}, Rate{96000, 1}));

TEST_F(MirelDecode, SilentFilePrintsOnlyTheHeader) {
    const std::string file = dir + "silence.wav";
    writeAudio(file, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 48000, {std::vector<float>(48000, 0.0f)});
    const Result r = run("'" + file + "'");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kHeader);
    EXPECT_EQ(r.err, "");
}

TEST_F(MirelDecode, BadInvocationsExitWithTwoAndOneLineOnStandardError) {
    const std::string good = dir + "good.wav", text = dir + "notes.txt", missing = dir + "none.wav";
    writeAudio(good, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 48000, {ltc(10, 0)});
    std::ofstream(text) << "not audio\n";
    // Each invocation and the text its error line must contain.
    const std::pair<std::string, std::string> cases[] = {{"", "usage"},
                                                         {"'" + good + "' extra", good},
                                                         {"'" + missing + "'", missing},
                                                         {"'" + text + "'", text}};
    for (const auto& [args, named] : cases) {
        SCOPED_TRACE("arguments: " + args);
        const Result r = run(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(lineCount(r.err), 1u) << r.err;
        EXPECT_NE(r.err.find(named), std::string::npos) << r.err;
    }
}

}  // namespace
