// The real mirel program following a network peer that floods it with valid
// timecode: the program follows the peer's network service; the peer answers
// its subscription with the wall clock's time at 25 frames a second, then for
// a while sends the same time line as fast as it can (at most PER_SECOND),
// then steadily again. The program's clock page reports what it shows every
// 50 ms (ProgramCopy.h). For a steady peer and for the flood, side
// by side: how long the page went without a new value, how far it lagged
// behind the peer's time, and how much the program and its web views'
// processes grew. With --check, only the flood, and the exit status says
// whether it stayed within generous bounds (ctest runs it so). Runs a private
// avahi-daemon, so it needs root, and a display:
//
//   xvfb-run -a build/release/bench/mirel-flood-bench [--check] [PER_SECOND] [SECONDS]

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/ProgramCopy.h"
#include "network/SubscriptionMessage.h"
#include "platform/NetService.h"
#include "tests/network/UdpPeer.h"
#include "tests/support/DnsSdDaemon.h"
#include "tools/virtual-card/VirtualCard.h"

using namespace std::chrono_literals;

namespace {

struct FloodOptions {
    int steadySeconds = 3;  ///< before and after the flood
    int floodSeconds = 10;
    int floodPerSecond = 130000;  ///< at most; 0 keeps the steady 25 a second throughout
};

struct FloodResult {
    std::string error;  ///< empty when the scenario ran
    int64_t sent = 0;   ///< timecode messages sent during the flood
    double floodSeconds = 0;
    /// The longest the page went without showing a new value during the flood.
    int64_t floodGapMs = 0;
    /// How far the page's time lagged behind the peer's at worst during the flood,
    /// and a second after it.
    int64_t floodLagMs = 0, lagAfterMs = 0;
    /// The program and its web views' processes, before and after the flood.
    int64_t residentBeforeKiB = 0, residentAfterKiB = 0;
    std::string log;  ///< the program's
};

constexpr int64_t kFramesPerDay = 24 * 3600 * 25;

int wallFrame(int64_t ms) {
    return int(ms * 25 / 1000 % kFramesPerDay);
}

std::string message(int number, const std::string& name, int frame) {
    char text[160];
    const int s = frame / 25;
    std::snprintf(text, sizeof text, "TCMD: %d\nNAME: %s\nTC: %02d:%02d:%02d.%02d 00000000 n 0\n",
                  number, name.c_str(), s / 3600, s / 60 % 60, s % 60, frame % 25);
    return text;
}

// The resident set of `pid` and of every process under it, in KiB.
int64_t residentTree(int pid) {
    int64_t total = 0;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) total += std::atoll(line.c_str() + 6);
    }
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream stat(entry.path() / "stat");
        std::string text((std::istreambuf_iterator<char>(stat)), {});
        const size_t close = text.rfind(')');
        int parent = 0;
        if (close != std::string::npos &&
            std::sscanf(text.c_str() + close + 1, " %*c %d", &parent) == 1 && parent == pid) {
            total += residentTree(std::stoi(name));
        }
    }
    return total;
}

enum class Phase { kSteady, kFlood, kDone };

// The peer's own thread: learns the program's address and number from its
// first subscription message, then sends by the phase.
struct Peer {
    UdpPeer socket;
    std::atomic<Phase> phase{Phase::kSteady};
    std::atomic<int64_t> sent{0};
    int perSecond = 0;
    std::string name;

    void run() {
        std::optional<int> number;
        sockaddr_in program{};
        int64_t nextSteadyMs = 0;
        while (phase != Phase::kDone) {
            if (const auto ping = socket.receive(number ? 0ms : 5ms)) {
                if (auto n = readSubscriptionMessage(*ping)) {
                    number = n;
                    program = socket.lastSource;
                }
            }
            if (!number) continue;
            const int64_t now = wallMs();
            if (phase == Phase::kFlood && perSecond > 0) {
                // One millisecond's share at a time, then wait for the next.
                const std::string bytes = message(*number, name, wallFrame(now));
                for (int i = 0; i < perSecond / 1000; ++i) socket.sendTo(program, bytes);
                sent += perSecond / 1000;
                while (wallMs() == now) std::this_thread::yield();
            } else if (now >= nextSteadyMs) {
                socket.sendTo(program, message(*number, name, wallFrame(now)));
                nextSteadyMs = now + 40;
            } else {
                std::this_thread::sleep_for(2ms);
            }
        }
    }
};

// The longest the page went, within [from, to), without showing a new value;
// and its worst lag behind the wall clock there. A page that reported nothing
// there lagged the whole time.
void measure(const std::vector<ClockSample>& samples, int64_t from, int64_t to, int64_t& gapMs,
             int64_t& lagMs) {
    int64_t changedAt = from;
    int lastFrame = -1;
    gapMs = 0;
    lagMs = to - from;
    if (std::ranges::any_of(samples,
                            [&](const ClockSample& s) { return s.atMs >= from && s.atMs < to; })) {
        lagMs = 0;
    }
    for (const ClockSample& sample : samples) {
        if (sample.atMs < from || sample.atMs >= to) continue;
        if (sample.frame != lastFrame) {
            gapMs = std::max(gapMs, sample.atMs - changedAt);
            changedAt = sample.atMs;
            lastFrame = sample.frame;
        }
        lagMs = std::max(lagMs, int64_t(wallFrame(sample.atMs) - sample.frame) * 40);
    }
    gapMs = std::max(gapMs, to - changedAt);
}

