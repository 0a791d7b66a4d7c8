#pragma once

#include "platform/SoundOutput.h"

// The default output device of PortAudio, as a float stream at the device's
// default rate. PortAudio is initialised for as long as a stream is open, in
// pairs with the capture side's own initialisation, which PortAudio counts.
// A machine without an output device is said once in the log.
//
// Thread contract: see SoundOutput.
class PortAudioSoundOutput final : public SoundOutput {
public:
    PortAudioSoundOutput() = default;
    ~PortAudioSoundOutput() override { stop(); }
    PortAudioSoundOutput(const PortAudioSoundOutput&) = delete;
    PortAudioSoundOutput& operator=(const PortAudioSoundOutput&) = delete;

    bool start(int channels, Pull pull) override;
    void stop() override;
    int rate() const override { return rate_; }
    double latency() const override { return latency_; }

private:
    bool open(int channels);

    void* stream_ = nullptr;  ///< PortAudio's PaStream
    bool initialised_ = false;
    Pull pull_;  ///< set before the stream starts, then only read by its thread
    int rate_ = 48000;
    double latency_ = 0;
};
