#pragma once

#include <cstdint>

#include "platform/AudioHardware.h"

/// Receives every block of a capture: `valueCount` floats (frames × channels)
/// interleaved by channel, valid only during the call. Called on the device's
/// real-time thread: it must not throw, allocate, lock or wait. The result is
/// ignored.
using DataCallback = long (*)(int valueCount, int channelCount, float* values,
                              void* userData) noexcept;

// Captures the input of one audio device and hands each block to a data
// callback. Started at most once; lives until the process ends unless its
// device goes away. Main thread, but for the IO procedure.
class AudioSoundInput {
public:
    enum class State : int32_t { kIdle = 0, kStartAccepted = 1, kRunning = 10, kStopped = -1 };

    uint32_t bufferSize = 0;  ///< frames as given; during set-up, the bytes asked of the device
    float sampleRate = 0;     ///< recorded only: capture runs at the device's own rate
    DataCallback callback = nullptr;
    AudioDeviceID deviceId = 0;  ///< 0 when none
    AudioStreamBasicDescription streamFormat{};
    uint32_t channelCount = 0;
    State state = State::kIdle;
    void* userData = nullptr;

    AudioSoundInput() = default;
    ~AudioSoundInput();
    AudioSoundInput(const AudioSoundInput&) = delete;
    AudioSoundInput& operator=(const AudioSoundInput&) = delete;

    /// Accepts or refuses the start; when accepted, runs the set-up before returning.
    bool startPlayback(float sampleRate, unsigned int bufferFrames, unsigned int devicePosition,
                       DataCallback callback, void* userData);
    void startPlaybackPrivate();
    /// One IO cycle, on the device's real-time thread: no allocation, lock or output.
    OSStatus GetMoreData(AudioDeviceID device, const AudioTimeStamp* now,
                         const AudioBufferList* inputData, const AudioTimeStamp* inputTime,
                         AudioBufferList* outputData, const AudioTimeStamp* outputTime) noexcept;
    bool stopPlayback();
    /// The device stopped delivering input on its own; on the main thread.
    static OSStatus NotifyWhenStopping(AudioHardwarePropertyID property, void* clientData);
};

/// The IO procedure installed with the device (once __AudioSoundInput__GiveMoreData):
/// forwards to the capture's GetMoreData.
OSStatus audioSoundInputIOProc(AudioDeviceID device, const AudioTimeStamp* now,
                               const AudioBufferList* inputData, const AudioTimeStamp* inputTime,
                               AudioBufferList* outputData, const AudioTimeStamp* outputTime,
                               void* clientData) noexcept;
