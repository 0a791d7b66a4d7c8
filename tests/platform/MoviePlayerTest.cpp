// The movie player on movies made by ffmpeg whose grey level says the frame number and whose
// sound says its time (a ramp, a tenth of its time in seconds).
#include <glib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "platform/LogCapture.h"
#include "platform/MainThread.h"
#include "platform/MoviePlayer.h"
#include "platform/SoundOutput.h"
#include "tests/platform/MainLoop.h"
#include "tests/platform/TempFolder.h"

namespace {

constexpr int32_t kScale = 12800;  // ffmpeg's time scale at 25 frames a second
constexpr int64_t kFrame = 512;
constexpr int kFrames = 100;
constexpr double kGreyStep = 2 * 255.0 / 219;  // two luma levels a frame, in full range

// Pulls only when the test says, as much as the time since its start asks.
struct FakeSoundOutput final : SoundOutput {
    bool start(int channels, Pull pull) override {
        channels_ = channels;
        pull_ = std::move(pull);
        return true;
    }
    void stop() override { pull_ = nullptr; }
    int rate() const override { return 44100; }
    double latency() const override { return 0; }

    /// Pulls what a device would have played by `now`: the time (seconds) of its last sample; 0
    /// for a gap (the ramp is never 0 where the tests listen), negative for silence.
    double pullNow(int64_t now) {
        if (startedAt_ == 0) startedAt_ = now;
        const int64_t due = (now - startedAt_) * rate() / 1000000 - pulled_;
        if (due <= 0) return -1;
        std::vector<float> block(static_cast<size_t>(due) * channels_);
        pull_(block.data(), static_cast<unsigned long>(due));
        pulled_ += due;
        const auto silent = std::count(block.begin(), block.end(), 0.0f);
        if (silent == 0) return block.back() * 10.0;
        return silent == std::ssize(block) ? -1 : 0;
    }

    int channels_ = 0;
    Pull pull_;
    int64_t startedAt_ = 0, pulled_ = 0;
};

class MoviePlayerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // The main thread's queue is made on the main thread, as in the application.
        MainThread::post([] {});
        folder_ = std::make_unique<TempFolder>();
        // Open 12-frame groups: B-frames that lead a keyframe decode from it, lost on a seek to it.
        for (const auto& [name, options] :
             {std::pair{"movie.mov", "-bf 2 -x264opts open-gop=1:b-adapt=0"},
              {"faststart.mov", "-movflags +faststart"}}) {
            const std::string command =
                "ffmpeg -v error -y -f lavfi -i color=c=black:size=64x48:rate=25:d=4 -f lavfi -i "
                "\"aevalsrc=exprs='t/10|t/10':s=48000:d=4\" -vf \"geq=lum='16+N*2':cb=128:cr=128\" "
                "-pix_fmt yuv420p -c:v libx264 -qp 4 -g 12 -c:a pcm_s16le " +
                std::string(options) + " '" + *folder_ / name + "'";
            ASSERT_EQ(std::system(command.c_str()), 0) << command;
        }
    }

    std::unique_ptr<MoviePlayer> open(const std::string& name, FakeSoundOutput* sound = nullptr) {
        std::string error;
        auto player =
            MoviePlayer::open(*folder_ / name, kScale, std::unique_ptr<SoundOutput>(sound), error);
        EXPECT_NE(player, nullptr) << error;
        if (player) player->setPictureReady([this] { ++ready; });
        return player;
    }

    static MovieTiming timing(int64_t frame, double rate, int64_t offset = 0) {
        return {frame * kFrame + offset, g_get_monotonic_time(), rate, kScale, kFrames * kFrame};
    }

    /// The frame the picture shows by its grey level; checks it is the frame its time says.
    static int shownFrame(const MoviePlayer::Picture& picture) {
        EXPECT_EQ(picture.stride, picture.width * 4);
        double sum = 0;
        for (size_t i = 1; i < picture.pixels.size(); i += 4) sum += picture.pixels[i];
        const long frame = std::lround(sum * 4 / picture.pixels.size() / kGreyStep);
        EXPECT_EQ(picture.time, frame * kFrame) << "the picture is not its time's frame";
        return frame;
    }

    /// Stopped at `frame`: the picture that shows it, or a failure.
    void expectStill(MoviePlayer& player, int frame, int64_t withinFrame = 0) {
        player.follow(timing(frame, 0, withinFrame));
        EXPECT_TRUE(runMainLoopUntil([&] { return player.picture().time == frame * kFrame; },
                                     std::chrono::seconds(10)));
        EXPECT_EQ(shownFrame(player.picture()), frame);
    }

    static inline std::unique_ptr<TempFolder> folder_;
    LogCapture log;
    int ready = 0;
};

