// mirel-decode: decodes LTC from audio files, one line per record.

#include <cstdio>
#include <cstring>

#include "tools/DecodeFile.h"

namespace {

int usage() {
    std::fprintf(stderr, "mirel-decode: usage: mirel-decode FILE\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    const char* first = argv[1];
    if (argc != 2) {
        std::fprintf(stderr, "mirel-decode: %s: one file at a time (extra argument \"%s\")\n",
                     first, argv[2]);
        return 2;
    }
    return decodeFile(first);
}
