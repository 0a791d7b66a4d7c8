// ltc-gen: writes an LTC test signal made by libltc's encoder to an audio file.
// Channel c carries timecode starting c hours after --start, so every channel
// of a multi-channel file is told apart.

#include <sndfile.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/LtcSignal.h"

namespace {

int usage() {
    std::fprintf(
        stderr,
        "usage: ltc-gen OUT [--rate HZ] [--fps 24|25|29.97|30] [--df] [--start HH:MM:SS:FF]\n"
        "               [--frames N] [--channels N] [--user HEX8] [--dbfs D] [--invert]\n"
        "               [--reverse] [--lead-in SAMPLES] [--pcm16 | --raw]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    const char* out = argv[1];
    LtcSignalOptions o;
    int channels = 1;
    bool pcm16 = false;
    bool raw = false;  // headerless float32 little-endian, as the virtual capture card plays it
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        const char* v = nullptr;
        if (a == "--df")
            o.dropFrame = true;
        else if (a == "--invert")
            o.invert = true;
        else if (a == "--reverse")
            o.reverse = true;
        else if (a == "--pcm16")
            pcm16 = true;
        else if (a == "--raw")
            raw = true;
        else if ((v = next()) == nullptr)
            return usage();
        else if (a == "--rate")
            o.sampleRate = std::atof(v);
        else if (a == "--fps")
            o.fps = std::atof(v);
        else if (a == "--frames")
            o.frameCount = std::atoi(v);
        else if (a == "--channels")
            channels = std::atoi(v);
        else if (a == "--dbfs")
            o.dBFS = std::atof(v);
        else if (a == "--lead-in")
            o.leadInSamples = size_t(std::atol(v));
        else if (a == "--start") {
            if (std::sscanf(v, "%d:%d:%d:%d", &o.hours, &o.minutes, &o.seconds, &o.frames) != 4)
                return usage();
        } else if (a == "--user") {
            if (std::strlen(v) != 8) return usage();
            for (int g = 0; g < 8; ++g) {
                const char digit[2] = {v[g], 0};
                o.userBits[g] = uint8_t(std::strtoul(digit, nullptr, 16));
            }
        } else
            return usage();
    }
    if (channels < 1 || o.sampleRate <= 0 || o.frameCount < 0) return usage();

    std::vector<LtcSignal> signals;
    for (int c = 0; c < channels; ++c) {
        LtcSignalOptions oc = o;
        oc.hours = (o.hours + c) % 24;
        signals.push_back(makeLtcSignal(oc));
    }
    size_t length = 0;
    for (const auto& s : signals) length = std::max(length, s.samples.size());
    std::vector<float> interleaved(length * size_t(channels), 0.0f);
    for (int c = 0; c < channels; ++c) {
        for (size_t i = 0; i < signals[size_t(c)].samples.size(); ++i)
            interleaved[i * size_t(channels) + size_t(c)] = signals[size_t(c)].samples[i];
    }

    SF_INFO info{};
    info.samplerate = int(o.sampleRate);
    info.channels = channels;
    info.format = raw ? SF_FORMAT_RAW | SF_FORMAT_FLOAT | SF_ENDIAN_LITTLE
                      : SF_FORMAT_WAV | (pcm16 ? SF_FORMAT_PCM_16 : SF_FORMAT_FLOAT);
    SNDFILE* file = sf_open(out, SFM_WRITE, &info);
    if (file == nullptr) {
        std::fprintf(stderr, "ltc-gen: %s: %s\n", out, sf_strerror(nullptr));
        return 1;
    }
    sf_writef_float(file, interleaved.data(), sf_count_t(length));
    sf_close(file);
    return 0;
}
