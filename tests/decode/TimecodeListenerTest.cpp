// The LTC decoder from single pulses up to whole signals made by libltc's
// encoder, whose own decoder also gives a second opinion.

#include <gtest/gtest.h>
#include <ltc.h>

#include <algorithm>
#include <bitset>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <new>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "decode/TimecodeListener.h"
#include "tests/support/CountingAllocator.h"
#include "tests/support/LtcSignal.h"

namespace {

// The callback takes no user value, so what it receives goes to globals.
std::vector<SMPTE_tc> gRecords, gOtherRecords;
std::vector<size_t> gDeliveredAt;  ///< gSampleIndex when each record arrived
size_t gSampleIndex = 0;
long gCount = 0;

void collect(const SMPTE_tc& tc) {
    gRecords.push_back(tc);
    gDeliveredAt.push_back(gSampleIndex);
}

// Where each field sits among the 64 data bits, by the LTC bit assignment.
struct Group {
    const char* name;
    int32_t SMPTE_tc::*field;
    int first, width;
};
constexpr Group kGroups[] = {
    {"fu", &SMPTE_tc::fu, 0, 4},  {"u1", &SMPTE_tc::u1, 4, 4},  {"ft", &SMPTE_tc::ft, 8, 2},
    {"u2", &SMPTE_tc::u2, 12, 4}, {"su", &SMPTE_tc::su, 16, 4}, {"u3", &SMPTE_tc::u3, 20, 4},
    {"st", &SMPTE_tc::st, 24, 3}, {"u4", &SMPTE_tc::u4, 28, 4}, {"mu", &SMPTE_tc::mu, 32, 4},
    {"u5", &SMPTE_tc::u5, 36, 4}, {"mt", &SMPTE_tc::mt, 40, 3}, {"u6", &SMPTE_tc::u6, 44, 4},
    {"hu", &SMPTE_tc::hu, 48, 4}, {"u7", &SMPTE_tc::u7, 52, 4}, {"ht", &SMPTE_tc::ht, 56, 2},
    {"u8", &SMPTE_tc::u8, 60, 4},
};
struct Flag {
    const char* name;
    bool SMPTE_tc::*field;
    int bit;
};
constexpr Flag kFlags[] = {{"drop", &SMPTE_tc::dropFrame, 10},
                           {"color", &SMPTE_tc::colorFrame, 11},
                           {"bpm", &SMPTE_tc::bpm, 27}};

// Every field by name, so a failure shows which one differs.
std::string describe(const SMPTE_tc& t) {
    std::string s = "id " + std::to_string(t.myId);
    for (const Group& g : kGroups)
        s += std::string(" ") + g.name + " " + std::to_string(t.*g.field);
    for (const Flag& f : kFlags) s += std::string(" ") + f.name + " " + std::to_string(t.*f.field);
    return s;
}
std::vector<std::string> describe(const std::vector<SMPTE_tc>& records) {
    std::vector<std::string> out(records.size());
    std::transform(records.begin(), records.end(), out.begin(),
                   [](auto& t) { return describe(t); });
    return out;
}

std::bitset<64> dataBits(const SMPTE_tc& t) {
    std::bitset<64> bits;
    for (const Group& g : kGroups) {
        for (int b = 0; b < g.width; ++b) bits[size_t(g.first + b)] = ((t.*g.field >> b) & 1) != 0;
    }
    for (const Flag& f : kFlags) bits[size_t(f.bit)] = t.*f.field;
    return bits;
}

// 23:59:59:2x with user bits BF480E47, colour frame and bit 27 set.
SMPTE_tc sampleRecord(int32_t frameUnits = 9) {
    SMPTE_tc t{};
    t.myId = 7;
    t.ht = 2, t.hu = 3, t.mt = 5, t.mu = 9, t.st = 5, t.su = 9, t.ft = 2, t.fu = frameUnits;
    t.u1 = 0xB, t.u2 = 0xF, t.u3 = 4, t.u4 = 8, t.u5 = 0, t.u6 = 0xE, t.u7 = 4, t.u8 = 7;
    t.colorFrame = t.bpm = true;
    return t;
}

// Biphase mark as pulse lengths: a 0 bit is one long pulse, a 1 bit two short ones.
using Pulses = std::vector<unsigned char>;
struct Shape {
    unsigned char shortLen = 10, longLen = 20;
};
template <size_t N>
Pulses pulsesOf(const std::bitset<N>& bits, Shape s = {}) {
    Pulses p;
    for (size_t n = 0; n < N; ++n)
        p.insert(p.end(), bits[n] ? 2 : 1, bits[n] ? s.shortLen : s.longLen);
    return p;
}
Pulses syncWord(Shape s = {}) {
    return pulsesOf(std::bitset<16>("1011111111111100"), s);  // sent right to left
}
Pulses framePulses(const SMPTE_tc& t, Shape s = {}) {
    Pulses p = syncWord(s);
    const Pulses data = pulsesOf(dataBits(t), s);
    p.insert(p.end(), data.begin(), data.end());
    return p;
}
void feed(TCListener& d, const Pulses& pulses) {
    for (unsigned char length : pulses) d.addPulse(length);
}

class Decoding : public ::testing::Test {
protected:
    void SetUp() override {
        gRecords.clear(), gOtherRecords.clear(), gDeliveredAt.clear();
        decoder.setCallbackId(collect, 7);
    }
    TCListener decoder;
};
using PulseDecoding = Decoding;

TEST_F(PulseDecoding, SyncWordThenSixtyFourBitsGiveOneRecord) {
    feed(decoder, Pulses(5, 20));  // valid pulses ahead of the sync word only slide through
    Pulses pulses = framePulses(sampleRecord());
    feed(decoder, Pulses(pulses.begin(), pulses.begin() + 29));
    EXPECT_EQ(decoder.frame.pulseCount, 29);
    feed(decoder, Pulses(pulses.begin() + 29, pulses.end() - 1));
    EXPECT_TRUE(gRecords.empty());
    decoder.addPulse(pulses.back());
    EXPECT_EQ(describe(gRecords), describe(std::vector{sampleRecord()}));
}

TEST_F(PulseDecoding, EachDataBitLandsInItsFieldLeastSignificantFirst) {
    // n == 64 is the frame of all zero bits; bits 43, 58 and 59 belong to no field.
    for (int n = 0; n <= 64; ++n) {
        SCOPED_TRACE("LTC bit " + std::to_string(n));
        SMPTE_tc expected{};
        expected.myId = 7;
        for (const Group& g : kGroups) {
            if (n >= g.first && n < g.first + g.width) expected.*g.field = 1 << (n - g.first);
        }
        for (const Flag& f : kFlags) expected.*f.field = expected.*f.field || n == f.bit;
        std::bitset<64> bits;
        if (n < 64) bits[size_t(n)] = true;
        TCListener fresh;
        fresh.setCallbackId(collect, 7);
        gRecords.clear();
        feed(fresh, syncWord());
        feed(fresh, pulsesOf(bits));
        EXPECT_EQ(describe(gRecords), describe(std::vector{expected}));
    }
}

TEST_F(PulseDecoding, InvalidDigitsAreDeliveredAsTheyStand) {
    SMPTE_tc odd{};
    odd.myId = 7;
    odd.ht = 3, odd.hu = 15, odd.mt = 7, odd.mu = 12, odd.st = 7, odd.su = 10;
    odd.ft = 1, odd.fu = 15;
    feed(decoder, framePulses(odd));
    ASSERT_EQ(describe(gRecords), describe(std::vector{odd}));
    const SMPTE_tc& got = gRecords[0];
    EXPECT_EQ(std::vector({got.h(), got.m(), got.s(), got.f()}), std::vector({45, 82, 80, 25}));
}

struct Classification {
    Shape shape;
    bool decodes;
};
void PrintTo(const Classification& c, std::ostream* os) {
    *os << "short " << int(c.shape.shortLen) << ", long " << int(c.shape.longLen);
}
class PulseClassification : public Decoding,
                            public ::testing::WithParamInterface<Classification> {};

TEST_P(PulseClassification, DecidesWhetherAFrameDecodes) {
    feed(decoder, framePulses(sampleRecord(), GetParam().shape));
    ASSERT_EQ(gRecords.size(), GetParam().decodes ? 1u : 0u);
    for (const SMPTE_tc& record : gRecords) EXPECT_EQ(describe(record), describe(sampleRecord()));
}

INSTANTIATE_TEST_SUITE_P(Bounds, PulseClassification,
                         ::testing::Values(Classification{{14, 15}, true},     // 14 short, 15 long
                                           Classification{{4, 39}, true},      // valid extremes
                                           Classification{{3, 20}, false},     // 3 too short
                                           Classification{{10, 40}, false},    // 40 too long
                                           Classification{{15, 20}, false},    // no short pulse
                                           Classification{{10, 14}, false}));  // no long pulse

TEST_F(PulseDecoding, OddShortRunEmptiesTheWindowBeforeTheLongPulse) {
    feed(decoder, {20, 20, 10, 10, 10, 20});
    EXPECT_EQ(decoder.frame.pulseCount, 1);
    EXPECT_EQ(decoder.frame.pulseWindow[0].length, 20u);

    // Mid-frame, a lost half of a 1 bit drops the frame rather than shifting its bits.
    // Frame units 9 start the data with a 1 bit, right after the 29 pulses of the sync word.
    Pulses broken = framePulses(sampleRecord(9));
    broken.erase(broken.begin() + 29);
    feed(decoder, broken);
    feed(decoder, framePulses(sampleRecord(3)));
    EXPECT_EQ(describe(gRecords), describe(std::vector{sampleRecord(3)}));
}

TEST_F(PulseDecoding, DropoutLosesOnlyTheFrameItHits) {
    // Frame units 2 start the data with 0, 1: the dropout comes between the halves of that 1.
    Pulses hit = framePulses(sampleRecord(2));
    hit.insert(hit.begin() + 29 + 2, 101);
    for (const Pulses& p : {framePulses(sampleRecord(1)), hit, framePulses(sampleRecord(3))})
        feed(decoder, p);
    EXPECT_EQ(describe(gRecords), describe(std::vector{sampleRecord(1), sampleRecord(3)}));
}

TEST_F(PulseDecoding, NullCallbackDecodesAndDrops) {
    TCListener silent;
    silent.setCallbackId(nullptr, 3);
    feed(silent, framePulses(sampleRecord()));
    EXPECT_EQ(silent.frame.pulseCount, 0);  // the frame was completed and the window emptied
    EXPECT_EQ(silent.frame.bitIndex, 0);
}

// Lengths of the pulses the one-sample step hands on. A pulse is stored where
// pulseCount pointed before it, so a zero put there first shows whether one came.
// Meant for signals of long pulses only, which never bring the framing marker.
std::vector<int> stepPulses(TCListener& d, const std::vector<float>& samples) {
    std::vector<int> lengths;
    for (float x : samples) {
        manchesterPulse& next = d.frame.pulseWindow[d.frame.pulseCount];
        next.length = 0;
        sampleStep(d, x);
        if (next.length != 0) lengths.push_back(int(next.length));
    }
    return lengths;
}
void append(std::vector<float>& v, size_t n, float x) {
    v.insert(v.end(), n, x);
}

using SampleStep = Decoding;

TEST_F(SampleStep, PulseRunsFromAfterOneEdgeToTheNextAndSilenceRestartsTheCount) {
    std::vector<float> x;
    append(x, 19, 0.0f), append(x, 1, 1.0f);   // 20
    append(x, 24, 0.0f), append(x, 1, -1.0f);  // 25
    append(x, 250, 0.0f), append(x, 1, 1.0f);  // 101 of silence, and 49 after two restarts
    EXPECT_EQ(stepPulses(decoder, x), (std::vector{20, 25, 101, 49}));
}

TEST_F(SampleStep, DeadBandGivesOneSilencePulseThenNoneAndItsLimitsMakeNoEdge) {
    const float limit = TCListener::kEdgeThreshold;
    const float deadBand[] = {0.0f, limit, -limit, limit / 2, -0.0f, 1e-30f};
    std::vector<float> x;
    for (size_t i = 0; i < 101 * 100 + 14; ++i) x.push_back(deadBand[i % 6]);
    append(x, 1, std::nextafter(limit, 1.0f));                           // edge after 15
    append(x, 19, -limit), append(x, 1, std::nextafter(-limit, -1.0f));  // edge after 20
    EXPECT_EQ(stepPulses(decoder, x), (std::vector{101, 15, 20}));
}

TEST_F(SampleStep, NanMakesNoEdgeAndCountsLikeTheDeadBand) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    std::vector<float> x;
    append(x, 20, nan), append(x, 3, 0.5f), append(x, 15, nan), append(x, 1, -0.5f);
    append(x, 300, nan), append(x, 1, 0.5f), append(x, 40, nan), append(x, 1, -0.5f);
    EXPECT_EQ(stepPulses(decoder, x), (std::vector{21, 18, 101, 99, 41}));
}

