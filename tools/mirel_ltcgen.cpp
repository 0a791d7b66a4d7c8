// mirel-ltcgen: writes SMPTE linear timecode as audio, to stripe a track, to
// check a chain end to end, or to feed a capture card or a virtual one.

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/LtcSignal.h"

namespace {

constexpr const char* kUsage =
    "usage: mirel-ltcgen OUT [--fps 23.976|24|25|29.97|30] [--df] [--start HH:MM:SS:FF]\n"
    "                    [--frames N | --seconds S] [--rate HZ] [--channels N] [--stagger]\n"
    "                    [--user HEX8] [--dbfs D] [--pcm16 | --pcm24] [--invert] [--reverse]\n"
    "                    [--lead-in SAMPLES]\n"
    "OUT's extension picks the file type: .wav, .flac, .aiff, or .raw/.f32 (float32, no\n"
    "header). --stagger starts channel c c hours later, so channels can be told apart.\n";

struct Settings {
    LtcSignalOptions signal;
    int channels = 1;
    bool stagger = false;
    int pcmBits = 0;  ///< 0: float samples where the file type has them
    std::optional<double> seconds;
};

bool fail(const std::string& what) {
    std::fprintf(stderr, "mirel-ltcgen: %s\n", what.c_str());
    return false;
}

// The whole of `text` as a number within [low, high].
std::optional<double> number(const char* text, double low, double high) {
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(value >= low && value <= high)) return std::nullopt;
    return value;
}

bool readStart(const char* text, LtcSignalOptions& o) {
    char separator = 0;
    int used = 0;
    if (std::sscanf(text, "%2d:%2d:%2d%c%2d%n", &o.hours, &o.minutes, &o.seconds, &separator,
                    &o.frames, &used) != 5 ||
        text[used] != '\0' || (separator != ':' && separator != ';' && separator != '.')) {
        return fail(std::string("--start ") + text + ": not HH:MM:SS:FF");
    }
    if (separator == ';') o.dropFrame = true;  // the drop-frame notation
    return true;
}

bool readUserBits(const char* text, LtcSignalOptions& o) {
    if (std::strlen(text) != 8 || std::strspn(text, "0123456789abcdefABCDEF") != 8)
        return fail(std::string("--user ") + text + ": not eight hexadecimal digits");
    for (int g = 0; g < 8; ++g) {
        const char digit[2] = {text[g], 0};
        o.userBits[g] = uint8_t(std::strtoul(digit, nullptr, 16));
    }
    return true;
}

// One option that takes a value.
bool readValue(std::string_view option, const char* value, Settings& s) {
    LtcSignalOptions& o = s.signal;
    std::optional<double> n;
    if (option == "--start") return readStart(value, o);
    if (option == "--user") return readUserBits(value, o);
    if (option == "--fps") {
        n = number(value, 23, 30);
        const double rates[] = {23.976, 24, 25, 29.97, 30};
        if (!n || std::ranges::find(rates, *n) == std::end(rates))
            return fail(std::string("--fps ") + value + ": one of 23.976, 24, 25, 29.97, 30");
        o.fps = *n;
    } else if (option == "--frames" && (n = number(value, 0, 1e8))) {
        o.frameCount = int(*n);
    } else if (option == "--seconds" && (n = number(value, 0, 1e6))) {
        s.seconds = *n;
    } else if (option == "--rate" && (n = number(value, 8000, 384000))) {
        o.sampleRate = *n;
    } else if (option == "--channels" && (n = number(value, 1, 64))) {
        s.channels = int(*n);
    } else if (option == "--dbfs" && (n = number(value, -60, 0))) {
        o.dBFS = *n;
    } else if (option == "--lead-in" && (n = number(value, 0, 1e9))) {
        o.leadInSamples = size_t(*n);
    } else {
        constexpr std::string_view kValued[] = {"--frames",   "--seconds", "--rate",
                                                "--channels", "--dbfs",    "--lead-in"};
        if (std::ranges::find(kValued, option) == std::end(kValued))
            return fail("unknown option " + std::string(option));
        return fail(std::string(option) + " " + value + ": not an accepted value");
    }
    return true;
}

