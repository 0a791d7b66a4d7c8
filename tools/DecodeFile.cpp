#include "tools/DecodeFile.h"

#include <sndfile.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "decode/TimecodeListener.h"
#include "tools/RecordLine.h"

namespace {

constexpr sf_count_t kBlockFrames = 512;  // what live capture hands the dispatcher

// The context is the index of the sample being fed, the one that completes a record.
void printRecord(const SMPTE_tc& tc, void* sampleIndex) noexcept {
    printRecordLine(tc, *static_cast<const sf_count_t*>(sampleIndex));
}

}  // namespace

int decodeFile(const char* path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path, SFM_READ, &info);
    if (file == nullptr) {
        std::fprintf(stderr, "mirel-decode: %s: %s\n", path, sf_strerror(nullptr));
        return 2;
    }
    if (info.channels < 1) {
        std::fprintf(stderr, "mirel-decode: %s: the file has no audio channels\n", path);
        sf_close(file);
        return 2;
    }
    // Up to 48 kHz the thresholds are fixed: below 36 kHz a 30 fps bit cell is
    // shorter than the long-pulse threshold, below 32 kHz a 25 fps one too.
    if (info.samplerate < 36000 || info.samplerate > TCListener::kMaxSampleRate) {
        std::fprintf(stderr,
                     "mirel-decode: %s: warning: sample rate %d Hz; the decoder's pulse "
                     "thresholds need 36000 to %.0f Hz (32000 at 24 and 25 fps)\n",
                     path, info.samplerate, TCListener::kMaxSampleRate);
    }

    const size_t channels = size_t(info.channels);
    sf_count_t sampleIndex = 0;
    std::vector<TCListener> decoders(channels);
    for (size_t c = 0; c < channels; ++c) {
        decoders[c].setCallbackId(printRecord, int(c), &sampleIndex);
        decoders[c].setSampleRate(info.samplerate);
    }
    std::vector<float> block(size_t(kBlockFrames) * channels);

    printRecordHeader();
    sf_count_t blockStart = 0;
    for (;;) {
        const sf_count_t frames = sf_readf_float(file, block.data(), kBlockFrames);
        if (frames <= 0) break;
        // Channel after channel within a block, as live capture feeds the decoders,
        // one sample at a time so that each record knows the sample that completed it.
        for (size_t c = 0; c < channels; ++c) {
            for (sf_count_t i = 0; i < frames; ++i) {
                sampleIndex = blockStart + i;
                sampleStep(decoders[c], block[size_t(i) * channels + c]);
            }
        }
        blockStart += frames;
    }
    const int readError = sf_error(file);
    const std::string readMessage = readError != 0 ? sf_strerror(file) : "";
    sf_close(file);

    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "mirel-decode: %s: cannot write the output: %s\n", path,
                     std::strerror(errno));
        return 2;
    }
    if (readError != 0) {
        std::fprintf(stderr, "mirel-decode: %s: read error after %lld frames: %s\n", path,
                     static_cast<long long>(blockStart), readMessage.c_str());
        return 2;
    }
    return 0;
}