// Every field the sample step and the pulse path keep, for comparing two decoders.
std::string stateOf(const TCListener& d) {
    const _ManchesterFrame& f = d.frame;
    std::ostringstream s;
    s << d.signPositive << ' ' << d.samplesSinceEdge << ' ' << d.silenceReported << " | "
      << f.shortRun << ' ' << f.pulseCount << ' ' << f.bitIndex << ' ' << f.halfBitPending << " |";
    for (bool bit : f.frameBits) s << bit;
    for (int i = 0; i <= f.pulseCount; ++i) {  // one past: where the next pulse goes
        const manchesterPulse& p = f.pulseWindow[i];
        s << ' ' << p.length << (p.isShort ? 's' : 'l') << (p.isValid ? "" : "!");
    }
    return s.str();
}

// Stretches of LTC, NaN, silence around the 101-sample limit, dead-band values,
// noise and square waves of every pulse length, in random order.
std::vector<float> awkwardSignal(std::mt19937& rng, size_t length) {
    static const std::vector<float> ltc = makeLtcSignal({}).samples;  // 100 frames
    const float limit = TCListener::kEdgeThreshold;
    auto upTo = [&](size_t n) { return size_t(rng() % n) + 1; };
    auto within = [&](float bound) { return std::uniform_real_distribution(-bound, bound)(rng); };
    std::vector<float> x;
    while (x.size() < length) {
        const unsigned kind = rng() % 7;
        const size_t start = rng() % (ltc.size() - 12000), run = kind == 5 ? 1 : upTo(120);
        if (kind == 0) x.insert(x.end(), &ltc[start], &ltc[start + 3000 + upTo(9000)]);
        if (kind == 1) append(x, upTo(150), std::numeric_limits<float>::quiet_NaN());
        if (kind == 2) append(x, 90 + upTo(300), 0.0f);
        if (kind == 3) append(x, upTo(50), rng() % 2 != 0 ? limit : -limit);
        for (size_t n = kind == 4 ? upTo(400) : 0; n > 0; --n) x.push_back(within(limit));
        for (size_t n = kind >= 5 ? upTo(kind == 5 ? 300 : 40) : 0; n > 0; --n)
            append(x, run, within(1));
    }
    return x;
}

