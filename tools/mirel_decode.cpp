// mirel-decode: decodes LTC from audio files, or live from every input channel
// of every audio device, one line per record.

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/DecodeFile.h"
#include "tools/DecodeLive.h"
#include "tools/ShareLive.h"

namespace {

int usage() {
    std::fprintf(stderr,
                 "mirel-decode: usage: mirel-decode FILE | --list | --live [--share] [SECONDS]\n");
    return 2;
}

// --live [--share] [SECONDS]
int live(int argc, char** argv) {
    int next = 2;
    const bool share = next < argc && std::strcmp(argv[next], "--share") == 0;
    if (share) ++next;
    double seconds = 0;
    if (next < argc) {
        char* end = nullptr;
        seconds = std::strtod(argv[next], &end);
        if (end == argv[next] || *end != '\0' || !(seconds > 0)) {
            std::fprintf(stderr, "mirel-decode: --live %s: SECONDS must be a positive number\n",
                         argv[next]);
            return 2;
        }
        ++next;
    }
    if (next != argc) return usage();
    return share ? shareLive(seconds) : decodeLive(seconds);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    const char* first = argv[1];
    if (std::strcmp(first, "--list") == 0) return argc == 2 ? listDevices() : usage();
    if (std::strcmp(first, "--live") == 0) return live(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "mirel-decode: %s: one file at a time (extra argument \"%s\")\n",
                     first, argv[2]);
        return 2;
    }
    return decodeFile(first);
}
