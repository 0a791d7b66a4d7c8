#include "platform/MoviePlayer.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/mathematics.h>
#include <libswscale/swscale.h>
}

#include <glib.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/Log.h"
#include "platform/MainThread.h"
#include "platform/MovieDecoder.h"
#include "platform/MovieSound.h"
#include "platform/SoundOutput.h"

namespace {

// A target this far past the next decoded frame is reached sooner by seeking
// than by decoding through.
constexpr int64_t kDecodeThroughSeconds = 2;
// Seeks further back, doubling from a second, when frames that libavcodec
// leaves out after a seek hide the target; the last goes back 16 seconds.
constexpr int kSeekAttempts = 6;
// The longest the worker sleeps without queuing sound while it plays.
constexpr int64_t kSoundFeedMicroseconds = 10000;
// The sound is read with the pictures: pictures are decoded ahead until this
// much sound waits for the output, so that a worker held up for a moment
// leaves no gap; but never more than so many pictures.
constexpr double kSoundAheadSeconds = 0.3;
constexpr size_t kMostPicturesAhead = 30;

// The main thread follows timings and takes pictures; the worker owns the
// decoder and the sound's feeding end. A timing crosses in a mailbox under
// `mutex_`, whose condition variable also times the worker's sleeps, so that
// a new timing or the destructor wakes it at once. Pictures cross the other
// way under `pictureMutex_`: the worker converts into a spare and swaps it
// with the one handed over, and picture() swaps the newest in.
class FfmpegMoviePlayer final : public MoviePlayer {
public:
    explicit FfmpegMoviePlayer(int32_t timeScale)
        : timeScale_(timeScale), decoder_(timeScale, stop_) {}
    ~FfmpegMoviePlayer() override;
    FfmpegMoviePlayer(const FfmpegMoviePlayer&) = delete;
    FfmpegMoviePlayer& operator=(const FfmpegMoviePlayer&) = delete;

    bool open(const std::string& path, std::unique_ptr<SoundOutput> output, std::string& error);
    void follow(const MovieTiming& timing) override;
    void setPictureReady(std::function<void()> ready) override { ready_ = std::move(ready); }
    const Picture& picture() override;

private:
    // The worker's.
    void run();
    void play();
    void playForward(bool withSound);
    void playReverse();
    bool showBackwards(std::vector<DecodedFrame>& interval, int64_t end);
    DecodedFrame reach(int64_t target, bool seek);
    DecodedFrame seekTo(int64_t target, std::vector<DecodedFrame>* held);
    DecodedFrame decodeTo(int64_t target, std::vector<DecodedFrame>* held);
    const DecodedFrame* peek();
    DecodedFrame take();
    bool waitForTime(int64_t time, bool forward);
    bool sleepUntil(int64_t instant);
    bool interrupted();
    bool adoptContinuing();
    bool soundPlaying() const { return sound_ != nullptr && sound_->playing(); }
    void feedSound();
    bool readAheadForSound();
    void show(const DecodedFrame& frame);
    void announce();

    // The main thread's.
    void deliver();

    const int32_t timeScale_;
    std::atomic<bool> stop_{false};
    MovieDecoder decoder_;
    std::unique_ptr<MovieSound> sound_;          ///< null when the movie plays silently
    std::atomic<MovieSound*> audible_{nullptr};  ///< what the output's pull reads
    std::unique_ptr<SoundOutput> output_;
    std::thread worker_;

    std::mutex mutex_;  ///< guards the mailbox; the worker's sleeps wait on `wake_`
    std::condition_variable wake_;
    MovieTiming mailbox_;
    std::atomic<bool> fresh_{false};  ///< a timing waits in the mailbox; written under the mutex

    std::mutex pictureMutex_;
    Picture handed_;            ///< the newest converted picture, under the picture mutex
    bool handedFresh_ = false;  ///< under the picture mutex
    Picture converting_;        ///< the worker's
    Picture current_;           ///< the main thread's
    std::atomic<bool> postPending_{false};
    std::shared_ptr<FfmpegMoviePlayer*> self_;  ///< a post finds the player through it, or nothing
    std::weak_ptr<FfmpegMoviePlayer*> weakSelf_;
    std::function<void()> ready_;