class BlockStep : public Decoding, public ::testing::WithParamInterface<size_t> {};

TEST_P(BlockStep, GivesTheOneSampleStepsRecordsAndStateAfterEveryBlock) {
    const size_t stride = GetParam();
    std::mt19937 rng(20240611u + unsigned(stride));
    const std::vector<float> x = awkwardSignal(rng, 600000);
    // The decoded channel is the last of `stride`; the others carry edges it must not see.
    std::vector<float> interleaved(x.size() * stride);
    for (size_t i = 0; i < interleaved.size(); ++i)
        interleaved[i] = (i % stride == stride - 1) ? x[i / stride] : float(int(rng() % 3) - 1);

    TCListener blockwise;
    blockwise.setCallbackId([](const SMPTE_tc& tc) { gOtherRecords.push_back(tc); }, 7);
    for (size_t done = 0; done < x.size();) {
        const size_t n =
            std::min(x.size() - done, size_t(rng() % 3 == 0 ? rng() % 8 : rng() % 1100));
        // A zero where the next pulse goes shows even pulses that leave no other trace.
        blockwise.frame.pulseWindow[blockwise.frame.pulseCount].length = 0;
        decoder.frame.pulseWindow[decoder.frame.pulseCount].length = 0;
        sampleStep(blockwise, interleaved.data() + done * stride + stride - 1, n, stride);
        for (size_t i = done; i < done + n; ++i) sampleStep(decoder, x[i]);
        done += n;
        ASSERT_EQ(stateOf(blockwise), stateOf(decoder)) << "after sample " << done;
        ASSERT_EQ(gOtherRecords.size(), gRecords.size()) << "after sample " << done;
    }
    EXPECT_GT(gRecords.size(), 50u);
    EXPECT_EQ(describe(gOtherRecords), describe(gRecords));
}

