// The LTC decoder from single pulses up to whole signals made by libltc's
// encoder, whose own decoder also gives a second opinion.

#include <gtest/gtest.h>

#include <algorithm>
#include <bitset>
#include <cmath>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "decode/TimecodeListener.h"
#include "tests/support/CountingAllocator.h"
#include "tools/LtcSignal.h"

namespace {

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

}  // namespace

// Records compare and print field by field, so a failure shows which one differs.
void PrintTo(const SMPTE_tc& t, std::ostream* os) {
    *os << "id " << t.myId;
    for (const Group& g : kGroups) *os << ' ' << g.name << ' ' << t.*g.field;
    for (const Flag& f : kFlags) *os << ' ' << f.name << ' ' << t.*f.field;
}
bool operator==(const SMPTE_tc& a, const SMPTE_tc& b) {
    return ::testing::PrintToString(a) == ::testing::PrintToString(b);
}

namespace {

// What a decoder hands its callback, and at which sample of the feed.
struct Collected {
    std::vector<SMPTE_tc> records;
    std::vector<size_t> deliveredAt;  ///< sampleIndex when each record arrived
    size_t sampleIndex = 0;
};

void collect(const SMPTE_tc& tc, void* into) noexcept {
    auto& c = *static_cast<Collected*>(into);
    c.records.push_back(tc);
    c.deliveredAt.push_back(c.sampleIndex);
}

/// A decoder reporting as id 7 into `into`.
TCListener listener(Collected& into) {
    TCListener d;
    d.setCallbackId(collect, 7, &into);
    return d;
}

std::bitset<64> dataBits(const SMPTE_tc& t) {
    std::bitset<64> bits;
    for (const Group& g : kGroups)
        for (int b = 0; b < g.width; ++b) bits[size_t(g.first + b)] = ((t.*g.field >> b) & 1) != 0;
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

// Biphase mark as pulse lengths, a 0 bit one long pulse and a 1 bit two short
// ones: the sync word 0011111111111101, then the record's 64 data bits.
using Pulses = std::vector<unsigned char>;
Pulses framePulses(const SMPTE_tc& t, unsigned char shortLen = 10, unsigned char longLen = 20) {
    const std::bitset<80> bits =
        std::bitset<80>(dataBits(t).to_ullong()) << 16 | std::bitset<80>(0xBFFC);
    Pulses p;
    for (size_t n = 0; n < 80; ++n)
        p.insert(p.end(), bits[n] ? 2 : 1, bits[n] ? shortLen : longLen);
    return p;
}
void feed(TCListener& d, const Pulses& pulses) {
    for (unsigned char length : pulses) d.addPulse(length);
}

// Each bit set alone must land in its own field, least significant first, and
// only with the frame's last pulse; bits 43, 58 and 59 belong to no field. Then
// no bit set, and all of them: digits that are no decimal digits are delivered as
// they stand. Valid pulses ahead of the sync word only slide through.
TEST(PulseDecoding, EachDataBitLandsInItsFieldWithTheFramesLastPulse) {
    Collected got;
    for (int n = 0; n <= 65; ++n) {
        SCOPED_TRACE("LTC bit " + std::to_string(n));
        const auto isSet = [n](int bit) { return n == bit || n == 65; };
        SMPTE_tc expected{};
        expected.myId = 7;
        for (const Group& g : kGroups)
            for (int b = 0; b < g.width; ++b) expected.*g.field |= int32_t(isSet(g.first + b)) << b;
        for (const Flag& f : kFlags) expected.*f.field = isSet(f.bit);
        const Pulses frame = framePulses(expected);
        got = {};
        TCListener d = listener(got);
        feed(d, Pulses(5, 20));
        feed(d, Pulses(frame.begin(), frame.end() - 1));
        EXPECT_TRUE(got.records.empty());
        d.addPulse(frame.back());
        ASSERT_EQ(got.records, std::vector{expected});
    }
    const SMPTE_tc& all = got.records.at(0);
    EXPECT_EQ(std::vector({all.h(), all.m(), all.s(), all.f()}), std::vector({45, 85, 85, 45}));
}

// Pulses of 4 to 39 samples are valid, below 15 short; anything else loses the frame.
TEST(PulseDecoding, PulseLengthBoundsDecideWhetherAFrameDecodes) {
    const struct {
        unsigned char shortLen, longLen;
        bool decodes;
    } cases[] = {{14, 15, true},  {4, 39, true},   {3, 20, false},
                 {10, 40, false}, {15, 20, false}, {10, 14, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE("short " + std::to_string(c.shortLen) + ", long " + std::to_string(c.longLen));
        Collected got;
        TCListener d = listener(got);
        feed(d, framePulses(sampleRecord(), c.shortLen, c.longLen));
        EXPECT_EQ(got.records, c.decodes ? std::vector{sampleRecord()} : std::vector<SMPTE_tc>{});
    }
}

TEST(PulseDecoding, BrokenBitsLoseOnlyTheFrameTheyHit) {
    Collected got;
    TCListener d = listener(got);
    // An odd run of short pulses empties the window before the long pulse that ends it.
    feed(d, {20, 20, 10, 10, 10, 20});
    EXPECT_EQ(d.frame.pulseCount, 1);
    // Frame units 9 start the data with a 1 bit, right after the 29 pulses of the
    // sync word: losing half of it drops the frame rather than shifting its bits.
    Pulses halfLost = framePulses(sampleRecord(9));
    halfLost.erase(halfLost.begin() + 29);
    // Frame units 2 start the data with 0, 1: a dropout between the halves of that 1.
    Pulses dropout = framePulses(sampleRecord(2));
    dropout.insert(dropout.begin() + 29 + 2, 101);
    for (const Pulses& p :
         {halfLost, framePulses(sampleRecord(1)), dropout, framePulses(sampleRecord(3))})
        feed(d, p);
    EXPECT_EQ(got.records, std::vector({sampleRecord(1), sampleRecord(3)}));

    TCListener silent;  // no callback: the frame is decoded and dropped
    silent.setCallbackId(nullptr, 3);
    feed(silent, framePulses(sampleRecord()));
    EXPECT_EQ(silent.frame.pulseCount, 0);
}

// Lengths of the pulses the one-sample step hands on for runs of counts[i]
// samples of values[i]. A pulse is stored where pulseCount pointed before it, so
// a zero put there first shows whether one came. Meant for signals of long
// pulses only, which never bring the framing marker.
std::vector<int> stepPulses(const std::vector<size_t>& counts, const std::vector<float>& values) {
    TCListener d;
    std::vector<int> lengths;
    for (size_t run = 0; run < counts.size(); ++run)
        for (size_t i = 0; i < counts[run]; ++i) {
            manchesterPulse& next = d.frame.pulseWindow[d.frame.pulseCount];
            next.length = 0;
            sampleStep(d, values[run]);
            if (next.length != 0) lengths.push_back(int(next.length));
        }
    return lengths;
}

// A pulse runs from after one edge to the next; 101 samples without an edge
// make one silence pulse and restart the count. Dead-band values, its limits
// included, and NaN make no edge.
TEST(SampleStep, EdgesSilenceDeadBandAndNan) {
    EXPECT_EQ(stepPulses({19, 1, 24, 1, 250, 1}, {0.0f, 1.0f, 0.0f, -1.0f, 0.0f, 1.0f}),
              (std::vector{20, 25, 101, 49}));

    const float limit = TCListener::kEdgeThreshold, nan = std::numeric_limits<float>::quiet_NaN();
    const float band[] = {0.0f, limit, -limit, limit / 2, -0.0f, 1e-30f};
    std::vector<size_t> counts(101 * 100 + 14, 1);
    std::vector<float> values;
    for (size_t i = 0; i < counts.size(); ++i) values.push_back(band[i % 6]);
    counts.insert(counts.end(), {1, 19, 1});  // edges after 15 and 20
    values.insert(values.end(),
                  {std::nextafter(limit, 1.0f), -limit, std::nextafter(-limit, -1.0f)});
    EXPECT_EQ(stepPulses(counts, values), (std::vector{101, 15, 20}));

    EXPECT_EQ(
        stepPulses({20, 3, 15, 1, 300, 1, 40, 1}, {nan, 0.5f, nan, -0.5f, nan, 0.5f, nan, -0.5f}),
        (std::vector{21, 18, 101, 99, 41}));
}

// Every field the sample step and the pulse path keep, for comparing two decoders.
std::string stateOf(const TCListener& d) {
    const ManchesterFrame& f = d.frame;
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
        if (kind == 1) x.insert(x.end(), upTo(150), std::numeric_limits<float>::quiet_NaN());
        if (kind == 2) x.insert(x.end(), 90 + upTo(300), 0.0f);
        if (kind == 3) x.insert(x.end(), upTo(50), rng() % 2 != 0 ? limit : -limit);
        for (size_t n = kind == 4 ? upTo(400) : 0; n > 0; --n) x.push_back(within(limit));
        for (size_t n = kind >= 5 ? upTo(kind == 5 ? 300 : 40) : 0; n > 0; --n)
            x.insert(x.end(), run, within(1));
    }
    return x;
}

// The decoded channel is the last of `stride`; the others carry edges it must not see.
TEST(SampleStep, BlockStepGivesTheOneSampleStepsRecordsAndStateAfterEveryBlock) {
    for (size_t stride = 1; stride <= 3; ++stride) {
        SCOPED_TRACE("stride " + std::to_string(stride));
        std::mt19937 rng(20240611u + unsigned(stride));
        const std::vector<float> x = awkwardSignal(rng, 600000);
        std::vector<float> interleaved(x.size() * stride);
        for (size_t i = 0; i < interleaved.size(); ++i)
            interleaved[i] = (i % stride == stride - 1) ? x[i / stride] : float(int(rng() % 3) - 1);
        Collected got, other;
        TCListener one = listener(got), block = listener(other);
        for (size_t done = 0; done < x.size();) {
            const size_t n =
                std::min(x.size() - done, size_t(rng() % 3 == 0 ? rng() % 8 : rng() % 1100));
            // A zero where the next pulse goes shows even pulses that leave no other trace.
            for (TCListener* d : {&one, &block})
                d->frame.pulseWindow[d->frame.pulseCount].length = 0;
            sampleStep(block, interleaved.data() + done * stride + stride - 1, n, stride);
            for (size_t i = done; i < done + n; ++i) sampleStep(one, x[i]);
            done += n;
            ASSERT_EQ(stateOf(block), stateOf(one)) << "after sample " << done;
            ASSERT_EQ(other.records.size(), got.records.size()) << "after sample " << done;
        }
        EXPECT_GT(got.records.size(), 50u);
        EXPECT_EQ(other.records, got.records);
    }
}

// Every frame libltc encoded but the first, which only locks the decoder on,
// field by field; each arrives with its 64th data bit, before its own sync word.
// Neither step may reach the allocator.
TEST(SampleStep, RecordsMatchTheFramesLibltcEncodedAndNothingIsAllocated) {
    const struct {
        double rate, fps;
        bool dropFrame, colorFrame, invert;
    } cases[] = {{48000, 25, false, true, false},   {44100, 24, false, false, false},
                 {48000, 30, false, false, false},  {44100, 29.97, true, true, false},
                 {48000, 29.97, true, false, true}, {44100, 25, false, false, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.rate << " Hz, " << c.fps << " fps, drop "
                                          << c.dropFrame << ", inverted " << c.invert);
        LtcSignalOptions o;
        o.sampleRate = c.rate, o.fps = c.fps, o.dropFrame = c.dropFrame;
        o.colorFrame = c.colorFrame, o.invert = c.invert;
        o.hours = 23, o.minutes = 59, o.seconds = 59, o.frames = 0, o.leadInSamples = 1000;
        const uint8_t user[8] = {0xB, 0xF, 4, 8, 0, 0xE, 4, 7};
        std::copy(std::begin(user), std::end(user), o.userBits);
        const LtcSignal signal = makeLtcSignal(o);
        const std::vector<float>& x = signal.samples;
        Collected got, other;
        TCListener d = listener(got), block = listener(other);
        for (Collected* c : {&got, &other}) {
            c->records.reserve(signal.frames.size());
            c->deliveredAt.reserve(signal.frames.size());
        }
        counting_allocator::armed = true;
        for (got.sampleIndex = 0; got.sampleIndex < x.size(); ++got.sampleIndex)
            sampleStep(d, x[got.sampleIndex]);
        for (size_t at = 0; at < x.size(); at += 512)
            sampleStep(block, &x[at], std::min<size_t>(512, x.size() - at), 1);
        counting_allocator::armed = false;
        EXPECT_EQ(counting_allocator::allocations.load(), 0);
        EXPECT_EQ(other.records, got.records);

        ASSERT_EQ(got.records.size(), signal.frames.size() - 1);
        for (size_t k = 1; k < signal.frames.size(); ++k) {
            SMPTE_tc expected = signal.frames[k];
            expected.myId = 7;
            EXPECT_EQ(got.records[k - 1], expected);
            const size_t start = signal.frameEnds[k - 1], length = signal.frameEnds[k] - start;
            const size_t bit64Starts = start + length * 64 / 80;  // within a sample: lengths vary
            EXPECT_GE(got.deliveredAt[k - 1], bit64Starts) << "frame " << k;
            EXPECT_LE(got.deliveredAt[k - 1], bit64Starts + 1) << "frame " << k;
        }
    }
    LtcSignalOptions reversed;
    reversed.reverse = true;
    Collected got;
    TCListener d = listener(got);
    for (float x : makeLtcSignal(reversed).samples) sampleStep(d, x);
    EXPECT_TRUE(got.records.empty()) << "from a signal played backwards";
}

}  // namespace
