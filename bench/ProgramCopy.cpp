#include "bench/ProgramCopy.h"

#include <signal.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace {

// Appended to jQuery: runs in every page of ours once jQuery is there.
constexpr const char* kPageDriver = R"(
;(function () {
    if (typeof MirelClock == 'undefined') return;
    function report(what) { MirelClock.log('e2e ' + Date.now() + ' ' + what); }
    $(function () {
        if (location.href.indexOf('mirel:///home') == 0) {
            var wanted = MirelClock.getPreference('e2eInput');
            var timer = setInterval(function () {
                var tile = $('a.input').filter(function () { return this.title == wanted; });
                if (tile.length) {
                    clearInterval(timer);
                    tile[0].click();
                }
            }, 100);
        } else if ($('#timecode').length) {
            // Each value given, and each rendering update after new values:
            // fewer updates than values means values that were never painted.
            var given = 0, painted = 0, waiting = false;
            var show = window.receiveTimecode;
            window.receiveTimecode = function (tc) {
                show(tc);
                if (typeof tc.h == 'undefined') return;
                ++given;
                if (waiting) return;
                waiting = true;
                requestAnimationFrame(function () { waiting = false; ++painted; });
            };
            setInterval(function () {
                report('clock ' + $('#timecode').text() + '|' + $('#timecodefps').text() + '|' +
                       $('#timecodestatus').text());
                report('paint ' + given + ' ' + painted + ' ' + innerWidth + 'x' + innerHeight);
            }, MirelClock.getPreference('e2eSampleMs') || 200);
        }
    });
})();
)";

}  // namespace

std::string slurp(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

ProcessStat processStat(int pid) {
    const std::string text = slurp("/proc/" + std::to_string(pid) + "/stat");
    const size_t open = text.find('('), close = text.rfind(')');
    ProcessStat p;
    if (open == std::string::npos || close == std::string::npos) return p;
    unsigned long long user = 0, system = 0;
    // After the name: state, parent, then fields 5 to 13, then utime and stime.
    if (std::sscanf(text.c_str() + close + 1,
                    " %*c %d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &p.parent, &user,
                    &system) != 3)
        return p;
    p.user = int64_t(user);
    p.system = int64_t(system);
    p.name = text.substr(open + 1, close - open - 1);
    return p;
}

int64_t wallMs() {
    return g_get_real_time() / 1000;
}

std::string installProgram(const std::string& dir, const std::string& build) {
    fs::create_directories(dir + "/bin");
    fs::create_directories(dir + "/share");
    fs::copy_file(build.empty() ? std::string(MIREL_PROGRAM) : build + "/app/mirel",
                  dir + "/bin/mirel");
    fs::copy(build.empty() ? std::string(MIREL_RESOURCES) : build + "/share/mirel",
             dir + "/share/mirel", fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    // The build links sources into its resource folder; the copy must hold files.
    for (const auto& entry : fs::recursive_directory_iterator(dir + "/share/mirel")) {
        if (!entry.is_symlink()) continue;
        const fs::path target = fs::canonical(entry.path());
        fs::remove(entry.path());
        fs::copy_file(target, entry.path());
    }
    for (const auto& entry : fs::directory_iterator(dir + "/share/mirel/html")) {
        if (entry.path().filename().string().starts_with("jquery")) {
            std::ofstream(entry.path(), std::ios::app) << kPageDriver;
        }
    }
    return dir + "/bin/mirel";
}

Copy::Copy(const std::string& program, std::string dir, const std::string& alsaConfig,
           const nlohmann::json& settings)
    : dir_(std::move(dir)) {
    fs::create_directories(dir_ + "/mirel");
    std::ofstream(dir_ + "/mirel/preferences.json") << settings;
    const std::string command = "ALSA_CONFIG_PATH='" + alsaConfig + "' XDG_CONFIG_HOME='" + dir_ +
                                "' exec '" + program + "' 2>'" + dir_ + "/log'";
    const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
    g_spawn_async(nullptr, const_cast<char**>(argv), nullptr, G_SPAWN_DO_NOT_REAP_CHILD, nullptr,
                  nullptr, &pid_, nullptr);
}

Copy::~Copy() {
    if (pid_ != 0) finish(SIGKILL);
}

int Copy::finish(int signal) {
    kill(pid_, signal);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Copy::log() const {
    return slurp(dir_ + "/log");
}

// "e2e <ms> clock hh:mm:ss;ff|25 FPS|Running" lines, in order.
std::vector<ClockSample> clockSamples(const std::string& log) {
    std::vector<ClockSample> samples;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        const size_t at = line.find("JavaScript: e2e ");
        if (at == std::string::npos) continue;
        long long ms = 0;
        int h = 0, m = 0, s = 0, f = 0, used = 0;
        if (std::sscanf(line.c_str() + at, "JavaScript: e2e %lld clock %d:%d:%d;%d|%n", &ms, &h, &m,
                        &s, &f, &used) != 5 ||
            used == 0) {
            continue;
        }
        const std::string rest = line.substr(at + size_t(used));
        const size_t bar = rest.find('|');
        samples.push_back({ms, ((h * 60 + m) * 60 + s) * 25 + f, rest.substr(0, bar),
                           bar == std::string::npos ? "" : rest.substr(bar + 1)});
    }
    return samples;
}

std::vector<ClockSample> running(const std::vector<ClockSample>& samples) {
    std::vector<ClockSample> kept;
    for (const ClockSample& sample : samples) {
        if (sample.status == "Running" && sample.frame != 0) kept.push_back(sample);
    }
    return kept;
}

bool runUntil(const std::function<bool()>& done, std::chrono::seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < end) {
        if (!g_main_context_iteration(nullptr, FALSE))
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return done();
}

std::vector<PaintCount> paintCounts(const std::string& log) {
    std::vector<PaintCount> counts;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        const size_t at = line.find("JavaScript: e2e ");
        PaintCount c{};
        if (at != std::string::npos &&
            std::sscanf(line.c_str() + at, "JavaScript: e2e %lld paint %lld %lld %dx%d", &c.atMs,
                        &c.given, &c.painted, &c.width, &c.height) == 5) {
            counts.push_back(c);
        }
    }
    return counts;
}
