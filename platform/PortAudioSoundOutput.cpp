#include "platform/PortAudioSoundOutput.h"

#include <portaudio.h>

#include <atomic>
#include <string>

#include "platform/Log.h"
#include "platform/PortAudioStart.h"

namespace {

// One line a process: every movie opened on a machine without sound would
// say the same.
void sayOnce(const std::string& text) {
    static std::atomic<bool> said{false};
    if (!said.exchange(true)) Log::text(text);
}

int pullSamples(const void*, void* output, unsigned long frames, const PaStreamCallbackTimeInfo*,
                PaStreamCallbackFlags, void* userData) noexcept {
    (*static_cast<SoundOutput::Pull*>(userData))(static_cast<float*>(output), frames);
    return paContinue;
}

}  // namespace

std::unique_ptr<SoundOutput> SoundOutput::makeDefault() {
    return std::make_unique<PortAudioSoundOutput>();
}

bool PortAudioSoundOutput::start(int channels, Pull pull) {
    stop();
    const PaError error = initializePortAudioQuietly();
    if (error != paNoError) {
        sayOnce(std::string("Movies play silently: PortAudio could not start: ") +
                portAudioErrorText(error));
        return false;
    }
    initialised_ = true;
    pull_ = std::move(pull);
    if (!open(channels)) {
        stop();
        return false;
    }
    return true;
}

bool PortAudioSoundOutput::open(int channels) {
    const PaDeviceIndex device = Pa_GetDefaultOutputDevice();
    const PaDeviceInfo* info = device == paNoDevice ? nullptr : Pa_GetDeviceInfo(device);
    if (info == nullptr) {
        sayOnce("Movies play silently: there is no sound output device");
        return false;
    }
    const PaStreamParameters parameters{device, channels, paFloat32, info->defaultLowOutputLatency,
                                        nullptr};
    rate_ = static_cast<int>(info->defaultSampleRate);
    PaStream* stream = nullptr;
    PaError error = Pa_OpenStream(&stream, nullptr, &parameters, rate_,
                                  paFramesPerBufferUnspecified, paNoFlag, &pullSamples, &pull_);
    if (error == paNoError) {
        stream_ = stream;
        error = Pa_StartStream(stream);
    }
    if (error != paNoError) {
        sayOnce(std::string("Movies play silently: the sound output device \"") + info->name +
                "\" cannot play: " + portAudioErrorText(error));
        return false;
    }
    const PaStreamInfo* streamInfo = Pa_GetStreamInfo(stream);
    latency_ = streamInfo != nullptr ? streamInfo->outputLatency : 0;
    return true;
}

void PortAudioSoundOutput::stop() {
    if (stream_ != nullptr) {
        Pa_AbortStream(stream_);
        Pa_CloseStream(stream_);
        stream_ = nullptr;
    }
    if (initialised_) Pa_Terminate();
    initialised_ = false;
    pull_ = nullptr;
}
