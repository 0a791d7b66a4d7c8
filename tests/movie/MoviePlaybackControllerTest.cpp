// The movie window's controller on real movies that ffmpeg makes, in a real
// GTK window (under Xvfb), without pictures: what reaches the timecode
// controller, the keys, the window sizes and the failures.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include "movie/MirelMovieView.h"
#include "movie/MoviePlaybackController.h"
#include "platform/LogCapture.h"
#include "tests/movie/MovieFiles.h"
#include "tests/platform/MainLoop.h"
#include "tests/platform/TempFolder.h"

namespace {

using Size = MoviePlaybackController::Size;

class MoviePlaybackControllerTest : public ::testing::Test {
protected:
    MoviePlaybackControllerTest() : controller(environment()) {}

    MoviePlaybackController::Environment environment() {
        MoviePlaybackController::Environment e;
        e.deliver = [this](std::unique_ptr<SMPTE_tc> tc) { values.push_back(*tc); };
        e.interfaceFile = MIREL_RESOURCES "/MoviePlayback.ui";
        e.alert = [this](const std::string& text) { alerts.push_back(text); };
        e.sheet = [this](const std::string& message, const std::string& text) {
            alerts.push_back(message + "|" + text);
        };
        return e;
    }

    std::string made(const std::string& name, const std::string& rate, const std::string& options,
                     const std::string& size = "320x240") {
        const std::string path = folder / name;
        EXPECT_TRUE(makeMovie(path, rate, options, size)) << name;
        return path;
    }
    std::string timecodeOf(const SMPTE_tc& tc) {
        char text[16];
        std::snprintf(text, sizeof text, "%02d:%02d:%02d:%02d%s", tc.h(), tc.m(), tc.s(), tc.f(),
                      tc.dropFrame ? " DF" : "");
        return text;
    }
    std::string lastValue() { return values.empty() ? "none" : timecodeOf(values.back()); }
    void press(uint16_t keyCode) {
        Event key;
        key.type = Event::kKeyDown;
        key.keyCode = keyCode;
        EXPECT_TRUE(controller.movieView()->keyDown(key)) << keyCode;
    }

