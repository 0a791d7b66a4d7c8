// mirel-decode: decodes LTC from audio files, or live from every input channel
// of every audio device, one line per record.

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "tools/DecodeFile.h"
#include "tools/DecodeLive.h"
#include "tools/ShareLive.h"

namespace {

constexpr const char* kUsage =
    "usage: mirel-decode FILE | --list | --live [--share [--web PORT]] [SECONDS] | --help | "
    "--version\n";

int usage() {
    std::fprintf(stderr, "mirel-decode: %s", kUsage);
    return 2;
}

// What the command line asks for; options may come in any order.
struct Invocation {
    bool help = false, version = false, list = false, live = false, share = false;
    std::optional<std::string_view> web;  ///< the port of the browser clock, as given
    bool webWithoutPort = false;
    std::optional<std::string_view> unknownOption;
    std::optional<std::string_view> operand;       ///< FILE, or SECONDS with --live
    std::optional<std::string_view> extraOperand;  ///< the first operand too many
};

Invocation read(int argc, char** argv) {
    Invocation in;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (options && arg == "--") {
            options = false;  // what follows is a file, even if it starts with "-"
        } else if (options && (arg == "--help" || arg == "-h")) {
            in.help = true;
        } else if (options && arg == "--version") {
            in.version = true;
        } else if (options && arg == "--list") {
            in.list = true;
        } else if (options && arg == "--live") {
            in.live = true;
        } else if (options && arg == "--share") {
            in.share = true;
        } else if (options && arg == "--web") {
            if (i + 1 < argc) {
                in.web = argv[++i];
            } else {
                in.webWithoutPort = true;
            }
        } else if (options && arg.size() > 1 && arg[0] == '-' && !in.unknownOption) {
            in.unknownOption = arg;
        } else if (in.operand) {
            if (!in.extraOperand) in.extraOperand = arg;
        } else {
            in.operand = arg;
        }
    }
    return in;
}

int live(const Invocation& in) {
    double seconds = 0;
    if (in.operand) {
        const std::string text(*in.operand);
        char* end = nullptr;
        seconds = std::strtod(text.c_str(), &end);
        if (end == text.c_str() || *end != '\0' || !(seconds > 0)) {
            std::fprintf(stderr, "mirel-decode: --live %s: SECONDS must be a positive number\n",
                         text.c_str());
            return 2;
        }
    }
    std::optional<int> webPort;
    if (in.web) {
        const std::string text(*in.web);
        char* end = nullptr;
        const long port = std::strtol(text.c_str(), &end, 10);
        if (end == text.c_str() || *end != '\0' || port < 1 || port > 65535) {
            std::fprintf(stderr, "mirel-decode: --web %s: PORT must be a number from 1 to 65535\n",
                         text.c_str());
            return 2;
        }
        webPort = int(port);
    }
    return in.share ? shareLive(seconds, webPort) : decodeLive(seconds);
}

}  // namespace

int main(int argc, char** argv) {
    const Invocation in = read(argc, argv);
    if (in.help) {
        std::printf("%s", kUsage);
        return 0;
    }
    if (in.version) {
        std::printf("mirel-decode %s\n", MIREL_VERSION);
        return 0;
    }
    if (in.unknownOption) {
        std::fprintf(stderr, "mirel-decode: unknown option %.*s\n",
                     static_cast<int>(in.unknownOption->size()), in.unknownOption->data());
        return usage();
    }
    if (in.list + in.live > 1 || (in.share && !in.live) || in.webWithoutPort ||
        (in.web && !in.share)) {
        return usage();
    }
    if (in.list) return in.operand ? usage() : listDevices();
    if (in.live) return in.extraOperand ? usage() : live(in);
    if (!in.operand) return usage();
    const std::string file(*in.operand);
    if (in.extraOperand) {
        std::fprintf(stderr, "mirel-decode: %s: one file at a time (extra argument \"%.*s\")\n",
                     file.c_str(), static_cast<int>(in.extraOperand->size()),
                     in.extraOperand->data());
        return 2;
    }
    return decodeFile(file.c_str());
}
