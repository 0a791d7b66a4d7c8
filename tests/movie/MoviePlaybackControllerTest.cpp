// The movie window's controller on movies that ffmpeg makes, in a real GTK window under Xvfb.
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
    MoviePlaybackControllerTest()
        : controller({.deliver = [this](std::unique_ptr<SMPTE_tc> tc) { values.push_back(*tc); },
                      .player = {},
                      .interfaceFile = MIREL_RESOURCES "/MoviePlayback.ui",
                      .alert = [this](auto& text) { alerts.push_back(text); },
                      .sheet = [this](auto& m, auto& t) { alerts.push_back(m + "|" + t); }}) {}

    std::string made(const std::string& name, const std::string& rate, const std::string& options,
                     const std::string& size = "320x240") {
        EXPECT_TRUE(makeMovie(folder / name, rate, options, size)) << name;
        return folder / name;
    }
    std::string timecodeOf(const SMPTE_tc& tc) {
        g_autofree gchar* text = g_strdup_printf("%02d:%02d:%02d:%02d%s", tc.h(), tc.m(), tc.s(),
                                                 tc.f(), tc.dropFrame ? " DF" : "");
        return text;
    }
    void press(uint16_t keyCode, bool handled = true) {
        const Event key{.type = Event::kKeyDown, .keyCode = keyCode, .characters = {}};
        EXPECT_EQ(controller.movieView()->keyDown(key), handled) << keyCode;
    }

    TempFolder folder;
    LogCapture log;
    std::vector<SMPTE_tc> values;
    std::vector<std::string> alerts;
    MoviePlaybackController controller;
};

TEST_F(MoviePlaybackControllerTest, AMovieWithoutTimecodeCountsFromZeroAtItsVideosRate) {
    for (const auto& [file, rate, fps, isDf, atTwoSeconds] :
         {std::tuple{"pal.mov", "25", 25, false, "00:00:02:00"},
          {"ntsc.mp4", "30000/1001", 30, true, "00:00:01:29 DF"},
          {"film.m4v", "24000/1001", 24, true, "00:00:01:23 DF"},
          {"thirty.mov", "30", 30, false, "00:00:02:00"},
          {"hd.m4v", "60000/1001", 59, false, "00:00:02:00"}}) {
        SCOPED_TRACE(file);
        controller.openNewMovie(made(file, rate, ""));
        ASSERT_NE(controller.movie(), nullptr);
        EXPECT_EQ(controller.fps(), fps);
        EXPECT_EQ(controller.isDf(), isDf);
        controller.movie()->setCurrentTime(2 * controller.movie()->timeScale());
        controller.updateTime();
        ASSERT_FALSE(values.empty());
        EXPECT_EQ(timecodeOf(values.back()), atTwoSeconds);
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
    press(0, false);  // A
}

TEST_F(MoviePlaybackControllerTest, TheWindowFitsTheVideoAndKeepsItsAspect) {
    controller.openNewMovie(made("pal.mov", "25", "", "720x576"));
    ASSERT_NE(controller.window(), nullptr);
    EXPECT_EQ(controller.videoNativeSize(), (Size{720, 576}));
    const auto windowSizeBecomes = [&](int width, int height) {
        const auto reached = [&] {
            int w = 0, h = 0;
            gtk_window_get_size(controller.window(), &w, &h);
            return w == width && h == height;
        };
        return runMainLoopUntil(reached, std::chrono::seconds(10));
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
    ASSERT_TRUE(g_file_set_contents(broken.c_str(), "not a movie", -1, nullptr));
    controller.openNewMovie(broken);
    EXPECT_EQ(controller.movieName(), broken);
    EXPECT_EQ(controller.movie(), nullptr);
    values.clear();
    controller.updateTime();
    EXPECT_TRUE(values.empty()) << "values of the movie before";
    EXPECT_EQ(std::ranges::count(log.lines(), std::string("Error opening movie")), 1);

    // Sound only: no rate to count timecode at, so no track can be added.
    const std::string sound = folder / "sound.mov";
    const std::string command = "ffmpeg -v error -y -f lavfi -i sine -t 2 '" + sound + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
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
