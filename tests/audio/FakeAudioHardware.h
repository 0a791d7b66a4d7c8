#pragma once

// An audio system of plain data: devices with the formats, names and failures a test gives them,
// and a record of the calls that set a capture up, on the calling thread; nothing is delivered.

#include <cstdio>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "platform/AudioHardware.h"

struct FakeDevice {
    AudioDeviceID id = 0;
    std::string name, maker;
    AudioStreamBasicDescription format{};
    std::map<uint32_t, float> volumes;  ///< channels missing here cannot be read
    // What each call answers; a failing format read means the device has no input.
    OSStatus formatStatus = 0, nameStatus = 0, bufferSizeStatus = 0, addIOProcStatus = 0,
             startStatus = 0;
};

/// Packed interleaved samples, the way a sound card delivers its input.
inline AudioStreamBasicDescription linearPcm(double rate, uint32_t channels, bool isFloat = true) {
    const uint32_t bytes = isFloat ? 4 : 2, frame = bytes * channels;
    const uint32_t flags = (isFloat ? kAudioFormatFlagIsFloat : 0u) | kAudioFormatFlagIsPacked;
    return {rate, kAudioFormatLinearPCM, flags, frame, 1, frame, channels, bytes * 8, 0};
}

inline FakeDevice inputDevice(AudioDeviceID id, const std::string& name, uint32_t channels) {
    FakeDevice device;
    device.id = id, device.name = name, device.maker = name + " Maker";
    device.format = linearPcm(44100.0, channels);
    return device;
}

inline FakeDevice outputOnlyDevice(AudioDeviceID id, const std::string& name) {
    FakeDevice device = inputDevice(id, name, 0);
    device.formatStatus = kAudioHardwareUnknownPropertyError;
    return device;
}

class FakeAudioHardware : public AudioHardware {
public:
    using VolumeWrite = std::tuple<AudioDeviceID, uint32_t, float>;  ///< device, channel, volume

    std::vector<FakeDevice> deviceList;
    std::vector<VolumeWrite> volumeWrites;
    std::map<AudioDeviceID, uint32_t> bufferSizes;  ///< bytes asked, by device
    // The client data of each IO procedure installed and not removed, and of each death listener.
    std::map<AudioDeviceID, void*> procs, aliveListeners;
    std::vector<AudioDeviceID> starts;

    std::vector<AudioDeviceID> devices() override {
        std::vector<AudioDeviceID> ids;
        for (const FakeDevice& d : deviceList) ids.push_back(d.id);
        return ids;
    }
    OSStatus inputStreamFormat(AudioDeviceID id, AudioStreamBasicDescription& format) override {
        return on(id, [&](FakeDevice& d) {
            if (d.formatStatus == kAudioHardwareNoError) format = d.format;
            return d.formatStatus;
        });
    }
    OSStatus deviceName(AudioDeviceID id, char* text, uint32_t size) override {
        return on(id, [&](FakeDevice& d) { return writeText(d.name, d.nameStatus, text, size); });
    }
    OSStatus deviceManufacturer(AudioDeviceID id, char* text, uint32_t size) override {
        return on(id, [&](FakeDevice& d) { return writeText(d.maker, 0, text, size); });
    }
    OSStatus inputVolumeScalar(AudioDeviceID id, uint32_t channel, float& volume) override {
        return on(id, [&](FakeDevice& d) {
            if (!d.volumes.contains(channel)) return kAudioHardwareUnknownPropertyError;
            volume = d.volumes[channel];
            return kAudioHardwareNoError;
        });
    }
    OSStatus setInputVolumeScalar(AudioDeviceID id, uint32_t channel, float volume) override {
        volumeWrites.emplace_back(id, channel, volume);
        return kAudioHardwareNoError;
    }
    OSStatus setInputBufferSize(AudioDeviceID id, uint32_t bytes) override {
        bufferSizes[id] = bytes;
        return on(id, [](FakeDevice& d) { return d.bufferSizeStatus; });
    }
    OSStatus addIOProc(AudioDeviceID id, AudioDeviceIOProc, void* clientData) override {
        return on(id, [&](FakeDevice& d) {
            if (d.addIOProcStatus == kAudioHardwareNoError) procs[id] = clientData;
            return d.addIOProcStatus;
        });
    }
    OSStatus removeIOProc(AudioDeviceID id, AudioDeviceIOProc) override {
        return procs.erase(id) == 1 ? kAudioHardwareNoError : kAudioHardwareIllegalOperationError;
    }
    OSStatus start(AudioDeviceID id, AudioDeviceIOProc) override {
        starts.push_back(id);
        return on(id, [](FakeDevice& d) { return d.startStatus; });
    }
    OSStatus stop(AudioDeviceID id, AudioDeviceIOProc) override {
        return on(id, [](FakeDevice&) { return kAudioHardwareNoError; });
    }
    OSStatus addDeviceIsAliveListener(AudioDeviceID id, AudioHardwarePropertyListenerProc,
                                      void* clientData) override {
        aliveListeners[id] = clientData;
        return kAudioHardwareNoError;
    }

private:
    template <class Call>
    OSStatus on(AudioDeviceID id, Call call) {
        for (FakeDevice& d : deviceList)
            if (d.id == id) return call(d);
        return kAudioHardwareBadDeviceError;
    }
    // A failing read still scribbles on the buffer, as a platform may: callers must not trust it.
    static OSStatus writeText(const std::string& value, OSStatus status, char* text,
                              uint32_t size) {
        std::snprintf(text, size, "%s",
                      status == kAudioHardwareNoError ? value.c_str() : "(unreadable)");
        return status;
    }
};
