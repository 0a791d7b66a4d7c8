// The LTC decoder from single pulses up to whole signals made by libltc's encoder.

#include <gtest/gtest.h>

#include <algorithm>
#include <bitset>
#include <cmath>
#include <limits>
#include <random>
#include <span>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "decode/TimecodeListener.h"
#include "tests/support/CountingAllocator.h"
#include "tools/LtcSignal.h"

// Where each field sits among the 64 data bits, by the LTC bit assignment.
template <class T>
struct Field {
    const char* name;
    T SMPTE_tc::*field;
    int first, width = 1;
};
constexpr Field<int32_t> kGroups[] = {
    {"fu", &SMPTE_tc::fu, 0, 4},  {"u1", &SMPTE_tc::u1, 4, 4},  {"ft", &SMPTE_tc::ft, 8, 2},
    {"u2", &SMPTE_tc::u2, 12, 4}, {"su", &SMPTE_tc::su, 16, 4}, {"u3", &SMPTE_tc::u3, 20, 4},
    {"st", &SMPTE_tc::st, 24, 3}, {"u4", &SMPTE_tc::u4, 28, 4}, {"mu", &SMPTE_tc::mu, 32, 4},
    {"u5", &SMPTE_tc::u5, 36, 4}, {"mt", &SMPTE_tc::mt, 40, 3}, {"u6", &SMPTE_tc::u6, 44, 4},
    {"hu", &SMPTE_tc::hu, 48, 4}, {"u7", &SMPTE_tc::u7, 52, 4}, {"ht", &SMPTE_tc::ht, 56, 2},
    {"u8", &SMPTE_tc::u8, 60, 4},
};
constexpr Field<bool> kFlags[] = {{"drop", &SMPTE_tc::dropFrame, 10},
                                  {"color", &SMPTE_tc::colorFrame, 11},
                                  {"bpm", &SMPTE_tc::bpm, 27}};

// Records compare and print field by field, so a failure shows which one differs.
void PrintTo(const SMPTE_tc& t, std::ostream* os) {
    *os << "id " << t.myId;
    for (const auto& g : kGroups) *os << ' ' << g.name << ' ' << t.*g.field;
    for (const auto& f : kFlags) *os << ' ' << f.name << ' ' << t.*f.field;
}
bool operator==(const SMPTE_tc& a, const SMPTE_tc& b) {
    return ::testing::PrintToString(a) == ::testing::PrintToString(b);
}

