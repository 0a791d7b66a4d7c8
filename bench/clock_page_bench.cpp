// What the clock costs to watch: the real program on an X server of its own
// (Xvfb), the clock page showing the demo's virtual card (LTC on two channels,
// 25 fps unless --fps says otherwise), at 640x460 (its window as it opens) and
// full screen (F11, as a user would) at 1920x1080 and 3840x2160. After 2 s to
// settle, over 10 s: the CPU of each process of the program's tree (the
// program and WebKit's processes) and of the X server, as shares of one core,
// and the values a second the page was given and painted (the page counts
// its rendering updates that follow new values).
//
//   build/release/bench/mirel-clock-page-bench [--seconds S] [--fps F] [--build DIR] [--floor]
//                                              [VIEWS...]
//
// VIEWS are "window", "1920x1080" and "3840x2160" (all three by default).
// --build measures another build folder's program and pages, so that a
// before and an after run side by side. --floor adds, after each view, a bare
// web view with none of Mirel's code painting the same face at the same size
// from the page's own timer (mirel-webview-floor): what WebKit itself costs.
// It needs Xvfb and xdotool, not a display.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench/ProgramCopy.h"
#include "tools/LtcSignal.h"
#include "tools/virtual-card/VirtualCard.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr const char* kDevice = "ltc_demo";

struct View {
    std::string name;
    int width, height;  ///< the X screen's
    bool fullScreen;
};

// An X server of our own with one screen of the view's size.
class XServer {
public:
    XServer(int width, int height) {
        for (int n = 90; n < 200 && pid_ == 0; ++n) {
            char lock[64], socket[64], display[16], screen[32];
            std::snprintf(lock, sizeof lock, "/tmp/.X%d-lock", n);
            std::snprintf(socket, sizeof socket, "/tmp/.X11-unix/X%d", n);
            std::snprintf(display, sizeof display, ":%d", n);
            std::snprintf(screen, sizeof screen, "%dx%dx24", width, height);
            if (fs::exists(lock) || fs::exists(socket)) continue;
            display_ = display;
            const char* argv[] = {"Xvfb", display,     "-screen", "0",
                                  screen, "-nolisten", "tcp",     nullptr};
            if (!g_spawn_async(nullptr, const_cast<char**>(argv), nullptr,
                               GSpawnFlags(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD |
                                           G_SPAWN_STDOUT_TO_DEV_NULL | G_SPAWN_STDERR_TO_DEV_NULL),
                               nullptr, nullptr, &pid_, nullptr))
                return;
            for (int i = 0; i < 100 && !fs::exists(socket); ++i) std::this_thread::sleep_for(50ms);
            if (!fs::exists(socket)) stop();
        }
    }
    ~XServer() { stop(); }
    XServer(const XServer&) = delete;
    XServer& operator=(const XServer&) = delete;

    bool running() const { return pid_ != 0; }
    GPid pid() const { return pid_; }
    const std::string& display() const { return display_; }

private:
    void stop() {
        if (pid_ == 0) return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        pid_ = 0;
    }

    GPid pid_ = 0;
    std::string display_;
};

// The process and all its descendants, by pid.
std::map<int, ProcessStat> tree(int root) {
    std::map<int, ProcessStat> all;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const ProcessStat p = processStat(std::stoi(name));
        if (p.user >= 0) all[std::stoi(name)] = p;
    }
    std::map<int, ProcessStat> kept;
    if (all.count(root)) kept[root] = all[root];
    for (bool grew = true; grew;) {
        grew = false;
        for (const auto& [pid, p] : all) {
            if (!kept.count(pid) && kept.count(p.parent)) {
                kept[pid] = p;
                grew = true;
            }
        }
    }
    return kept;
}

struct Row {
    std::string view;
    std::string page;                   ///< the page's size as it measured it
    std::map<std::string, double> cpu;  ///< % of one core, by process name
    double program = 0, tree = 0, xServer = 0;
    double givenPerSecond = 0, paintedPerSecond = 0;
};

std::optional<PaintCount> lastCount(const std::string& log) {
    const auto counts = paintCounts(log);
    if (counts.empty()) return std::nullopt;
    return counts.back();
}