INSTANTIATE_TEST_SUITE_P(Strides, BlockStep, ::testing::Values(1u, 2u, 3u));

std::string clockText(int h, int m, int s, int f) {
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d:%02d", h, m, s, f);
    return text;
}

// What libltc's own decoder reads from the samples, in order.
std::vector<std::string> libltcReads(std::vector<float> samples, double apv) {
    std::vector<std::string> times;
    LTCDecoder* d = ltc_decoder_create(int(apv), 8);
    for (size_t at = 0; at < samples.size(); at += 1024) {
        ltc_decoder_write_float(d, &samples[at], std::min<size_t>(1024, samples.size() - at), 0);
        LTCFrameExt frame;
        for (SMPTETimecode t; ltc_decoder_read(d, &frame) != 0;) {
            ltc_frame_to_time(&t, &frame.ltc, 0);
            times.push_back(clockText(t.hours, t.mins, t.secs, t.frame));
        }
    }
    ltc_decoder_free(d);
    return times;
}

struct SignalCase {
    double rate, fps;
    bool dropFrame, colorFrame, invert;
};
void PrintTo(const SignalCase& c, std::ostream* os) {
    *os << c.rate << " Hz, " << c.fps << " fps" << (c.dropFrame ? ", drop frame" : "")
        << (c.colorFrame ? ", colour frame" : "") << (c.invert ? ", inverted" : "");
}
class LtcSignals : public Decoding, public ::testing::WithParamInterface<SignalCase> {};

