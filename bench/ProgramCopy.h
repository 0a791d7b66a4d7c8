#pragma once

#include <glib.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

// The real mirel program run as a user runs it, for benchmarks of the whole
// process (and the flood check that ctest runs):
// installed in a scratch folder whose jQuery file carries a small page
// script. On the home page the script clicks the input tile named by the
// setting "e2eInput", as a user would; on the clock page it reports what the
// page shows through MirelClock.log every "e2eSampleMs" milliseconds (200 by
// default), so that tests read the page text itself from the copy's log, and
// how many values it was given and how many rendering updates showed new ones.

/// Copies the program and its resources under `dir` and returns the program's path:
/// this build's, or those of the build folder `build`.
std::string installProgram(const std::string& dir, const std::string& build = "");

// One running copy with its own settings folder; its standard error goes to
// dir/log. A copy still running when the test ends early is killed.
class Copy {
public:
    Copy(const std::string& program, std::string dir, const std::string& alsaConfig,
         const nlohmann::json& settings);
    ~Copy();
    Copy(const Copy&) = delete;
    Copy& operator=(const Copy&) = delete;

    /// Asks the copy to end and returns its exit status (-1 when it did not exit).
    int finish(int signal = 15);

    std::string log() const;
    GPid pid() const { return pid_; }

private:
    std::string dir_;
    GPid pid_ = 0;
};

/// One report of the clock page: when, and what it showed.
struct ClockSample {
    int64_t atMs;
    int frame;  ///< since midnight, at 25 fps
    std::string fps, status;
};

/// Counts on the clock page since it opened: values given, rendering updates after new
/// values, and the page's size.
struct PaintCount {
    long long atMs, given, painted;
    int width, height;
};

/// The copy's clock reports, in order.
std::vector<ClockSample> clockSamples(const std::string& log);
/// Those of a clock that runs, and has shown a value.
std::vector<ClockSample> running(const std::vector<ClockSample>& samples);
/// The copy's paint counts, in order.
std::vector<PaintCount> paintCounts(const std::string& log);

/// A process's CPU time so far (clock ticks, user and system), its parent and its name.
struct ProcessStat {
    int64_t user = -1, system = -1;
    int parent = 0;
    std::string name;
    int64_t ticks() const { return user + system; }
};
/// From /proc/PID/stat; user and system stay -1 when the process is gone.
ProcessStat processStat(int pid);

int64_t wallMs();
std::string slurp(const std::string& path);

/// Runs the main context until `done` holds or `limit` has passed.
bool runUntil(const std::function<bool()>& done,
              std::chrono::seconds limit = std::chrono::seconds(40));