// Over `seconds`, after 2 s to settle: the CPU of the tree under `root` and of
// the X server, and what the page, whose counts `log` gives, was given and painted.
Row sample(const std::string& name, GPid root, GPid xServer,
           const std::function<std::string()>& log, double seconds) {
    std::this_thread::sleep_for(2s);
    const auto before = tree(root);
    const ProcessStat xBefore = processStat(xServer);
    const int64_t fromMs = wallMs();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const auto after = tree(root);
    const ProcessStat xAfter = processStat(xServer);
    const int64_t toMs = wallMs();
    // The page reports once a second: wait for the report after the end.
    runUntil(
        [&] {
            const auto c = lastCount(log());
            return c && c->atMs >= toMs;
        },
        5s);

    Row row;
    row.view = name;
    const double percent = 100.0 / double(sysconf(_SC_CLK_TCK)) / (double(toMs - fromMs) / 1000.0);
    for (const auto& [pid, p] : after) {
        const auto was = before.find(pid);
        const double share =
            double(p.ticks() - (was != before.end() ? was->second.ticks() : 0)) * percent;
        (pid == root ? row.program : row.cpu[p.name]) += share;
        row.tree += share;
    }
    if (xBefore.user >= 0 && xAfter.user >= 0) {
        row.xServer = double(xAfter.ticks() - xBefore.ticks()) * percent;
    }

    std::optional<PaintCount> first, last;
    for (const PaintCount& c : paintCounts(log())) {
        if (c.atMs >= fromMs && !first) first = c;
        if (c.atMs <= toMs + 1000) last = c;
    }
    if (first && last && last->atMs > first->atMs) {
        const double span = double(last->atMs - first->atMs) / 1000.0;
        row.givenPerSecond = double(last->given - first->given) / span;
        row.paintedPerSecond = double(last->painted - first->painted) / span;
        char page[32];
        std::snprintf(page, sizeof page, "%dx%d", last->width, last->height);
        row.page = page;
    }
    return row;
}

std::optional<Row> measure(const View& view, const std::string& program, const std::string& dir,
                           const std::string& config, double seconds) {
    XServer x(view.width, view.height);
    if (!x.running()) {
        std::fprintf(stderr, "cannot start Xvfb at %dx%d\n", view.width, view.height);
        return std::nullopt;
    }
    setenv("DISPLAY", x.display().c_str(), 1);
    Copy copy(program, dir + "/" + view.name, config,
              {{"sourceType", "Audio Input"},
               {"audioInput", std::string(kDevice) + " (1)"},
               {"e2eInput", kDevice},
               {"e2eSampleMs", 1000}});
    const auto log = [&] { return copy.log(); };
    if (!runUntil([&] { return running(clockSamples(log())).size() >= 2; }, 60s)) {
        std::fprintf(stderr, "%s: the clock never ran:\n%s\n", view.name.c_str(), log().c_str());
        return std::nullopt;
    }
    if (view.fullScreen) {
        const char* argv[] = {"xdotool", "mousemove", "100", "100", "key", "F11", nullptr};
        g_spawn_sync(nullptr, const_cast<char**>(argv), nullptr, G_SPAWN_SEARCH_PATH, nullptr,
                     nullptr, nullptr, nullptr, nullptr, nullptr);
        if (!runUntil(
                [&] {
                    const auto c = lastCount(log());
                    return c && c->width == view.width && c->height == view.height;
                },
                20s)) {
            std::fprintf(stderr, "%s: the clock did not go full screen\n", view.name.c_str());
            return std::nullopt;
        }
    }
    Row row = sample(view.name, copy.pid(), x.pid(), log, seconds);
    copy.finish();
    return row;
}

