// Timecode tracks that ffmpeg writes, read through the movie model, and tracks added in memory.
#include <gtest/gtest.h>

#include "movie/TimecodeUtilities.h"

extern "C" {
#include <libavutil/timecode.h>
}

#include <fstream>
#include <string>

#include "platform/LogCapture.h"
#include "platform/Movie.h"
#include "tests/movie/MovieFiles.h"
#include "tests/platform/TempFolder.h"

using namespace TimecodeUtilities;

namespace {

class TimecodeUtilitiesTest : public ::testing::Test {
protected:
    // Four seconds long, 320×240.
    std::unique_ptr<Movie> made(const std::string& name, const std::string& rate,
                                const std::string& options) {
        EXPECT_TRUE(makeMovie(folder / name, rate, options)) << name;
        std::string error;
        std::unique_ptr<Movie> movie = Movie::open(folder / name, error);
        EXPECT_NE(movie, nullptr) << error;
        return movie;
    }
    std::optional<std::string> at(Movie& movie, double seconds) {
        movie.setCurrentTime(static_cast<int64_t>(seconds * movie.timeScale()));
        return getCurrentTimecodeString(&movie);
    }

    TempFolder folder;
    LogCapture log;
};

TEST_F(TimecodeUtilitiesTest, ReadsTheTimecodeTracksThatFfmpegWrites) {
    auto pal = made("pal.mov", "25", "-timecode 01:00:00:00 -metadata:s:v:0 reel_name=REEL01");
    ASSERT_TRUE(pal && movieHasTimecodeTrack(pal.get()));
    EXPECT_EQ(getFirstTimecodeString(pal.get()), " 01:00:00:00");
    EXPECT_EQ(at(*pal, 2.0), " 01:00:02:00");
    EXPECT_EQ(at(*pal, 3.99), " 01:00:03:24");
    EXPECT_EQ(getTimecodeSourceString(pal.get()), "REEL01");
    const MovieTrack* video = pal->tracksOfMediaType(kVideoMediaType).front();
    ASSERT_EQ(video->references.size(), 1u);
    EXPECT_EQ(video->references[0].second, getFirstTimecodeTrack(pal.get()));

    // Drop frame: two labels skipped at the minute.
    auto ntsc = made("ntsc.mp4", "30000/1001", "-timecode '00:00:59;28'");
    ASSERT_TRUE(ntsc && movieHasTimecodeTrack(ntsc.get()));
    EXPECT_EQ(getFirstTimecodeTrack(ntsc.get())->definition.flags & 1u, 1u);
    EXPECT_EQ(getFirstTimecodeString(ntsc.get()), " 00:00:59:28");
    EXPECT_EQ(at(*ntsc, 2.5 / 29.97), " 00:01:00:02");
    EXPECT_EQ(getTimecodeSourceString(ntsc.get()), "No Source Name");

    auto none = made("none.mov", "25", "-write_tmcd 0");
    ASSERT_TRUE(none);
    EXPECT_FALSE(movieHasTimecodeTrack(none.get()));
    EXPECT_EQ(getCurrentTimecodeString(none.get()), std::nullopt);
    EXPECT_EQ(getTimecodeSourceString(none.get()), std::nullopt);
}

TEST_F(TimecodeUtilitiesTest, AnAddedTrackCountsFromItsStartForTheWholeMovie) {
    for (const auto& [fps, df, flags, timeScale] :
         {std::tuple{25, false, 2u, 2500}, {30, true, 3u, 2997}, {24, true, 3u, 2397}}) {
        SCOPED_TRACE(fps);
        Movie movie(600, 2400);  // four seconds
        movie.newTrack(kVideoMediaType, 320, 240);
        ASSERT_EQ(addTimecodeTrackToMovie(&movie, {.fps = fps, .isDf = df}), kNoErr);
        const MovieTrack& track = *getFirstTimecodeTrack(&movie);
        EXPECT_EQ(track.definition.flags, flags);
        EXPECT_EQ(track.definition.timeScale, timeScale);
        EXPECT_EQ(track.definition.frameDuration, 100);
        EXPECT_EQ(track.definition.framesPerSecond, fps);
        ASSERT_EQ(track.samples.size(), 1u);
        EXPECT_EQ(track.samples[0].frameNumber, 0);
        EXPECT_EQ(track.samples[0].duration, 2400);
        EXPECT_EQ(getTimecodeSourceString(&movie), kSourceName);
        EXPECT_EQ(movie.tracksOfMediaType(kVideoMediaType)[0]->references.size(), 1u);
    }
    Movie movie(600, 6000);
    ASSERT_EQ(
        addTimecodeTrackToMovie(&movie, {.hours = 10, .seconds = 59, .frames = 20, .fps = 25}),
        kNoErr);
    EXPECT_EQ(getFirstTimecodeString(&movie), " 10:00:59:20");
    EXPECT_EQ(at(movie, 1.5), " 10:01:01:07");
    EXPECT_EQ(at(movie, 10.0), std::nullopt) << "past the movie's end";

    EXPECT_EQ(addTimecodeTrackToMovie(nullptr, {.fps = 25}), kParamErr);
    EXPECT_EQ(addTimecodeTrackToMovie(&movie, {.fps = 0}), kBadTimecodeErr);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"Could not TCTimeCodeToFrameNumber",
                                                     "Something went wrong"}));
    EXPECT_EQ(movie.tracksOfMediaType(kTimecodeMediaType).size(), 1u) << "no track left behind";
}