TEST_F(MoviePlayerTest, ShowsTheFrameAtTheTimeStoppedAndOnTheTimingsScheduleAtEachRate) {
    auto player = open("movie.mov");
    ASSERT_TRUE(player);
    ASSERT_TRUE(runMainLoopUntil([&] { return ready > 0; }));
    EXPECT_EQ(std::pair(player->picture().width, player->picture().height), std::pair(64, 48));
    EXPECT_EQ(shownFrame(player->picture()), 0);
    // Forward and back; 10, 11, 22 and 23 lead the open groups of 12 and 24; 99 is the last.
    for (int frame : {5, 11, 10, 12, 23, 22, 13, 99, 47, 3}) {
        SCOPED_TRACE(frame);
        expectStill(*player, frame, frame % 3 == 0 ? kFrame - 1 : 0);
    }

    // Polled while it plays, the picture moves the timing's way, near its frame, to the end.
    for (const auto& [from, rate, lastSeen] : std::initializer_list<std::tuple<int, double, int>>{
             {10, 1, 30}, {10, 2, 50}, {70, 5, 99}, {60, -1, 40}, {90, -2, 60}, {40, -5, 0}}) {
        SCOPED_TRACE(rate);
        expectStill(*player, from);
        const MovieTiming playing = timing(from, rate);
        player->follow(playing);
        int last = from, seen = 0;
        // Eight frames, or more at rates where 0.3 s passes more of them.
        const int near = std::max(8, static_cast<int>(std::abs(rate) * 25 * 0.3));
        const int64_t end = g_get_monotonic_time() + 1200000;
        runMainLoopUntil([&] {
            const int64_t now = g_get_monotonic_time();
            const int frame = shownFrame(player->picture());
            const int due = static_cast<int>(playing.timeAt(now) / kFrame);
            EXPECT_LE(std::abs(frame - due), near) << "shows " << frame << " at " << due;
            EXPECT_TRUE(rate > 0 ? frame >= last : frame <= last) << frame << " after " << last;
            seen += frame != last ? 1 : 0;
            last = frame;
            return now > end;
        });
        EXPECT_TRUE(rate > 0 ? last >= lastSeen : last <= lastSeen) << last;
        EXPECT_GE(seen, 5);
    }
}