bool readArguments(int argc, char** argv, Settings& s) {
    for (int i = 2; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (a == "--df") {
            s.signal.dropFrame = true;
        } else if (a == "--stagger") {
            s.stagger = true;
        } else if (a == "--invert") {
            s.signal.invert = true;
        } else if (a == "--reverse") {
            s.signal.reverse = true;
        } else if (a == "--pcm16" || a == "--pcm24") {
            s.pcmBits = a == "--pcm16" ? 16 : 24;
        } else if (i + 1 < argc) {
            if (!readValue(a, argv[++i], s)) return false;
        } else {
            return fail("unknown option or missing value: " + std::string(a));
        }
    }
    const int nominal = int(std::lround(s.signal.fps));
    if (s.signal.hours > 23 || s.signal.minutes > 59 || s.signal.seconds > 59 ||
        s.signal.frames >= nominal)
        return fail("--start: not a time of day at this frame rate");
    if (s.signal.dropFrame && nominal != 30) return fail("drop frame is for 29.97 and 30 only");
    if (s.seconds) s.signal.frameCount = int(std::lround(*s.seconds * s.signal.fps));
    return true;
}

// The file type OUT's extension names, with the sample format asked for.
std::optional<int> fileFormat(const std::string& path, int pcmBits) {
    const size_t dot = path.rfind('.');
    const std::string ext = dot == std::string::npos ? "" : path.substr(dot + 1);
    const int pcm = pcmBits == 16 ? SF_FORMAT_PCM_16 : SF_FORMAT_PCM_24;
    if (ext == "wav") return SF_FORMAT_WAV | (pcmBits != 0 ? pcm : SF_FORMAT_FLOAT);
    if (ext == "aif" || ext == "aiff")
        return SF_FORMAT_AIFF | (pcmBits != 0 ? pcm : SF_FORMAT_FLOAT);
    if (ext == "flac") return SF_FORMAT_FLAC | pcm;  // FLAC has no float samples
    if (ext == "raw" || ext == "f32") {
        if (pcmBits != 0) return std::nullopt;  // the virtual card plays float32 only
        return SF_FORMAT_RAW | SF_FORMAT_FLOAT | SF_ENDIAN_LITTLE;
    }
    return std::nullopt;
}

std::vector<float> interleavedSignal(const Settings& s) {
    std::vector<std::vector<float>> channels;
    for (int c = 0; c < s.channels; ++c) {
        LtcSignalOptions o = s.signal;
        if (s.stagger) o.hours = (o.hours + c) % 24;
        channels.push_back(makeLtcSignal(o).samples);
    }
    const size_t frames = channels.front().size();
    std::vector<float> values(frames * channels.size());
    for (size_t c = 0; c < channels.size(); ++c) {
        for (size_t i = 0; i < frames; ++i) values[i * channels.size() + c] = channels[c][i];
    }
    return values;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::printf("%s", kUsage);
        return 0;
    }
    if (argc >= 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("mirel-ltcgen %s\n", MIREL_VERSION);
        return 0;
    }
    Settings settings;
    if (argc < 2 || argv[1][0] == '-') {
        std::fprintf(stderr, "%s", kUsage);
        return 2;
    }
    if (!readArguments(argc, argv, settings)) return 2;
    const std::string out = argv[1];
    const std::optional<int> format = fileFormat(out, settings.pcmBits);
    if (!format) {
        fail(out + ": name a .wav, .flac, .aiff or .raw file (raw is float only)");
        return 2;
    }
    const std::vector<float> values = interleavedSignal(settings);
    SF_INFO info{};
    info.samplerate = int(settings.signal.sampleRate);
    info.channels = settings.channels;
    info.format = *format;
    SNDFILE* file = sf_open(out.c_str(), SFM_WRITE, &info);
    if (file == nullptr) {
        fail(out + ": " + sf_strerror(nullptr));
        return 2;
    }
    const sf_count_t frames = sf_count_t(values.size() / size_t(settings.channels));
    const bool written = sf_writef_float(file, values.data(), frames) == frames;
    sf_close(file);
    if (!written) {
        fail(out + ": could not write every sample");
        return 2;
    }
    return 0;
}