TEST_F(TimecodeUtilitiesTest, DeletingTracksTakesEveryReferenceToThemAlong) {
    Movie movie(600, 600);
    MovieTrack& video = movie.newTrack(kVideoMediaType, 320, 240);
    MovieTrack& other = movie.newTrack(kVideoMediaType, 320, 240);
    ASSERT_EQ(addTimecodeTrackToMovie(&movie, {.fps = 25}), kNoErr);
    ASSERT_EQ(addTimecodeTrackToMovie(&movie, {.hours = 1, .fps = 25}), kNoErr);
    const auto timecode = movie.tracksOfMediaType(kTimecodeMediaType);
    ASSERT_EQ(getFirstTimecodeTrack(&movie), timecode[0]);
    other.references.emplace_back(kTimecodeReference, timecode[1]);

    const std::vector<MovieTrack*> tracks = movie.tracks();
    EXPECT_EQ(deleteAllReferencesToTrack(nullptr, timecode[0]), kParamErr);
    EXPECT_EQ(deleteAllReferencesToTrack(&tracks, nullptr), kParamErr);
    EXPECT_EQ(video.references.size(), 2u) << "nothing changed";

    toggleTimecodeDisplay(&movie);
    toggleTimecodeDisplay(&movie);
    EXPECT_EQ(timecode[0]->timecodeFlags, 0u);

    deleteTimecodeTracks(&movie);
    EXPECT_FALSE(movieHasTimecodeTrack(&movie));
    EXPECT_TRUE(video.references.empty());
    EXPECT_TRUE(other.references.empty());
    EXPECT_EQ(movie.tracks().size(), 2u);
}

// Files that are no movies or lost their end: an error or no usable track, never a crash or hang.
TEST_F(TimecodeUtilitiesTest, DamagedFilesOpenWithAnErrorOrWithoutTimecode) {
    ASSERT_TRUE(made("whole.mov", "25", "-timecode 01:00:00:00"));
    std::ifstream in(folder / "whole.mov", std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    const auto write = [&](const std::string& name, const std::string& content) {
        std::ofstream(folder / name, std::ios::binary) << content;
        return folder / name;
    };
    std::string error;
    for (const std::string& path :
         {write("empty.mov", ""), write("noise.mov", std::string(4096, '\x5a')),
          write("cut.mov", bytes.substr(0, bytes.size() / 2)), folder / "missing.mov"}) {
        SCOPED_TRACE(path);
        std::unique_ptr<Movie> movie = Movie::open(path, error);
        EXPECT_TRUE(movie == nullptr ? !error.empty()
                                     : !movieHasTimecodeTrack(movie.get()) ||
                                           getFirstTimecodeString(movie.get()));
    }
}

// Drop-frame counting and the 24-hour wrap, against libavutil's.
TEST(TimecodeArithmetic, AgreesWithLibavutilOverADay) {
    for (const auto& [fps, df] :
         {std::pair{25, false}, std::pair{30, true}, std::pair{60, true}, std::pair{24, false}}) {
        SCOPED_TRACE(fps);
        const TimecodeDefinition definition{df ? 3u : 2u, fps * 100, 100, uint8_t(fps)};
        const int flags = (df ? AV_TIMECODE_FLAG_DROPFRAME : 0) | AV_TIMECODE_FLAG_24HOURSMAX;
        AVTimecode reference{};
        ASSERT_EQ(av_timecode_init(&reference, AVRational{fps, 1}, flags, 0, nullptr), 0);
        std::array<char, AV_TIMECODE_STR_SIZE> text{};
        for (int64_t n = 0; n < int64_t(fps) * 86400 + 50; n += 7) {
            const TimecodeRecord record = frameNumberToTimecode(definition, n);
            std::string expected = av_timecode_make_string(&reference, text.data(), int(n));
            std::replace(expected.begin(), expected.end(), ';', ':');
            ASSERT_EQ(timecodeToString(record), " " + expected) << n;
            if (n < int64_t(fps) * 86400 * (df ? 0.999 : 1)) {
                ASSERT_EQ(timecodeToFrameNumber(definition, record), n);
            }
        }
    }
}

}  // namespace
