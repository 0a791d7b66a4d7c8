// mirel-decode: decodes LTC from every channel of an audio file and prints one
// line per record, in delivery order, as the live capture path would see them.

#include <sndfile.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "decode/TimecodeListener.h"

namespace {

constexpr sf_count_t kBlockFrames = 512;  // what live capture hands the dispatcher

// The callback has no user value, so the tool tells it where it is through these.
sf_count_t gSampleIndex = 0;

void printRecord(const SMPTE_tc& tc) {
    std::printf("%d\t%lld\t%02d:%02d:%02d:%02d\t%X%X%X%X%X%X%X%X\t%d\t%d\t%d\n", tc.myId,
                static_cast<long long>(gSampleIndex), tc.h(), tc.m(), tc.s(), tc.f(), tc.u1, tc.u2,
                tc.u3, tc.u4, tc.u5, tc.u6, tc.u7, tc.u8, tc.dropFrame ? 1 : 0,
                tc.colorFrame ? 1 : 0, tc.bpm ? 1 : 0);
}

int usage() {
    std::fprintf(stderr, "mirel-decode: usage: mirel-decode FILE\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return usage();
    const char* path = argv[1];

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
    if (info.samplerate != 44100 && info.samplerate != 48000) {
        std::fprintf(stderr,
                     "mirel-decode: %s: warning: sample rate %d Hz; the decoder's pulse "
                     "thresholds are made for 44100 and 48000 Hz\n",
                     path, info.samplerate);
    }

    const size_t channels = size_t(info.channels);
    std::vector<TCListener> decoders(channels);
    for (size_t c = 0; c < channels; ++c) decoders[c].setCallbackId(printRecord, int(c));
    std::vector<float> block(size_t(kBlockFrames) * channels);

    std::printf("id\tsample\ttimecode\tuserbits\tdrop\tcolor\tbpm\n");
    sf_count_t blockStart = 0;
    for (;;) {
        const sf_count_t frames = sf_readf_float(file, block.data(), kBlockFrames);
        if (frames <= 0) break;
        for (size_t c = 0; c < channels; ++c) {
            for (sf_count_t i = 0; i < frames; ++i) {
                gSampleIndex = blockStart + i;
                sampleStep(decoders[c], block[size_t(i) * channels + c]);
            }
        }
        blockStart += frames;
    }
    const int readError = sf_error(file);
    std::string readMessage = readError != 0 ? sf_strerror(file) : "";
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