// The bare web view at the page size the program showed.
std::optional<Row> measureFloor(const View& view, const std::string& page, const std::string& dir,
                                double seconds) {
    int width = 0, height = 0;
    if (std::sscanf(page.c_str(), "%dx%d", &width, &height) != 2) return std::nullopt;
    XServer x(view.width, view.height);
    if (!x.running()) return std::nullopt;
    setenv("DISPLAY", x.display().c_str(), 1);
    const std::string logPath = dir + "/floor-" + view.name + ".log";
    const std::string w = std::to_string(width), h = std::to_string(height);
    const char* argv[] = {MIREL_WEBVIEW_FLOOR, logPath.c_str(), w.c_str(), h.c_str(), nullptr};
    GPid pid = 0;
    if (!g_spawn_async(nullptr, const_cast<char**>(argv), nullptr, G_SPAWN_DO_NOT_REAP_CHILD,
                       nullptr, nullptr, &pid, nullptr))
        return std::nullopt;
    const auto log = [&] { return slurp(logPath); };
    std::optional<Row> row;
    if (runUntil(
            [&] {
                const auto c = lastCount(log());
                return c && c->painted > 25;
            },
            60s)) {
        row = sample("bare view", pid, x.pid(), log, seconds);
    } else {
        std::fprintf(stderr, "%s: the bare web view never painted\n", view.name.c_str());
    }
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    return row;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 10, fps = 25;
    std::string build;
    bool floor = false;
    std::vector<View> views;
    const std::vector<View> known = {{"window", 1280, 1024, false},
                                     {"1920x1080", 1920, 1080, true},
                                     {"3840x2160", 3840, 2160, true}};
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else if (arg == "--fps" && i + 1 < argc) {
            fps = std::atof(argv[++i]);
        } else if (arg == "--floor") {
            floor = true;
        } else if (arg == "--build" && i + 1 < argc) {
            build = argv[++i];
        } else if (auto v = std::find_if(known.begin(), known.end(),
                                         [&](const View& k) { return k.name == arg; });
                   v != known.end()) {
            views.push_back(*v);
        } else {
            std::fprintf(stderr,
                         "usage: mirel-clock-page-bench [--seconds S] [--fps F] "
                         "[--build DIR] [--floor] [window|1920x1080|3840x2160 ...]\n");
            return 2;
        }
    }
    if (views.empty()) views = known;
    if (!(seconds > 0)) seconds = 10;

    LtcSignalOptions o;
    o.fps = fps;
    o.frameCount = int(60 * fps);
    o.userBits[0] = 1, o.userBits[1] = 2, o.userBits[2] = 3, o.userBits[3] = 4;
    const std::vector<float> mono = makeLtcSignal(o).samples;
    std::vector<float> stereo;
    stereo.reserve(mono.size() * 2);
    for (const float s : mono) stereo.insert(stereo.end(), {s, s});
    const std::string dir = makeTempDir("clock-page-bench");
    writeRawFloat32(dir + "/ltc.f32", stereo);
    const std::string config = writeAlsaConfig(
        dir, {{.name = kDevice, .channels = 2, .rawFile = dir + "/ltc.f32", .loop = true}});
    const std::string program = installProgram(dir + "/install", build);
    setenv("NO_AT_BRIDGE", "1", 1);

    std::vector<Row> rows;
    for (const View& view : views) {
        std::printf("%s ...\n", view.name.c_str());
        std::fflush(stdout);
        auto row = measure(view, program, dir, config, seconds);
        if (!row) continue;
        rows.push_back(*row);
        if (!floor) continue;
        if (auto bare = measureFloor(view, row->page, dir, seconds)) rows.push_back(*bare);
    }

    std::printf("\n%-10s %-10s %7s %7s %7s %7s %7s %8s %9s %9s\n", "view", "page", "program", "web",
                "network", "other", "tree", "X server", "values/s", "painted/s");
    for (Row& r : rows) {
        const double mirel = r.program, web = r.cpu["WebKitWebProces"],
                     network = r.cpu["WebKitNetworkPr"];
        std::printf("%-10s %-10s %7.1f %7.1f %7.1f %7.1f %7.1f %8.1f %9.1f %9.1f\n", r.view.c_str(),
                    r.page.c_str(), mirel, web, network,
                    std::max(0.0, r.tree - mirel - web - network), r.tree, r.xServer,
                    r.givenPerSecond, r.paintedPerSecond);
    }
    std::printf("(CPU in %% of one core over %.0f s; \"other\": the rest of the program's tree)\n",
                seconds);
    fs::remove_all(dir);
    return rows.size() == views.size() * (floor ? 2 : 1) ? 0 : 1;
}