    // The worker's.
    MovieTiming timing_;
    std::deque<DecodedFrame> ahead_;  ///< decoded, not yet taken
    int64_t shownStart_ = INT64_MIN;
    SwsContext* scaler_ = nullptr;
    bool conversionFailed_ = false;
    MovieDecoder::SoundSink soundSink_;
};

FfmpegMoviePlayer::~FfmpegMoviePlayer() {
    self_.reset();
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (worker_.joinable()) worker_.join();
    if (output_) output_->stop();
    sws_freeContext(scaler_);
}

bool FfmpegMoviePlayer::open(const std::string& path, std::unique_ptr<SoundOutput> output,
                             std::string& error) {
    if (timeScale_ <= 0) {
        error = "the movie has no time scale";
        return false;
    }
    if (!decoder_.open(path, error)) return false;
    if (decoder_.hasSound() && output) {
        // The pull exists before the device says its rate; it plays silence
        // until the sound it reads is made.
        auto pull = [this](float* out, unsigned long frames) {
            MovieSound* sound = audible_.load(std::memory_order_acquire);
            if (sound != nullptr) return sound->pull(out, frames);
            std::fill(out, out + frames * MovieSound::kChannels, 0.0f);
        };
        if (output->start(MovieSound::kChannels, pull)) {
            sound_ = std::make_unique<MovieSound>(output->rate(), output->latency());
            audible_.store(sound_.get(), std::memory_order_release);
            output_ = std::move(output);
        }
    }
    soundSink_ = [this](const AVFrame& sound, int64_t start) { sound_->add(sound, start); };
    self_ = std::make_shared<FfmpegMoviePlayer*>(this);
    weakSelf_ = self_;
    // Until told otherwise, the first frame stands still.
    mailbox_ = MovieTiming{.time = 0,
                           .instant = 0,
                           .rate = 0,
                           .timeScale = timeScale_,
                           .duration = decoder_.duration()};
    fresh_ = true;
    worker_ = std::thread([this] { run(); });
    return true;
}

void FfmpegMoviePlayer::follow(const MovieTiming& timing) {
    MovieTiming mine = timing;
    // The worker counts in the frames' time scale.
    if (timing.timeScale > 0 && timing.timeScale != timeScale_) {
        mine.time = av_rescale(timing.time, timeScale_, timing.timeScale);
        mine.duration = av_rescale(timing.duration, timeScale_, timing.timeScale);
        mine.timeScale = timeScale_;
    }
    {
        std::lock_guard lock(mutex_);
        mailbox_ = mine;
        fresh_ = true;
    }
    wake_.notify_all();
}

const MoviePlayer::Picture& FfmpegMoviePlayer::picture() {
    std::lock_guard lock(pictureMutex_);
    if (handedFresh_) {
        std::swap(current_, handed_);
        handedFresh_ = false;
    }
    return current_;
}

void FfmpegMoviePlayer::deliver() {
    postPending_ = false;
    // The callback may destroy the player: it runs from a copy.
    const std::function<void()> ready = ready_;
    if (ready) ready();
}

void FfmpegMoviePlayer::announce() {
    if (postPending_.exchange(true)) return;
    MainThread::post([weak = weakSelf_] {
        if (const auto self = weak.lock()) (*self)->deliver();
    });
}

void FfmpegMoviePlayer::run() {
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stop_.load() || fresh_.load(); });
            if (stop_) break;
            timing_ = mailbox_;
            fresh_ = false;
        }
        play();
    }
    if (sound_) sound_->mute();
}

void FfmpegMoviePlayer::play() {
    const int64_t now = g_get_monotonic_time();
    const double rate = timing_.rateAt(now);
    const bool withSound = sound_ != nullptr && rate == 1.0;
    if (sound_ && !withSound) sound_->mute();
    if (rate == 0) {
        DecodedFrame frame = reach(timing_.timeAt(now), false);
        if (frame && !interrupted()) show(frame);
    } else if (rate > 0) {
        playForward(withSound);
    } else {
        playReverse();
    }
    if (sound_) sound_->mute();
}

void FfmpegMoviePlayer::playForward(bool withSound) {
    const int64_t target = timing_.timeAt(g_get_monotonic_time());
    if (withSound) sound_->begin(av_rescale(target, sound_->rate(), timeScale_));
    // The sound of what was decoded already is gone: it is read again.
    DecodedFrame current = reach(target, withSound);
    for (;;) {
        if (current) {
            if (!waitForTime(current.start, true)) break;
            show(current);
        }
        current = take();
        if (!current) {
            // The end: the sound queued for the last frame still plays.
            waitForTime(timing_.duration, true);
            return;
        }
        // A frame whose successor is due already would be late: never shown.
        for (const DecodedFrame* after = peek(); after != nullptr; after = peek()) {
            if (after->start > timing_.timeAt(g_get_monotonic_time()) || interrupted()) break;
            current = take();
        }
    }
    if (current) ahead_.push_front(std::move(current));
}

