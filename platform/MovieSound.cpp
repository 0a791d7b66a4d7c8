#include "platform/MovieSound.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libswresample/swresample.h>
}

#include <glib.h>

#include <algorithm>

namespace {

// Half a second queued is far more than a device's period, and little enough
// that a correction is heard soon after it is made.
constexpr double kRingSeconds = 0.5;
// A longer gap in the sound is not filled sample for sample: drift correction
// catches up with it.
constexpr double kLongestGapSeconds = 1.0;

int validRate(int rate) {
    return rate > 0 ? rate : 48000;
}

}  // namespace

MovieSound::MovieSound(int rate, double latency)
    : ring_(static_cast<size_t>(validRate(rate) * kRingSeconds)),
      latencyFrames_(static_cast<int64_t>(latency * validRate(rate))),
      rate_(validRate(rate)) {}

MovieSound::~MovieSound() {
    swr_free(&resampler_);
}

void MovieSound::pull(float* out, unsigned long frames) noexcept {
    const int64_t now = g_get_monotonic_time();
    const uint32_t current = generation_.load(std::memory_order_acquire);
    uint64_t taken = 0;
    unsigned long filled = 0;
    Frame frame{};
    while (filled < frames && ring_.tryPop(frame)) {
        ++taken;
        if (frame.generation != current) continue;
        out[filled * kChannels] = frame.left;
        out[filled * kChannels + 1] = frame.right;
        ++filled;
    }
    std::fill(out + filled * kChannels, out + frames * kChannels, 0.0f);
    const uint64_t count = takenCount_.load(std::memory_order_relaxed);
    takenCount_.store(count + 1, std::memory_order_relaxed);
    // Release stores rather than a fence (which ThreadSanitizer cannot follow):
    // a reader that sees either new value also sees the odd count before it.
    popped_.store(popped_.load(std::memory_order_relaxed) + taken, std::memory_order_release);
    pulledAt_.store(now, std::memory_order_release);
    takenCount_.store(count + 2, std::memory_order_release);
}

MovieSound::Taken MovieSound::taken() const {
    for (;;) {
        const uint64_t count = takenCount_.load(std::memory_order_acquire);
        const Taken taken{popped_.load(std::memory_order_acquire),
                          pulledAt_.load(std::memory_order_acquire)};
        if ((count & 1) == 0 && takenCount_.load(std::memory_order_relaxed) == count) return taken;
    }
}

void MovieSound::begin(int64_t position) {
    mute();
    playing_ = true;
    begunAt_ = g_get_monotonic_time();
    backlogEnd_ = position + latencyFrames_;
    // Samples the resampler still holds belong to where the sound was before.
    swr_free(&resampler_);
}

void MovieSound::mute() {
    queuedGeneration_ = generation_.fetch_add(1, std::memory_order_acq_rel) + 1;
    generationStart_ = pushed_;
    backlog_.clear();
    playing_ = false;
}

bool MovieSound::resamplerFor(const AVFrame& sound) {
    if (resampler_ != nullptr && resamplerFormat_ == sound.format &&
        resamplerRate_ == sound.sample_rate && resamplerChannels_ == sound.ch_layout.nb_channels)
        return true;
    swr_free(&resampler_);
    AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
    AVChannelLayout in{};
    if (av_channel_layout_check(&sound.ch_layout) != 0) {
        av_channel_layout_copy(&in, &sound.ch_layout);
    } else {
        av_channel_layout_default(&in, std::max(sound.ch_layout.nb_channels, 1));
    }
    const int status = swr_alloc_set_opts2(&resampler_, &stereo, AV_SAMPLE_FMT_FLT, rate_, &in,
                                           static_cast<AVSampleFormat>(sound.format),
                                           sound.sample_rate, 0, nullptr);
    av_channel_layout_uninit(&in);
    if (status < 0 || swr_init(resampler_) < 0) {
        swr_free(&resampler_);
        return false;
    }
    resamplerFormat_ = sound.format;
    resamplerRate_ = sound.sample_rate;
    resamplerChannels_ = sound.ch_layout.nb_channels;
    return true;
}

void MovieSound::add(const AVFrame& sound, int64_t start) {
    if (!playing_ || sound.nb_samples <= 0 || !resamplerFor(sound)) return;
    const int capacity = swr_get_out_samples(resampler_, sound.nb_samples);
    if (capacity <= 0) return;
    converted_.resize(static_cast<size_t>(capacity) * kChannels);
    auto* out = reinterpret_cast<uint8_t*>(converted_.data());
    const int frames =
        swr_convert(resampler_, &out, capacity, const_cast<const uint8_t**>(sound.extended_data),
                    sound.nb_samples);
    if (frames > 0) append(converted_.data(), frames, start);
}

void MovieSound::append(const float* samples, int64_t frames, int64_t start) {
    const int64_t tolerance = rate_ / 1000;
    int64_t skip = 0;
    if (start < backlogEnd_ - tolerance) {
        skip = std::min(frames, backlogEnd_ - start);  // already queued, or before the beginning
    } else if (start > backlogEnd_ + tolerance) {
        const auto gap = static_cast<int64_t>(kLongestGapSeconds * rate_);
        const int64_t silence = backlog_.empty() ? 0 : std::min(start - backlogEnd_, gap);
        for (int64_t i = 0; i < silence; ++i) backlog_.push_back(Frame{0, 0, queuedGeneration_});
        backlogEnd_ = start;
    }
    for (int64_t i = skip; i < frames; ++i) {
        backlog_.push_back(
            Frame{samples[i * kChannels], samples[i * kChannels + 1], queuedGeneration_});
    }
    backlogEnd_ = std::max(backlogEnd_, start + frames);
}

int64_t MovieSound::waiting() const {
    const uint64_t queued = pushed_ - std::min(pushed_, std::max(taken().frames, generationStart_));
    return static_cast<int64_t>(queued + backlog_.size());
}

void MovieSound::feed(const Schedule& heardAt) {
    if (!playing_) return;
    // The queue as the last pull left it, or as begin() did when none came since.
    const Taken last = taken();
    const bool pulledSince = last.instant > begunAt_;
    const uint64_t head = pulledSince ? std::max(last.frames, generationStart_) : generationStart_;
    const int64_t queued = static_cast<int64_t>(pushed_ - std::min(pushed_, head));
    correct(heardAt(pulledSince ? last.instant : begunAt_) + latencyFrames_ + queued);
    while (!backlog_.empty() && ring_.tryPush(backlog_.front())) {
        backlog_.pop_front();
        ++pushed_;
    }
}

// `wanted` is the position the frame to queue next should have.
void MovieSound::correct(int64_t wanted) {
    const int64_t next = backlogEnd_ - static_cast<int64_t>(backlog_.size());
    const int64_t tolerance = int64_t(rate_) * kDriftMs / 1000;
    if (next < wanted - tolerance) {
        // Late: what should be heard by now is dropped, and what is not
        // decoded yet is cut when it comes.
        const auto drop = std::min<size_t>(backlog_.size(), size_t(wanted - next));
        backlog_.erase(backlog_.begin(), backlog_.begin() + static_cast<std::ptrdiff_t>(drop));
        if (backlog_.empty()) backlogEnd_ = std::max(backlogEnd_, wanted);
    } else if (next > wanted + tolerance) {
        // Early: silence until the sound's time comes.
        for (int64_t i = wanted; i < next && ring_.tryPush(Frame{0, 0, queuedGeneration_}); ++i)
            ++pushed_;
    }
}