TEST_F(MoviePlayerTest, SoundPlaysAtRateOneOnlyInTimeWithThePicture) {
    auto* sound = new FakeSoundOutput;
    auto player = open("movie.mov", sound);
    ASSERT_TRUE(player);
    // Follows `t`, pulls for `seconds`; past 300 ms, counts sounding and silent pulls, worst drift.
    auto listen = [&](const MovieTiming& t, double seconds) {
        player->follow(t);
        const int64_t start = g_get_monotonic_time();
        int sounding = 0, silent = 0, pulls = 0;
        double worst = 0;
        runMainLoopUntil([&] {
            const int64_t now = g_get_monotonic_time();
            const double at = sound->pullNow(now);
            if (now - start > 300000 && at < 0) ++silent;
            if (now - start > 300000 && at >= 0) {
                ++sounding;
                worst = std::max(worst, std::abs(at - t.timeAt(now) / double(kScale)));
            }
            // The model retimes now and then at the same rate: playing goes on.
            if (t.rate == 1 && ++pulls % 20 == 0)
                player->follow(MovieTiming{t.timeAt(now), now, t.rate, t.timeScale, t.duration});
            g_usleep(5000);
            return now - start > seconds * 1e6;
        });
        return std::tuple(sounding, silent, worst);
    };
    // A restart would show the frame it starts from again.
    std::vector<int64_t> shown;
    player->setPictureReady([&] { shown.push_back(player->picture().time); });
    const auto [sounding, silent, worst] = listen(timing(25, 1), 1.5);
    EXPECT_GT(sounding, 20);
    EXPECT_EQ(silent, 0);
    EXPECT_LT(worst, 0.040);
    EXPECT_EQ(std::adjacent_find(shown.begin(), shown.end()), shown.end());

    // Stopping drops what was queued at once; other rates stay silent.
    for (double rate : {0.0, 2.0, -1.0}) {
        SCOPED_TRACE(rate);
        expectStill(*player, 20);
        EXPECT_EQ(std::get<0>(listen(timing(20, rate), 0.6)), 0);
    }
}

// The worker waits seconds ahead, plays with sound or decodes backwards; a picture is announced.
TEST_F(MoviePlayerTest, DestroyingReturnsPromptlyAndLeavesNoWorkBehind) {
    for (double rate : {0.01, 1.0, -1.0}) {
        SCOPED_TRACE(rate);
        auto player = open("movie.mov", new FakeSoundOutput);
        ASSERT_TRUE(player);
        player->follow(timing(50, rate));
        g_usleep(200000);
        const auto start = std::chrono::steady_clock::now();
        player.reset();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
        const int before = ready;
        runMainLoopUntil([] { return false; }, std::chrono::milliseconds(100));
        EXPECT_EQ(ready, before);
    }
}

TEST_F(MoviePlayerTest, DamagedFilesFailToOpenOrPlayWhatIsLeft) {
    const auto firstHalf = [](const std::string& name) {
        std::ifstream in(*folder_ / name, std::ios::binary);
        const std::string bytes(std::istreambuf_iterator<char>(in), {});
        return bytes.substr(0, bytes.size() / 2);
    };
    std::string noise(4096, '\0');
    for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>(i * 7919 % 251);
    for (const auto& [name, content] :
         std::vector<std::pair<std::string, std::string>>{{"empty.mov", ""},
                                                          {"noise.mov", noise},
                                                          {"index-cut.mov", firstHalf("movie.mov")},
                                                          {"missing/none.mov", ""}}) {
        SCOPED_TRACE(name);
        std::ofstream(*folder_ / name, std::ios::binary) << content;
        std::string error;
        EXPECT_EQ(MoviePlayer::open(*folder_ / name, kScale, nullptr, error), nullptr);
        EXPECT_FALSE(error.empty());
    }

    // The index is whole, the pictures stop halfway: playing ends on the
    // last frame that is there; past it, nothing new shows; before it, all does.
    std::ofstream(*folder_ / "cut.mov", std::ios::binary) << firstHalf("faststart.mov");
    auto player = open("cut.mov");
    ASSERT_TRUE(player);
    player->follow(timing(0, 5));
    runMainLoopUntil([] { return false; }, std::chrono::milliseconds(1500));
    const int last = shownFrame(player->picture());
    EXPECT_GT(last, 30);
    EXPECT_LT(last, 70);
    player->follow(timing(95, 0));
    runMainLoopUntil([] { return false; }, std::chrono::milliseconds(300));
    EXPECT_EQ(shownFrame(player->picture()), last);
    expectStill(*player, 20);
    EXPECT_LE(log.lines().size(), 1u);
}

}  // namespace