// Each keyframe interval is decoded forward and held, shown last frame
// first, then the interval before it is read.
void FfmpegMoviePlayer::playReverse() {
    std::vector<DecodedFrame> interval;
    if (DecodedFrame last = seekTo(timing_.timeAt(g_get_monotonic_time()), &interval))
        interval.push_back(std::move(last));
    const DecodedFrame* after = peek();
    int64_t end = after != nullptr ? after->start : INT64_MAX;
    while (!interval.empty() && !interrupted()) {
        if (!showBackwards(interval, end)) return;
        end = interval.front().start;
        interval.clear();
        if (end <= 0) return;
        // A seek further back may decode frames shown already: they go.
        DecodedFrame last = seekTo(end - 1, &interval);
        if (last && last.start < end) interval.push_back(std::move(last));
        std::erase_if(interval, [end](const DecodedFrame& frame) { return frame.start >= end; });
    }
}

bool FfmpegMoviePlayer::showBackwards(std::vector<DecodedFrame>& interval, int64_t end) {
    for (size_t i = interval.size(); i-- > 0;) {
        const int64_t next = i + 1 < interval.size() ? interval[i + 1].start : end;
        // Late: the time has gone before this frame's start already.
        if (timing_.timeAt(g_get_monotonic_time()) < interval[i].start) continue;
        if (!waitForTime(next, false)) return false;
        show(interval[i]);
        interval[i].frame.reset();  // held frames are large: each goes once shown
    }
    return true;
}

// The frame that shows `target`, decoded forward from where decoding stands
// when the target lies a little ahead, else from a seek; none when the frame
// shown already is that frame.
DecodedFrame FfmpegMoviePlayer::reach(int64_t target, bool seek) {
    const DecodedFrame* next = peek();
    const bool shown = shownStart_ <= target && (next == nullptr || target < next->start);
    if (shown && !seek) return {};
    const bool onTheWay = next != nullptr && next->start <= target &&
                          target - next->start < kDecodeThroughSeconds * timeScale_;
    if (seek || !onTheWay) return seekTo(target, nullptr);
    return decodeTo(target, nullptr);
}

// Seeks to the keyframe before `target` and decodes up to the frame that
// shows it. After a seek, libavcodec leaves out the frames it cannot decode
// whole: the leading frames of an open group (the group then starts past a
// target among them) and, now and then, one right after the keyframe's own.
// Either way the seek goes further back.
DecodedFrame FfmpegMoviePlayer::seekTo(int64_t target, std::vector<DecodedFrame>* held) {
    DecodedFrame found;
    bool lostOne = false;
    int64_t back = 0;
    for (int attempt = 0; attempt < kSeekAttempts && !interrupted(); ++attempt) {
        ahead_.clear();
        if (held != nullptr) held->clear();
        decoder_.seek(target - back);
        const DecodedFrame* first = peek();
        if (first == nullptr) return {};
        if (first->start <= target || target - back <= 0) {
            found = decodeTo(target, held);
            const bool missing = found.end > found.start && found.end <= target;
            if (!missing || lostOne) return found;
            lostOne = true;
        }
        back = back == 0 ? timeScale_ : back * 2;
    }
    return found;
}

// Decodes on to the frame that shows `target` (the first frame, when all
// start after it); the frames before it are dropped, or held.
DecodedFrame FfmpegMoviePlayer::decodeTo(int64_t target, std::vector<DecodedFrame>* held) {
    DecodedFrame found;
    for (const DecodedFrame* next = peek(); next != nullptr && !interrupted(); next = peek()) {
        if (found && next->start > target) break;
        if (found && held != nullptr) held->push_back(std::move(found));
        found = take();
    }
    return found;
}

const DecodedFrame* FfmpegMoviePlayer::peek() {
    if (ahead_.empty()) {
        DecodedFrame frame = decoder_.nextVideo(
            soundPlaying() ? soundSink_ : MovieDecoder::SoundSink{}, sound_ ? sound_->rate() : 0);
        feedSound();
        if (!frame) return nullptr;
        ahead_.push_back(std::move(frame));
    }
    return &ahead_.front();
}

DecodedFrame FfmpegMoviePlayer::take() {
    if (peek() == nullptr) return {};
    DecodedFrame frame = std::move(ahead_.front());
    ahead_.pop_front();
    return frame;
}

void FfmpegMoviePlayer::feedSound() {
    if (!soundPlaying()) return;
    sound_->feed([this](int64_t instant) {
        return av_rescale(timing_.timeAt(instant), sound_->rate(), timeScale_);
    });
}

