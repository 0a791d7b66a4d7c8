// Our decoder against libltc's on the same signal, side by side in one run, so
// the ratio of their items per second is what to read, not the absolute numbers.

#include <benchmark/benchmark.h>
#include <ltc.h>

#include <algorithm>
#include <cstddef>
#include <map>
#include <vector>

#include "decode/TimecodeListener.h"
#include "tools/LtcSignal.h"

namespace {

constexpr size_t kBlock = 512;  // what live capture hands the dispatcher

// Each benchmark runs at the sample rate its argument gives, 48 and 96 kHz.
const std::vector<float>& signal60s(int64_t rate) {
    static std::map<int64_t, std::vector<float>> signals;
    std::vector<float>& samples = signals[rate];
    if (samples.empty()) {
        LtcSignalOptions o;
        o.sampleRate = double(rate);
        o.fps = 25.0;
        o.frameCount = 60 * 25;
        o.userBits[0] = 0xB;
        o.userBits[7] = 0x7;
        samples = makeLtcSignal(o).samples;
    }
    return samples;
}

void countRecord(const SMPTE_tc&, void* count) noexcept {
    ++*static_cast<long*>(count);
}

void BM_MirelDecoder(benchmark::State& state) {
    const std::vector<float>& x = signal60s(state.range(0));
    for (auto _ : state) {
        TCListener decoder;
        decoder.setSampleRate(double(state.range(0)));
        long records = 0;
        decoder.setCallbackId(countRecord, 0, &records);
        for (size_t i = 0; i < x.size(); i += kBlock)
            sampleStep(decoder, x.data() + i, std::min(kBlock, x.size() - i), 1);
        benchmark::DoNotOptimize(records);
        if (records < 1490) state.SkipWithError("decoder lost frames");
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(x.size()));
}
BENCHMARK(BM_MirelDecoder)->Arg(48000)->Arg(96000)->Unit(benchmark::kMillisecond);

// Live capture hands every device's buffer interleaved: a stereo device gives
// each channel's decoder every second sample.
void BM_MirelDecoderStereo(benchmark::State& state) {
    const std::vector<float>& mono = signal60s(state.range(0));
    std::vector<float> x(mono.size() * 2);
    for (size_t i = 0; i < mono.size(); ++i) x[2 * i] = x[2 * i + 1] = mono[i];
    for (auto _ : state) {
        TCListener left, right;
        left.setSampleRate(double(state.range(0)));
        right.setSampleRate(double(state.range(0)));
        long records = 0;
        left.setCallbackId(countRecord, 0, &records);
        right.setCallbackId(countRecord, 1, &records);
        for (size_t i = 0; i < mono.size(); i += kBlock) {
            const size_t frames = std::min(kBlock, mono.size() - i);
            sampleStep(left, x.data() + 2 * i, frames, 2);
            sampleStep(right, x.data() + 2 * i + 1, frames, 2);
        }
        benchmark::DoNotOptimize(records);
        if (records < 2 * 1490) state.SkipWithError("decoder lost frames");
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(x.size()));
}
BENCHMARK(BM_MirelDecoderStereo)->Arg(48000)->Arg(96000)->Unit(benchmark::kMillisecond);

// The same decoder stepped one sample at a time: what the bulk edge scan buys.
void BM_MirelDecoderPlainStep(benchmark::State& state) {
    const std::vector<float>& x = signal60s(state.range(0));
    for (auto _ : state) {
        TCListener decoder;
        decoder.setSampleRate(double(state.range(0)));
        long records = 0;
        decoder.setCallbackId(countRecord, 0, &records);
        for (float sample : x) sampleStep(decoder, sample);
        benchmark::DoNotOptimize(records);
        if (records < 1490) state.SkipWithError("decoder lost frames");
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(x.size()));
}
BENCHMARK(BM_MirelDecoderPlainStep)->Arg(48000)->Arg(96000)->Unit(benchmark::kMillisecond);

void BM_LibltcDecoder(benchmark::State& state) {
    std::vector<float> x = signal60s(state.range(0));  // libltc takes a non-const buffer
    long frames = 0;
    for (auto _ : state) {
        LTCDecoder* decoder = ltc_decoder_create(int(state.range(0) / 25), 32);
        LTCFrameExt frame;
        frames = 0;
        for (size_t i = 0; i < x.size(); i += kBlock) {
            ltc_decoder_write_float(decoder, x.data() + i, std::min(kBlock, x.size() - i),
                                    ltc_off_t(i));
            while (ltc_decoder_read(decoder, &frame) != 0) ++frames;
        }
        ltc_decoder_free(decoder);
        benchmark::DoNotOptimize(frames);
    }
    if (frames < 1490) state.SkipWithError("libltc lost frames");
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(x.size()));
}
BENCHMARK(BM_LibltcDecoder)->Arg(48000)->Arg(96000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
