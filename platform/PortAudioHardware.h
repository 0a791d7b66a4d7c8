#pragma once

#include <atomic>
#include <map>
#include <memory>

#include "platform/AudioHardware.h"

// The audio system on PortAudio (ALSA and JACK host APIs). A device's
// identifier is its PortAudio index plus one, so that 0 keeps meaning "none".
// Capture is a paFloat32 interleaved input stream at the device's default rate
// whose callback is the IO procedure. Its ring holds kCaptureRingSeconds, so
// that a stalled process loses nothing, while blocks still come as often as
// the buffer size asks; input lost in overflows all the same is counted on
// the IO thread and said on standard error from the main thread, at most once
// a second a device ("Audio device "NAME" lost N samples"). Main thread only, but for the stream
// callbacks, which run on PortAudio's threads.
class PortAudioHardware final : public AudioHardware {
public:
    static PortAudioHardware& shared();

    /// Stops every capture and closes PortAudio; also runs at exit, before the
    /// decoders the captures feed are destroyed. Nothing can be captured after.
    void terminate();

    std::vector<AudioDeviceID> devices() override;
    OSStatus inputStreamFormat(AudioDeviceID device, AudioStreamBasicDescription& format) override;
    OSStatus deviceName(AudioDeviceID device, char* text, uint32_t size) override;
    OSStatus deviceManufacturer(AudioDeviceID device, char* text, uint32_t size) override;
    OSStatus inputVolumeScalar(AudioDeviceID device, uint32_t channel, float& volume) override;
    OSStatus setInputVolumeScalar(AudioDeviceID device, uint32_t channel, float volume) override;
    OSStatus setInputBufferSize(AudioDeviceID device, uint32_t bytes) override;
    OSStatus addIOProc(AudioDeviceID device, AudioDeviceIOProc proc, void* clientData) override;
    OSStatus removeIOProc(AudioDeviceID device, AudioDeviceIOProc proc) override;
    OSStatus start(AudioDeviceID device, AudioDeviceIOProc proc) override;
    OSStatus stop(AudioDeviceID device, AudioDeviceIOProc proc) override;
    OSStatus addDeviceIsAliveListener(AudioDeviceID device,
                                      AudioHardwarePropertyListenerProc listener,
                                      void* clientData) override;

private:
    struct Stream;

    PortAudioHardware() = default;
    bool ready();
    int inputChannels(AudioDeviceID device);
    static constexpr unsigned kWatchdogMs = 250;
    static constexpr int kSilentLooksForGone = 4;  ///< a second without a callback
    static constexpr double kCaptureRingSeconds = 0.3;

    void lookForSilentDevices();
    void reportLostFrames(AudioDeviceID device, Stream& s);
    void deviceGone(AudioDeviceID device);
    friend struct PortAudioCallbacks;

    int initialised_ = 0;  ///< 0 not tried, 1 ready, -1 PortAudio could not start
    std::map<AudioDeviceID, uint32_t> bufferBytes_;
    std::map<AudioDeviceID, std::unique_ptr<Stream>> streams_;
    unsigned watchdog_ = 0;  ///< GLib source of the silent-device check, once a stream runs
};
