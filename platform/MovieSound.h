#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "platform/SpscRing.h"

struct AVFrame;
struct SwrContext;

// A movie's sound on its way to the output: resampled to float stereo at the
// output's rate, queued in a lock-free ring that the output's pull drains, and
// kept in time with the picture from the worker's end. Positions are movie
// times counted in output frames. What is queued but not yet heard is known
// exactly: each pull counts the frames it takes and notes when it ran, so the
// frame at the head of the queue then should have been the one due a latency
// after that instant; when it strays more than kDriftMs from that, frames are
// dropped or silence added. Measuring at the pull's own instant keeps a pull
// that comes late from passing for drift. Muting is lock-free too: queued
// frames carry the generation they were queued in, and the pull drops those
// of an old one.
//
// Thread contract: pull() on the output's real-time thread; everything else
// on the player's worker.
class MovieSound {
public:
    static constexpr int kChannels = 2;
    static constexpr int kDriftMs = 20;

    /// `latency` in seconds, `rate` in frames a second.
    MovieSound(int rate, double latency);
    ~MovieSound();
    MovieSound(const MovieSound&) = delete;
    MovieSound& operator=(const MovieSound&) = delete;

    /// Output thread: fills `out` with the queued sound, silence where there is none.
    void pull(float* out, unsigned long frames) noexcept;

    /// Plays from `position` on, dropping whatever was queued before.
    void begin(int64_t position);
    /// Silence from now on; what was queued is dropped.
    void mute();
    bool playing() const { return playing_; }
    int rate() const { return rate_; }

    /// Decoded sound that starts at `start`; before the position playing
    /// begun at, it is cut.
    void add(const AVFrame& sound, int64_t start);
    /// Frames decoded and not yet heard (queued or waiting for room).
    int64_t waiting() const;
    /// The position that should be heard at a monotonic instant (microseconds).
    using Schedule = std::function<int64_t(int64_t instant)>;
    /// Queues what the output will need, correcting drift first.
    void feed(const Schedule& heardAt);

private:
    struct Frame {
        float left, right;
        uint32_t generation;
    };
    struct Taken {
        uint64_t frames;  ///< popped so far, old generations' too
        int64_t instant;  ///< of the last pull, or 0
    };
    Taken taken() const;
    bool resamplerFor(const AVFrame& sound);
    void append(const float* samples, int64_t frames, int64_t start);
    void correct(int64_t wanted);

    // Largest first: the ring's counters sit on cache lines of their own.
    SpscRing<Frame> ring_;
    const int64_t latencyFrames_;
    // Written by the pull as a pair under a sequence count, odd while it writes.
    std::atomic<uint64_t> takenCount_{0};
    std::atomic<uint64_t> popped_{0};
    std::atomic<int64_t> pulledAt_{0};

    // The worker's alone, but for the rate and the generation.
    SwrContext* resampler_ = nullptr;
    std::vector<float> converted_;
    std::deque<Frame> backlog_;  ///< decoded, waiting for room in the ring
    int64_t backlogEnd_ = 0;     ///< position just after the backlog's last frame
    uint64_t pushed_ = 0;        ///< frames queued in the ring, all generations
    uint64_t generationStart_ = 0;
    int64_t begunAt_ = 0;  ///< instant of the last begin()
    const int rate_;
    std::atomic<uint32_t> generation_{0};  ///< written by the worker, read by the pull
    int resamplerFormat_ = -1, resamplerRate_ = 0, resamplerChannels_ = 0;
    uint32_t queuedGeneration_ = 0;
    bool playing_ = false;
};
