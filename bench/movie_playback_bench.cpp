// The movie window as the program plays a movie (the real player, on an X
// display): for rate 1 and then -1, the pictures shown a second, the CPU of the
// whole process in % of one core, how much more memory the process holds while
// it plays, and the delay from a picture's showing to its timecode's arrival
// at the timecode controller's entry (median, and the range).
//
//   xvfb-run -a mirel-movie-bench MOVIE [SECONDS]
//
// The movie should have no timecode track, so that frame N reads as N.
#include <gtk/gtk.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "movie/MoviePlaybackController.h"
#include "platform/MoviePlayer.h"

namespace {

// The program's player, counting what it hands to the window.
class CountingPlayer final : public MoviePlayer {
public:
    explicit CountingPlayer(std::unique_ptr<MoviePlayer> player) : player_(std::move(player)) {}
    void follow(const MovieTiming& timing) override { player_->follow(timing); }
    void setPictureReady(std::function<void()> ready) override {
        player_->setPictureReady([this, ready = std::move(ready)] {
            ++shown;
            const int64_t frame = player_->picture().time / frameLength;
            firstShown.try_emplace(frame, g_get_monotonic_time());
            ready();
        });
    }
    const Picture& picture() override { return player_->picture(); }

    int64_t frameLength = 1;
    int shown = 0;
    std::map<int64_t, int64_t> firstShown;  ///< frame → when it was first shown

private:
    std::unique_ptr<MoviePlayer> player_;
};

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long residentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return 0;
}

void runFor(double seconds, long& peakKiB) {
    const int64_t end = g_get_monotonic_time() + static_cast<int64_t>(seconds * 1e6);
    while (g_get_monotonic_time() < end) {
        g_main_context_iteration(nullptr, FALSE);
        peakKiB = std::max(peakKiB, residentKiB());
        g_usleep(1000);
    }
}

}  // namespace

int main(int argc, char** argv) {
    gtk_init(&argc, &argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s MOVIE [SECONDS]\n", argv[0]);
        return 2;
    }
    const double seconds = argc > 2 ? std::atof(argv[2]) : 5.0;
    CountingPlayer* counting = nullptr;
    std::map<int64_t, int64_t> firstDelivered;  // frame → when its timecode arrived
    int32_t fps = 25;
    MoviePlaybackController::Environment environment;
    environment.deliver = [&](std::unique_ptr<SMPTE_tc> tc) {
        const int64_t frame = ((tc->h() * 60LL + tc->m()) * 60 + tc->s()) * fps + tc->f();
        firstDelivered.try_emplace(frame, g_get_monotonic_time());
    };
    environment.player = [&](const Movie& movie,
                             std::string& error) -> std::unique_ptr<MoviePlayer> {
        auto player = MoviePlayer::open(movie.path(), movie.timeScale(), error);
        if (!player) return nullptr;
        auto wrapped = std::make_unique<CountingPlayer>(std::move(player));
        counting = wrapped.get();
        return wrapped;
    };
    MoviePlaybackController controller(environment);
    controller.openNewMovie(argv[1]);
    Movie* movie = controller.movie();
    if (movie == nullptr || counting == nullptr || controller.fps() == 0) {
        std::fprintf(stderr, "%s cannot be played\n", argv[1]);
        return 1;
    }
    fps = controller.fps();
    counting->frameLength = movie->timeScale() / fps;
    long peak = 0;
    runFor(1.0, peak);
    const long idleKiB = residentKiB();

    // The delay is signed: the timecode follows the movie's time, which a late
    // picture may trail.
    std::printf("%-6s %10s %10s %12s %10s %s\n", "rate", "shown/s", "CPU %", "held MiB", "delay ms",
                "(min..max)");
    for (const double rate : {1.0, -1.0}) {
        movie->setCurrentTime(rate > 0 ? 0 : movie->duration());
        runFor(0.5, peak);
        counting->shown = 0;
        counting->firstShown.clear();
        firstDelivered.clear();
        peak = residentKiB();
        const double cpuBefore = cpuSeconds();
        movie->setRate(rate);
        runFor(seconds, peak);
        const double cpu = cpuSeconds() - cpuBefore;
        movie->stop();
        std::vector<int64_t> delays;
        for (const auto& [frame, shownAt] : counting->firstShown) {
            const auto delivered = firstDelivered.find(frame);
            if (delivered != firstDelivered.end()) delays.push_back(delivered->second - shownAt);
        }
        std::sort(delays.begin(), delays.end());
        if (delays.empty()) delays.push_back(0);
        std::printf("%-6.1f %10.1f %10.1f %12.1f %10.1f %7.1f..%.1f\n", rate,
                    counting->shown / seconds, 100 * cpu / seconds, (peak - idleKiB) / 1024.0,
                    delays[delays.size() / 2] / 1000.0, delays.front() / 1000.0,
                    delays.back() / 1000.0);
    }
    return 0;
}