namespace {

// A decoder with the records it delivered, and at which sample of the feed.
struct Decoder : TCListener {
    explicit Decoder(int id = 7, size_t expected = 0, double rate = 0) {
        setCallbackId(collect, id, this);
        setSampleRate(rate);
        records.reserve(expected);
        deliveredAt.reserve(expected);
    }
    static void collect(const SMPTE_tc& tc, void* self) noexcept {
        auto& d = *static_cast<Decoder*>(self);
        d.records.push_back(tc);
        d.deliveredAt.push_back(d.sampleIndex);
    }
    std::vector<SMPTE_tc> records;
    std::vector<size_t> deliveredAt;
    size_t sampleIndex = 0;
};

SMPTE_tc recordOf(const std::bitset<64>& bits) {
    SMPTE_tc t{};
    t.myId = 7;
    for (const auto& g : kGroups)
        for (int b = 0; b < g.width; ++b) t.*g.field |= int32_t(bits[size_t(g.first + b)]) << b;
    for (const auto& f : kFlags) t.*f.field = bits[size_t(f.first)];
    return t;
}

// One hex digit per 4-bit group: 23:59:59:2x, user bits BF480E47, colour frame and bit 27 set.
std::bitset<64> sampleBits(uint64_t frameUnits = 9) {
    return 0x7243'E509'8D49'FAB0 | frameUnits;
}

// Biphase mark as pulse lengths (0: one long, 1: two short): the sync word, then the data bits.
using Pulses = std::vector<unsigned char>;
Pulses framePulses(const std::bitset<64>& data, unsigned char shortLen = 10,
                   unsigned char longLen = 20) {
    const std::bitset<80> bits = std::bitset<80>(data.to_ullong()) << 16 | std::bitset<80>(0xBFFC);
    Pulses p;
    for (size_t n = 0; n < 80; ++n)
        p.insert(p.end(), bits[n] ? 2 : 1, bits[n] ? shortLen : longLen);
    return p;
}
void feed(TCListener& d, const Pulses& pulses) {
    for (unsigned char length : pulses) d.addPulse(length);
}

// Each bit alone lands in its field (43, 58, 59 in none), lowest first, with the last pulse only;
// none and all set: non-decimal digits stand as they are. Pulses before the sync slide through.
TEST(PulseDecoding, EachDataBitLandsInItsFieldWithTheFramesLastPulse) {
    for (int n = 0; n <= 65; ++n) {
        SCOPED_TRACE("LTC bit " + std::to_string(n));
        const std::bitset<64> bits = n < 64 ? 1ull << n : n == 64 ? 0 : ~0ull;
        const Pulses frame = framePulses(bits);
        Decoder d;
        feed(d, Pulses(5, 20));
        feed(d, Pulses(frame.begin(), frame.end() - 1));
        EXPECT_TRUE(d.records.empty());
        d.addPulse(frame.back());
        ASSERT_EQ(d.records, std::vector{recordOf(bits)});
    }
    const SMPTE_tc all = recordOf(~std::bitset<64>());  // as the decoder delivered it
    EXPECT_EQ(std::vector({all.h(), all.m(), all.s(), all.f()}), std::vector({45, 85, 85, 45}));
}

// Up to 48 kHz (or untold) pulses of 4 to 39 samples are valid, below 15 short; beyond, the limits
// grow with the rate. Anything else, and a broken bit, loses the frame it hits and no other.
TEST(PulseDecoding, PulseLengthBoundsAndBrokenBitsDecideWhichFramesDecode) {
    const std::tuple<double, unsigned char, unsigned char, bool> cases[] = {
        {0, 14, 15, true},       {0, 4, 39, true},        {0, 3, 20, false},
        {0, 10, 40, false},      {0, 15, 20, false},      {0, 10, 14, false},
        {44100, 14, 39, true},   {88200, 27, 28, true},   {88200, 28, 40, false},
        {88200, 10, 72, true},   {192000, 16, 156, true}, {192000, 15, 60, false},
        {192000, 30, 157, false}};
    for (const auto& [rate, shortLen, longLen, decodes] : cases) {
        SCOPED_TRACE(::testing::Message()
                     << rate << " Hz, " << int(shortLen) << ", " << int(longLen));
        Decoder d(7, 0, rate);
        feed(d, framePulses(sampleBits(), shortLen, longLen));
        EXPECT_EQ(d.records,
                  decodes ? std::vector{recordOf(sampleBits())} : std::vector<SMPTE_tc>{});
    }

    Decoder d;
    // An odd run of short pulses empties the window before the long pulse that ends it.
    feed(d, {20, 20, 10, 10, 10, 20});
    EXPECT_EQ(d.frame.pulseCount, 1);
    // Frame units 9 start the data with a 1 bit, right after the 29 pulses of the
    // sync word: losing half of it drops the frame rather than shifting its bits.
    Pulses halfLost = framePulses(sampleBits(9));
    halfLost.erase(halfLost.begin() + 29);
    // Frame units 2 start the data with 0, 1: a dropout between the halves of that 1.
    Pulses dropout = framePulses(sampleBits(2));
    dropout.insert(dropout.begin() + 29 + 2, 101);
    for (const Pulses& p :
         {halfLost, framePulses(sampleBits(1)), dropout, framePulses(sampleBits(3))})
        feed(d, p);
    EXPECT_EQ(d.records, std::vector({recordOf(sampleBits(1)), recordOf(sampleBits(3))}));

    TCListener silent;  // no callback: the frame is decoded and dropped
    silent.setCallbackId(nullptr, 3);
    feed(silent, framePulses(sampleBits()));
    EXPECT_EQ(silent.frame.pulseCount, 0);
}

// Lengths of the pulses the one-sample step hands on for runs of counts[i] samples of values[i];
// a zero where the next pulse goes shows whether one came (long ones never bring the marker).
std::vector<int> stepPulses(const std::vector<size_t>& counts, const std::vector<float>& values,
                            double rate = 0) {
    TCListener d;
    d.setSampleRate(rate);
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

// A pulse runs from after one edge to the next; 101 edgeless samples (more above 48 kHz, up to the
// top rate) make one silence pulse and restart the count. Dead band, limits included, NaN: no edge.
TEST(SampleStep, EdgesSilenceDeadBandAndNan) {
    EXPECT_EQ(stepPulses({19, 1, 24, 1, 250, 1}, {0.0f, 1.0f, 0.0f, -1.0f, 0.0f, 1.0f}),
              (std::vector{20, 25, 101, 49}));
    EXPECT_EQ(stepPulses({1000, 1}, {0.0f, 1.0f}, 192000), (std::vector{404, 193}));
    EXPECT_EQ(stepPulses({4000, 1}, {0.0f, 1.0f}, 1e9), (std::vector{1616, 769}));

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

// Every field the sample step and the pulse path keep, the window up to where the next pulse goes.
std::string stateOf(const TCListener& d) {
    const ManchesterFrame& f = d.frame;
    std::ostringstream s;
    s << d.signPositive << ' ' << d.samplesSinceEdge << ' ' << d.silenceReported << " | "
      << f.shortRun << ' ' << f.pulseCount << ' ' << f.bitIndex << ' ' << f.halfBitPending << " |";
    for (bool bit : f.frameBits) s << bit;
    for (const manchesterPulse& p : std::span(f.pulseWindow, size_t(f.pulseCount) + 1))
        s << ' ' << p.length << (p.isShort ? 's' : 'l') << (p.isValid ? "" : "!");
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
        Decoder one, block;
        for (size_t done = 0; done < x.size();) {
            const size_t n =
                std::min(x.size() - done, size_t(rng() % 3 == 0 ? rng() % 8 : rng() % 1100));
            // A zero where the next pulse goes shows even pulses that leave no other trace.
            for (Decoder* d : {&one, &block}) d->frame.pulseWindow[d->frame.pulseCount].length = 0;
            sampleStep(block, interleaved.data() + done * stride + stride - 1, n, stride);
            for (size_t i = done; i < done + n; ++i) sampleStep(one, x[i]);
            done += n;
            ASSERT_EQ(stateOf(block), stateOf(one)) << "after sample " << done;
            ASSERT_EQ(block.records.size(), one.records.size()) << "after sample " << done;
        }
        EXPECT_GT(one.records.size(), 50u);
        EXPECT_EQ(block.records, one.records);
    }
}

// Every frame libltc encoded but the first, which only locks on, arrives with its 64th
// data bit, before its own sync word. Neither step may reach the allocator.
void expectLibltcFramesDecoded(double rate, double fps, bool drop, bool colour, bool invert) {
    SCOPED_TRACE(::testing::Message() << rate << " Hz, " << fps << " fps, drop " << drop
                                      << ", colour " << colour << ", inverted " << invert);
    LtcSignalOptions o{.sampleRate = rate, .fps = fps, .dropFrame = drop, .colorFrame = colour};
    o.hours = 23, o.minutes = 59, o.seconds = 59, o.frames = 0, o.leadInSamples = 1000;
    o.invert = invert;
    std::ranges::copy(std::initializer_list<uint8_t>{0xB, 0xF, 4, 8, 0, 0xE, 4, 7}, o.userBits);
    const LtcSignal signal = makeLtcSignal(o);
    const std::vector<float>& x = signal.samples;
    Decoder d(0, signal.frames.size(), rate), block(0, signal.frames.size(), rate);  // libltc's id
    counting_allocator::armed = true;
    for (d.sampleIndex = 0; d.sampleIndex < x.size(); ++d.sampleIndex)
        sampleStep(d, x[d.sampleIndex]);
    for (size_t at = 0; at < x.size(); at += 512)
        sampleStep(block, &x[at], std::min<size_t>(512, x.size() - at), 1);
    counting_allocator::armed = false;
    EXPECT_EQ(counting_allocator::allocations.load(), 0);
    EXPECT_EQ(block.records, d.records);

    ASSERT_EQ(d.records.size(), signal.frames.size() - 1);
    for (size_t k = 1; k < signal.frames.size(); ++k) {
        EXPECT_EQ(d.records[k - 1], signal.frames[k]);
        const size_t start = signal.frameEnds[k - 1], length = signal.frameEnds[k] - start;
        const size_t bit64Starts = start + length * 64 / 80;  // within a sample: lengths vary
        EXPECT_GE(d.deliveredAt[k - 1], bit64Starts) << "frame " << k;
        EXPECT_LE(d.deliveredAt[k - 1], bit64Starts + 1) << "frame " << k;
    }
}

TEST(SampleStep, RecordsMatchTheFramesLibltcEncodedAtEveryRateAndNothingIsAllocated) {
    const std::pair<double, bool> kinds[] = {{25, false}, {29.97, true}, {24, false}, {30, false}};
    for (const double rate : {44100.0, 48000.0, 88200.0, 96000.0, 176400.0, 192000.0})
        for (const auto& [fps, drop] : kinds)
            for (const bool colour : {false, true})
                for (const bool invert : {false, true})
                    expectLibltcFramesDecoded(rate, fps, drop, colour, invert);
    Decoder backwards;
    for (float x : makeLtcSignal({.reverse = true}).samples) sampleStep(backwards, x);
    EXPECT_TRUE(backwards.records.empty()) << "from a signal played backwards";
}

}  // namespace