// One more picture decoded ahead, with the sound read on the way, when the
// sound runs short; false when there is enough, or nothing more to read.
bool FfmpegMoviePlayer::readAheadForSound() {
    if (sound_->waiting() >= static_cast<int64_t>(kSoundAheadSeconds * sound_->rate()) ||
        ahead_.size() >= kMostPicturesAhead)
        return false;
    DecodedFrame frame = decoder_.nextVideo(soundSink_, sound_->rate());
    if (!frame) return false;
    ahead_.push_back(std::move(frame));
    feedSound();
    return true;
}

// Until the timing reaches `time` (forward) or goes below it (backwards);
// false when a new timing or the destructor interrupts.
bool FfmpegMoviePlayer::waitForTime(int64_t time, bool forward) {
    for (;;) {
        const int64_t now = g_get_monotonic_time();
        const int64_t at = timing_.timeAt(now);
        if (forward ? at >= time : at < time) return true;
        // Stopped at an end: the time will not come.
        if (timing_.rateAt(now) == 0) return !interrupted();
        const double perMicrosecond = timing_.rate * timing_.timeScale / 1e6;
        const double due = static_cast<double>(time - timing_.time) / perMicrosecond;
        const int64_t instant = timing_.instant + static_cast<int64_t>(std::ceil(due)) + 1;
        if (!sleepUntil(std::max(instant, now + 1))) return false;
    }
}

bool FfmpegMoviePlayer::interrupted() {
    if (stop_) return true;
    if (!fresh_) return false;
    std::lock_guard lock(mutex_);
    return !adoptContinuing();
}

// A timing that goes on from where the one followed stands, at its rate (the
// model retimes whenever it is asked for a rate, the same one too), is taken
// without a pause: no seek, no gap in the sound. Under the mutex.
bool FfmpegMoviePlayer::adoptContinuing() {
    const int64_t now = g_get_monotonic_time();
    const MovieTiming& next = mailbox_;
    const bool continuing = next.rate != 0 && next.rate == timing_.rate &&
                            next.duration == timing_.duration &&
                            std::abs(next.timeAt(now) - timing_.timeAt(now)) <= timeScale_ / 50;
    if (!continuing) return false;
    timing_ = next;
    fresh_ = false;
    return true;
}

bool FfmpegMoviePlayer::sleepUntil(int64_t instant) {
    std::unique_lock lock(mutex_);
    for (;;) {
        if (stop_ || (fresh_ && !adoptContinuing())) return false;
        const int64_t now = g_get_monotonic_time();
        if (now >= instant) return true;
        int64_t step = instant - now;
        if (soundPlaying()) {
            lock.unlock();
            feedSound();
            const bool readMore = readAheadForSound();
            lock.lock();
            step = readMore ? 0 : std::min(step, kSoundFeedMicroseconds);
        }
        wake_.wait_for(lock, std::chrono::microseconds(step));
    }
}

void FfmpegMoviePlayer::show(const DecodedFrame& decoded) {
    const AVFrame& frame = *decoded.frame;
    scaler_ = sws_getCachedContext(
        scaler_, frame.width, frame.height, static_cast<AVPixelFormat>(frame.format), frame.width,
        frame.height, AV_PIX_FMT_BGR0, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (scaler_ == nullptr) {
        if (!conversionFailed_) Log::line("Movie pictures cannot be converted for display");
        conversionFailed_ = true;
        return;
    }
    Picture& picture = converting_;
    picture.width = frame.width;
    picture.height = frame.height;
    picture.stride = frame.width * 4;
    picture.pixels.resize(static_cast<size_t>(picture.stride) * frame.height);
    uint8_t* planes[1] = {picture.pixels.data()};
    const int strides[1] = {picture.stride};
    sws_scale(scaler_, frame.data, frame.linesize, 0, frame.height, planes, strides);
    picture.time = decoded.start;
    shownStart_ = decoded.start;
    {
        std::lock_guard lock(pictureMutex_);
        std::swap(converting_, handed_);
        handedFresh_ = true;
    }
    announce();
}

}  // namespace

std::unique_ptr<MoviePlayer> MoviePlayer::open(const std::string& path, int32_t timeScale,
                                               std::string& error) {
    return open(path, timeScale, SoundOutput::makeDefault(), error);
}

std::unique_ptr<MoviePlayer> MoviePlayer::open(const std::string& path, int32_t timeScale,
                                               std::unique_ptr<SoundOutput> output,
                                               std::string& error) {
    auto player = std::make_unique<FfmpegMoviePlayer>(timeScale);
    if (!player->open(path, std::move(output), error)) return nullptr;
    return player;
}
