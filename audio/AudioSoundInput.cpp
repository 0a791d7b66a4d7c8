#include "audio/AudioSoundInput.h"

#include "audio/AudioInputDevices.h"
#include "platform/Log.h"

namespace {
constexpr float kLowestInputVolume = 0.4f;
}

AudioSoundInput::~AudioSoundInput() {
    stopPlayback();
}

bool AudioSoundInput::startPlayback(float rate, unsigned int bufferFrames,
                                    unsigned int devicePosition, DataCallback cb, void* user) {
    const AudioInputDevices devices;
    if (state != State::kIdle) return false;
    state = State::kStartAccepted;
    sampleRate = rate;
    bufferSize = bufferFrames;
    callback = cb;
    userData = user;
    if (devicePosition >= devices.deviceCount) {
        deviceId = 0;
        return false;
    }
    deviceId = devices.getDeviceID(devicePosition);
    if (deviceId == 0 || callback == nullptr) return false;
    startPlaybackPrivate();
    return true;
}

// Each failing step says so in the log and ends the set-up, leaving
// what earlier steps did in place.
void AudioSoundInput::startPlaybackPrivate() {
    if (state != State::kStartAccepted) return;
    state = State::kRunning;
    AudioHardware& hardware = audioHardware();

    const OSStatus formatStatus = hardware.inputStreamFormat(deviceId, streamFormat);
    if (formatStatus != kAudioHardwareNoError) {
        Log::line("get kAudioDevicePropertyStreamFormat error: %i", formatStatus);
        return;
    }
    if (streamFormat.mFormatID != kAudioFormatLinearPCM) {
        Log::line("mFormatID !=  kAudioFormatLinearPCM");
        return;
    }
    if ((streamFormat.mFormatFlags & kAudioFormatFlagIsFloat) == 0) {
        Log::line("Sorry, currently only works with float format....");
        return;
    }
    Log::line("SR = %g, FF = %08lX, BPP = %ld, FPP = %ld, CPF = %ld, BPF = %ld, BPC = %ld",
              streamFormat.mSampleRate, static_cast<unsigned long>(streamFormat.mFormatFlags),
              long(streamFormat.mBytesPerPacket), long(streamFormat.mFramesPerPacket),
              long(streamFormat.mChannelsPerFrame), long(streamFormat.mBytesPerFrame),
              long(streamFormat.mBitsPerChannel));

    // LTC read through a nearly closed input gain is lost in the dead band.
    for (uint32_t k = 0; k <= streamFormat.mChannelsPerFrame; ++k) {
        float volume = 0.0f;
        hardware.inputVolumeScalar(deviceId, k, volume);
        if (kLowestInputVolume > volume)
            hardware.setInputVolumeScalar(deviceId, k, kLowestInputVolume);
    }

    channelCount = streamFormat.mChannelsPerFrame;
    // Two bytes a value, not four: the device is asked for half the frames given.
    bufferSize = bufferSize * 2 * channelCount;
    const OSStatus sizeStatus = hardware.setInputBufferSize(deviceId, bufferSize);
    if (sizeStatus != kAudioHardwareNoError) {
        Log::line("get kAudioDevicePropertyBufferSize error %i", sizeStatus);
        return;
    }
    if (hardware.addIOProc(deviceId, audioSoundInputIOProc, this) != kAudioHardwareNoError) {
        Log::line("AudioDeviceAddIOProc error");
        return;
    }
    if (hardware.start(deviceId, audioSoundInputIOProc) != kAudioHardwareNoError) {
        Log::line("AudioDeviceStart error");
        return;
    }
    hardware.addDeviceIsAliveListener(deviceId, NotifyWhenStopping, this);
}

OSStatus AudioSoundInput::GetMoreData(AudioDeviceID /*device*/, const AudioTimeStamp* /*now*/,
                                      const AudioBufferList* inputData,
                                      const AudioTimeStamp* /*inputTime*/,
                                      AudioBufferList* /*outputData*/,
                                      const AudioTimeStamp* /*outputTime*/) noexcept {
    if (inputData == nullptr) return -1;
    const uint32_t bytesPerFrame = streamFormat.mBytesPerFrame;
    if (bytesPerFrame == 0) return 0;  // no format, no frames to count
    for (uint32_t b = 0; b < inputData->mNumberBuffers; ++b) {
        const AudioBuffer& buffer = inputData->mBuffers[b];
        const uint32_t values = (buffer.mDataByteSize / bytesPerFrame) * buffer.mNumberChannels;
        callback(int(values), int(buffer.mNumberChannels), static_cast<float*>(buffer.mData),
                 userData);
    }
    return 0;
}

// Stopping a capture ends only that capture: the other devices and the program go on.
bool AudioSoundInput::stopPlayback() {
    if (state != State::kRunning) return true;
    state = State::kStopped;
    AudioHardware& hardware = audioHardware();
    if (hardware.stop(deviceId, audioSoundInputIOProc) != kAudioHardwareNoError) return true;
    hardware.removeIOProc(deviceId, audioSoundInputIOProc);
    return true;
}

OSStatus AudioSoundInput::NotifyWhenStopping(AudioHardwarePropertyID /*property*/,
                                             void* clientData) {
    auto* input = static_cast<AudioSoundInput*>(clientData);
    char name[AudioInputDevices::kTextSize] = "";
    audioHardware().deviceName(input->deviceId, name, sizeof name);
    Log::line(
        "Audio device \"%s\" stopped delivering input: its capture is stopped, "
        "the other devices go on",
        name);
    return input->stopPlayback() ? 1 : 0;
}

OSStatus audioSoundInputIOProc(AudioDeviceID device, const AudioTimeStamp* now,
                               const AudioBufferList* inputData, const AudioTimeStamp* inputTime,
                               AudioBufferList* outputData, const AudioTimeStamp* outputTime,
                               void* clientData) noexcept {
    return static_cast<AudioSoundInput*>(clientData)
        ->GetMoreData(device, now, inputData, inputTime, outputData, outputTime);
}
