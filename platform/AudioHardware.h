#pragma once

#include <cstdint>
#include <vector>

// What Mirel needs of the machine's audio system, in the shape its capture code
// was written against: a device list, a device's input format, name and maker,
// input volume scalars, a buffer size, an IO procedure that receives each
// cycle's input, start and stop, and a device-is-alive notice. The process's
// implementation is PortAudio's; tests install a fake with setAudioHardware().
//
// All calls are made on the main thread. Only the IO procedure runs elsewhere:
// on the device's own real-time thread.

using AudioDeviceID = uint32_t;
using OSStatus = int32_t;
using AudioHardwarePropertyID = uint32_t;

constexpr OSStatus kAudioHardwareNoError = 0;
constexpr OSStatus kAudioHardwareUnspecifiedError = 0x77686174;       // 'what'
constexpr OSStatus kAudioHardwareUnknownPropertyError = 0x77686f3f;   // 'who?'
constexpr OSStatus kAudioHardwareBadDeviceError = 0x21646576;         // '!dev'
constexpr OSStatus kAudioHardwareIllegalOperationError = 0x6e6f7065;  // 'nope'

constexpr uint32_t kAudioFormatLinearPCM = 0x6c70636d;  // 'lpcm'
constexpr uint32_t kAudioFormatFlagIsFloat = 1u << 0;
constexpr uint32_t kAudioFormatFlagIsPacked = 1u << 3;
constexpr AudioHardwarePropertyID kAudioDevicePropertyDeviceIsAlive = 0x6c69766e;  // 'livn'

struct AudioStreamBasicDescription {
    double mSampleRate;
    uint32_t mFormatID;
    uint32_t mFormatFlags;
    uint32_t mBytesPerPacket;
    uint32_t mFramesPerPacket;
    uint32_t mBytesPerFrame;
    uint32_t mChannelsPerFrame;
    uint32_t mBitsPerChannel;
    uint32_t mReserved;
};

struct AudioTimeStamp {
    double mSampleTime;  ///< frames since the stream started
    double mHostTime;    ///< the audio system's clock, in seconds
};

struct AudioBuffer {
    uint32_t mNumberChannels;  ///< interleaved channels in mData
    uint32_t mDataByteSize;
    void* mData;
};

struct AudioBufferList {
    uint32_t mNumberBuffers;
    AudioBuffer mBuffers[1];
};

/// Called on the device's real-time thread once per cycle with its input; it
/// must not throw, allocate, lock or wait.
using AudioDeviceIOProc = OSStatus (*)(AudioDeviceID device, const AudioTimeStamp* now,
                                       const AudioBufferList* inputData,
                                       const AudioTimeStamp* inputTime, AudioBufferList* outputData,
                                       const AudioTimeStamp* outputTime, void* clientData) noexcept;

/// Called on the main thread when a running device stops delivering input on its own.
using AudioHardwarePropertyListenerProc = OSStatus (*)(AudioHardwarePropertyID property,
                                                       void* clientData);

class AudioHardware {
public:
    virtual ~AudioHardware() = default;

    /// The devices in the platform's order, input-less ones included. Never 0.
    virtual std::vector<AudioDeviceID> devices() = 0;
    /// The format the device's input is delivered in; an error when it has no input.
    virtual OSStatus inputStreamFormat(AudioDeviceID device,
                                       AudioStreamBasicDescription& format) = 0;
    /// Writes a NUL-terminated text of at most size bytes.
    virtual OSStatus deviceName(AudioDeviceID device, char* text, uint32_t size) = 0;
    virtual OSStatus deviceManufacturer(AudioDeviceID device, char* text, uint32_t size) = 0;
    /// Channel 0 is the master; 1..n the device's input channels.
    virtual OSStatus inputVolumeScalar(AudioDeviceID device, uint32_t channel, float& volume) = 0;
    virtual OSStatus setInputVolumeScalar(AudioDeviceID device, uint32_t channel, float volume) = 0;
    virtual OSStatus setInputBufferSize(AudioDeviceID device, uint32_t bytes) = 0;
    virtual OSStatus addIOProc(AudioDeviceID device, AudioDeviceIOProc proc, void* clientData) = 0;
    virtual OSStatus removeIOProc(AudioDeviceID device, AudioDeviceIOProc proc) = 0;
    virtual OSStatus start(AudioDeviceID device, AudioDeviceIOProc proc) = 0;
    virtual OSStatus stop(AudioDeviceID device, AudioDeviceIOProc proc) = 0;
    virtual OSStatus addDeviceIsAliveListener(AudioDeviceID device,
                                              AudioHardwarePropertyListenerProc listener,
                                              void* clientData) = 0;
};

/// The process's audio system: PortAudio unless a test has installed another.
AudioHardware& audioHardware();
/// Replaces the process's audio system (tests); null restores PortAudio.
void setAudioHardware(AudioHardware* hardware);
