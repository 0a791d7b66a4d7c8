// mirel-decode: decodes LTC from audio files, or live from every input channel
// of every audio device, one line per record.

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/DecodeFile.h"
#include "tools/DecodeLive.h"

namespace {

int usage() {
    std::fprintf(stderr, "mirel-decode: usage: mirel-decode FILE | --list | --live [SECONDS]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    const char* first = argv[1];
    if (std::strcmp(first, "--list") == 0) return argc == 2 ? listDevices() : usage();
    if (std::strcmp(first, "--live") == 0) {
        if (argc == 2) return decodeLive(0);
        if (argc != 3) return usage();
        char* end = nullptr;
        const double seconds = std::strtod(argv[2], &end);
        if (end == argv[2] || *end != '\0' || !(seconds > 0)) {
            std::fprintf(stderr, "mirel-decode: --live %s: SECONDS must be a positive number\n",
                         argv[2]);
            return 2;
        }
        return decodeLive(seconds);
    }
    if (argc != 2) {
        std::fprintf(stderr, "mirel-decode: %s: one file at a time (extra argument \"%s\")\n",
                     first, argv[2]);
        return 2;
    }
    return decodeFile(first);
}