TEST_P(LtcSignals, RecordsMatchTheEncodedFramesAndLibltcsDecoding) {
    const SignalCase c = GetParam();
    LtcSignalOptions o;
    o.sampleRate = c.rate, o.fps = c.fps, o.dropFrame = c.dropFrame;
    o.colorFrame = c.colorFrame, o.invert = c.invert;
    o.hours = 23, o.minutes = 59, o.seconds = 59, o.frames = 0, o.leadInSamples = 1000;
    const uint8_t user[8] = {0xB, 0xF, 4, 8, 0, 0xE, 4, 7};
    std::copy(std::begin(user), std::end(user), o.userBits);
    const LtcSignal signal = makeLtcSignal(o);
    for (gSampleIndex = 0; gSampleIndex < signal.samples.size(); ++gSampleIndex)
        sampleStep(decoder, signal.samples[gSampleIndex]);

    // Lock-on takes frame 0's sync word, so the records start at frame 1; each
    // arrives with its 64th data bit, before its own sync word.
    ASSERT_EQ(gRecords.size(), signal.frames.size() - 1);
    std::vector<std::string> ours;
    for (size_t k = 1; k < signal.frames.size(); ++k) {
        SMPTE_tc expected = signal.frames[k];
        expected.myId = 7;
        const SMPTE_tc& got = gRecords[k - 1];
        EXPECT_EQ(describe(got), describe(expected));
        const size_t start = signal.frameEnds[k - 1], length = signal.frameEnds[k] - start;
        const size_t bit64Starts = start + length * 64 / 80;  // within a sample: lengths vary
        EXPECT_GE(gDeliveredAt[k - 1], bit64Starts) << "frame " << k;
        EXPECT_LE(gDeliveredAt[k - 1], bit64Starts + 1) << "frame " << k;
        ours.push_back(clockText(got.h(), got.m(), got.s(), got.f()));
    }
    // libltc needs what follows a frame to read it: all but our last record are among its reads.
    const auto theirs = libltcReads(signal.samples, c.rate / c.fps);
    EXPECT_NE(std::search(theirs.begin(), theirs.end(), ours.begin(), ours.end() - 1),
              theirs.end());
}

INSTANTIATE_TEST_SUITE_P(Rates, LtcSignals,
                         ::testing::Values(SignalCase{48000, 25, false, true, false},
                                           SignalCase{44100, 24, false, false, false},
                                           SignalCase{48000, 30, false, false, false},
                                           SignalCase{44100, 29.97, true, true, false},
                                           SignalCase{48000, 29.97, true, false, true},
                                           SignalCase{44100, 25, false, false, true}));

TEST_F(Decoding, ReversedSignalGivesNoRecord) {
    LtcSignalOptions o;
    o.reverse = true;
    for (float x : makeLtcSignal(o).samples) sampleStep(decoder, x);
    EXPECT_TRUE(gRecords.empty());
}

TEST_F(Decoding, SampleStepsAllocateNothing) {
    LtcSignalOptions o;
    o.frameCount = 25 * 60, o.leadInSamples = 5000;
    const std::vector<float> x = makeLtcSignal(o).samples;
    TCListener one, block;
    for (TCListener* d : {&one, &block}) d->setCallbackId([](const SMPTE_tc&) { ++gCount; }, 0);
    gCount = 0;
    counting_allocator::armed = true;
    for (float sample : x) sampleStep(one, sample);
    for (size_t at = 0; at < x.size(); at += 512)
        sampleStep(block, &x[at], std::min<size_t>(512, x.size() - at), 1);
    counting_allocator::armed = false;
    EXPECT_EQ(counting_allocator::allocations.load(), 0);
    EXPECT_EQ(gCount, 2 * (o.frameCount - 1));
}

}  // namespace
