#pragma once

#include <functional>
#include <memory>

// A sound output device that pulls interleaved float samples from its owner
// on its own real-time thread, for as long as it runs.
//
// Thread contract: start(), stop(), rate() and latency() from one thread (the
// main thread); the pull runs on the output's thread and must neither
// allocate, lock nor log.
class SoundOutput {
public:
    /// Fills `frames` frames of `channels` interleaved samples at `out`.
    using Pull = std::function<void(float* out, unsigned long frames)>;

    virtual ~SoundOutput() = default;

    /// Starts pulling at the device's rate; false when there is no device to
    /// play on (then nothing is ever pulled).
    virtual bool start(int channels, Pull pull) = 0;
    /// Returns once the pull has run for the last time.
    virtual void stop() = 0;
    /// Frames a second, once started.
    virtual int rate() const = 0;
    /// Seconds between a sample's pull and its sound, once started.
    virtual double latency() const = 0;

    /// The default output device through PortAudio.
    static std::unique_ptr<SoundOutput> makeDefault();
};