    TempFolder folder;
    LogCapture log;
    std::vector<SMPTE_tc> values;
    std::vector<std::string> alerts;
    MoviePlaybackController controller;
};

TEST_F(MoviePlaybackControllerTest, AMovieWithoutTimecodeCountsFromZeroAtItsVideosRate) {
    const struct {
        const char* file;
        const char* rate;
        int32_t fps;
        bool isDf;
        const char* atTwoSeconds;
    } cases[] = {
        {"pal.mov", "25", 25, false, "00:00:02:00"},
        {"ntsc.mp4", "30000/1001", 30, true, "00:00:01:29 DF"},
        {"film.m4v", "24000/1001", 24, true, "00:00:01:23 DF"},
        {"thirty.mov", "30", 30, false, "00:00:02:00"},
        {"hd.m4v", "60000/1001", 59, false, "00:00:02:00"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        controller.openNewMovie(made(c.file, c.rate, ""));
        ASSERT_NE(controller.movie(), nullptr);
        EXPECT_EQ(controller.fps(), c.fps);
        EXPECT_EQ(controller.isDf(), c.isDf);
        controller.movie()->setCurrentTime(2 * controller.movie()->timeScale());
        controller.updateTime();
        EXPECT_EQ(lastValue(), c.atTwoSeconds);
        EXPECT_EQ(values.back().myId, 0) << "the receiver stamps the source";
    }
    EXPECT_TRUE(alerts.empty());
}

TEST_F(MoviePlaybackControllerTest, APausedMovieGivesItsOwnTimecodeOnEveryTick) {
    controller.openNewMovie(made("tc.mov", "25", "-timecode 01:00:00:00"));
    ASSERT_FALSE(controller.addInitialTimecodeTrackIfNecessary()) << "it has one";
    controller.movie()->setCurrentTime(controller.movie()->timeScale() * 10 / 25);
    values.clear();
    for (int tick = 0; tick < 3; ++tick) controller.updateTime();
    ASSERT_EQ(values.size(), 3u);
    for (const SMPTE_tc& tc : values) EXPECT_EQ(timecodeOf(tc), "01:00:00:10");

    // The timer delivers too, playing or not.
    values.clear();
    ASSERT_TRUE(runMainLoopUntil([&] { return values.size() >= 3; }));
}

TEST_F(MoviePlaybackControllerTest, ArrowsStepOneFrameAndJKLShuttle) {
    controller.openNewMovie(made("step.mov", "25", "-timecode 00:00:10:00"));
    Movie& movie = *controller.movie();
    const int64_t frame = movie.timeScale() / 25;
    movie.setCurrentTime(10 * frame);
    press(MirelMovieView::kRightArrowKey);
    EXPECT_EQ(movie.currentTime(), 11 * frame);
    press(MirelMovieView::kLeftArrowKey);
    press(MirelMovieView::kLeftArrowKey);
    EXPECT_EQ(movie.currentTime(), 9 * frame);

    const std::pair<uint16_t, double> shuttle[] = {
        {MirelMovieView::kLKey, 1}, {MirelMovieView::kLKey, 2},  {MirelMovieView::kJKey, 1},
        {MirelMovieView::kKKey, 0}, {MirelMovieView::kJKey, -1}, {MirelMovieView::kKKey, 0}};
    for (const auto& [key, rate] : shuttle) {
        press(key);
        EXPECT_EQ(movie.rate(), rate) << key;
    }
    Event other;
    other.type = Event::kKeyDown;
    other.keyCode = 0;  // A
    EXPECT_FALSE(controller.movieView()->keyDown(other));
}

TEST_F(MoviePlaybackControllerTest, TheWindowFitsTheVideoAndKeepsItsAspect) {
    controller.openNewMovie(made("pal.mov", "25", "", "720x576"));
    ASSERT_NE(controller.window(), nullptr);
    EXPECT_EQ(controller.videoNativeSize(), (Size{720, 576}));
    const auto windowSizeBecomes = [&](int width, int height) {
        return runMainLoopUntil(
            [&] {
                int w = 0, h = 0;
                gtk_window_get_size(controller.window(), &w, &h);
                return w == width && h == height;
            },
            std::chrono::seconds(10));
    };
    EXPECT_TRUE(windowSizeBecomes(720, 614));
    int x = 0, y = 0;
    gtk_window_get_position(controller.window(), &x, &y);
    controller.setMovieSizeHalf();
    EXPECT_TRUE(windowSizeBecomes(360, 326));
    controller.setMovieSizeDouble();
    EXPECT_TRUE(windowSizeBecomes(1440, 1190));
    int movedX = -1, movedY = -1;
    gtk_window_get_position(controller.window(), &movedX, &movedY);
    EXPECT_EQ(std::make_pair(movedX, movedY), std::make_pair(x, y)) << "the top-left corner stays";

    controller.openNewMovie(made("hd.mov", "25", "", "1920x1080"));
    EXPECT_EQ(controller.windowWillResize(controller.window(), {1024, 100}), (Size{1024, 614}));
    gtk_window_resize(controller.window(), 1024, 100);  // as a user's drag would
    EXPECT_TRUE(windowSizeBecomes(1024, 614));
    controller.openNewMovie(folder / "missing.mov");
    EXPECT_EQ(controller.windowWillResize(controller.window(), {1024, 100}), (Size{1024, 100}));
}

TEST_F(MoviePlaybackControllerTest, FailuresAreReportedAndLoseTheMovieBefore) {
    controller.openNewMovie(made("first.mov", "25", "-timecode 01:00:00:00"));
    const std::string broken = folder / "broken.mov";
    FILE* file = std::fopen(broken.c_str(), "w");
    std::fputs("not a movie", file);
    std::fclose(file);
    controller.openNewMovie(broken);
    EXPECT_EQ(controller.movieName(), broken);
    EXPECT_EQ(controller.movie(), nullptr);
    values.clear();
    controller.updateTime();
    EXPECT_TRUE(values.empty()) << "values of the movie before";
    const std::vector<std::string> lines = log.lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Error opening movie"), lines.end());

    // Sound only: no rate to count timecode at, so no track can be added.
    const std::string sound = folder / "sound.mov";
    ASSERT_EQ(
        std::system(
            ("ffmpeg -v error -y -f lavfi -i sine=frequency=1000 -t 2 '" + sound + "'").c_str()),
        0);
    controller.openNewMovie(sound);
    ASSERT_NE(controller.movie(), nullptr);
    EXPECT_EQ(alerts, std::vector<std::string>{
                          "Cannot Utilize Movie|This movie does not support adding of timecode due "
                          "to QuickTime error -2070.\n\nYou will not be able to use this movie in "
                          "Mirel."});
    EXPECT_EQ(log.lines().back(), "Added timecode returned -2070");
    controller.updateTime();
    EXPECT_TRUE(values.empty());
}

}  // namespace

int main(int argc, char** argv) {
    gtk_init(&argc, &argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