FloodResult runFloodScenario(const std::string& dir, const FloodOptions& options) {
    FloodResult result;
    const std::string program = installProgram(dir + "/root");
    std::filesystem::create_directories(dir + "/none");
    const std::string noCards = writeAlsaConfig(dir + "/none", {});

    // A name of its own for each run: the last run's may not be withdrawn yet.
    static int runs = 0;
    Peer peer;
    peer.perSecond = options.floodPerSecond;
    peer.name = "mirel://flood-peer-" + std::to_string(++runs);
    std::shared_ptr<NetService> service =
        netServices().makeService("", "_mirel._udp.", peer.name, peer.socket.port());
    service->publish();
    std::thread sending([&] { peer.run(); });

    Copy copy(program, dir + "/copy", noCards,
              {{"sourceType", "Network"},
               {"audioInput", peer.name},
               {"e2eInput", peer.name},
               {"e2eSampleMs", 50}});
    if (!runUntil([&] { return running(clockSamples(copy.log())).size() >= 10; })) {
        result.error = "the clock never ran";
    } else {
        runUntil([] { return false; }, std::chrono::seconds(options.steadySeconds));
        result.residentBeforeKiB = residentTree(copy.pid());
        const int64_t floodFrom = wallMs();
        peer.phase = Phase::kFlood;
        runUntil([] { return false; }, std::chrono::seconds(options.floodSeconds));
        peer.phase = Phase::kSteady;
        const int64_t floodTo = wallMs();
        result.residentAfterKiB = residentTree(copy.pid());
        runUntil([] { return false; }, std::chrono::seconds(options.steadySeconds));

        const std::vector<ClockSample> samples = running(clockSamples(copy.log()));
        measure(samples, floodFrom, floodTo, result.floodGapMs, result.floodLagMs);
        int64_t gap = 0;
        measure(samples, floodTo + 1000, floodTo + 1500, gap, result.lagAfterMs);
        result.sent = peer.sent;
        result.floodSeconds = double(floodTo - floodFrom) / 1000.0;
    }
    peer.phase = Phase::kDone;
    sending.join();
    service->stop();
    if (copy.finish() != 0 && result.error.empty()) result.error = "the program did not end well";
    result.log = copy.log();
    return result;
}

void print(const char* name, double rate, const FloodResult& r) {
    std::printf("%-8s %12.0f %10lld %10lld %12lld %14lld %14lld\n", name, rate,
                static_cast<long long>(r.floodGapMs), static_cast<long long>(r.floodLagMs),
                static_cast<long long>(r.lagAfterMs), static_cast<long long>(r.residentAfterKiB),
                static_cast<long long>(r.residentAfterKiB - r.residentBeforeKiB));
}

// Generous, for a loaded machine: no stall of the page a person would call a
// freeze, no backlog left after the flood, no memory that grows with it.
bool withinBounds(const FloodResult& r) {
    return r.sent > 100000 && r.floodGapMs < 1000 && r.floodLagMs < 1000 && r.lagAfterMs < 500 &&
           r.residentAfterKiB - r.residentBeforeKiB < 100 * 1024 &&
           r.log.find("Passed over ") != std::string::npos;
}

}  // namespace

int main(int argc, char** argv) {
    const bool check = argc > 1 && std::strcmp(argv[1], "--check") == 0;
    const int first = check ? 2 : 1;
    DnsSdDaemon daemon;
    if (!daemon.start()) {
        std::fprintf(stderr, "mirel-flood-bench: %s\n", daemon.error().c_str());
        return 1;
    }
    FloodOptions flood;
    if (argc > first) flood.floodPerSecond = std::atoi(argv[first]);
    if (argc > first + 1) flood.floodSeconds = std::atoi(argv[first + 1]);
    FloodOptions steady = flood;
    steady.floodPerSecond = 0;

    std::printf("%-8s %12s %10s %10s %12s %14s %14s\n", "peer", "values/s", "gap ms", "lag ms",
                "lag after", "resident KiB", "growth KiB");
    bool ok = true;
    for (const auto& [name, options] : {std::pair{"steady", steady}, std::pair{"flood", flood}}) {
        if (check && options.floodPerSecond == 0) continue;
        const std::string dir = makeTempDir("flood-bench");
        const FloodResult r = runFloodScenario(dir, options);
        std::filesystem::remove_all(dir);
        if (!r.error.empty()) {
            std::fprintf(stderr, "mirel-flood-bench: %s: %s\n%s", name, r.error.c_str(),
                         r.log.c_str());
            return 1;
        }
        print(name, options.floodPerSecond > 0 ? double(r.sent) / r.floodSeconds : 25.0, r);
        if (check && !withinBounds(r)) {
            std::fprintf(stderr, "mirel-flood-bench: out of bounds\n%s", r.log.c_str());
            ok = false;
        }
    }
    return ok ? 0 : 1;
}
