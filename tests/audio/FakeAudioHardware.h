#pragma once

// An audio system made of plain data: devices with the formats, names and
// failures a test gives them, a record of every call the capture code makes,
// and the means to run an IO cycle or declare a device dead. Everything runs on
// the calling thread, so a test sees each call's effect as soon as it returns.

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <map>
#include <new>
#include <optional>
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
             startStatus = 0, stopStatus = 0;
};

/// Packed interleaved samples, the way a sound card delivers its input.
inline AudioStreamBasicDescription linearPcm(double rate, uint32_t channels, bool isFloat = true) {
    const uint32_t bytes = isFloat ? 4 : 2;
    const uint32_t flags = (isFloat ? kAudioFormatFlagIsFloat : 0u) | kAudioFormatFlagIsPacked;
    return {rate, kAudioFormatLinearPCM, flags,    bytes * channels,
            1,    bytes * channels,      channels, bytes * 8,
            0};
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

/// An AudioBufferList of any number of buffers; the platform type declares one.
struct BufferList {
    explicit BufferList(const std::vector<AudioBuffer>& buffers)
        : storage(1 + (sizeof(AudioBufferList) + sizeof(AudioBuffer) * buffers.size()) /
                          sizeof(std::max_align_t)) {
        auto* list = new (storage.data()) AudioBufferList{uint32_t(buffers.size()), {}};
        std::copy(buffers.begin(), buffers.end(), list->mBuffers);
    }
    const AudioBufferList* get() const {
        return reinterpret_cast<const AudioBufferList*>(storage.data());
    }
    std::vector<std::max_align_t> storage;
};

class FakeAudioHardware : public AudioHardware {
public:
    template <class Proc>
    struct Hook {
        Proc proc;
        void* clientData;
    };
    using VolumeWrite = std::tuple<AudioDeviceID, uint32_t, float>;  ///< device, channel, volume

    std::vector<FakeDevice> deviceList;
    std::vector<VolumeWrite> volumeWrites;
    std::map<AudioDeviceID, uint32_t> bufferSizes;           ///< bytes asked, by device
    std::map<AudioDeviceID, Hook<AudioDeviceIOProc>> procs;  ///< installed and not removed
    std::map<AudioDeviceID, Hook<AudioHardwarePropertyListenerProc>> aliveListeners;
    std::vector<AudioDeviceID> starts, stops, removals;

    /// One cycle of the device's input through its installed IO procedure, if any.
    std::optional<OSStatus> cycle(AudioDeviceID id, const AudioBufferList* input) {
        const auto it = procs.find(id);
        const AudioTimeStamp now{0, 0};
        if (it == procs.end()) return std::nullopt;
        return it->second.proc(id, &now, input, &now, nullptr, &now, it->second.clientData);
    }

    /// The device stops delivering input on its own; false when nobody listens.
    bool dies(AudioDeviceID id) {
        const auto it = aliveListeners.find(id);
        if (it == aliveListeners.end()) return false;
        it->second.proc(kAudioDevicePropertyDeviceIsAlive, it->second.clientData);
        return true;
    }

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
    OSStatus addIOProc(AudioDeviceID id, AudioDeviceIOProc proc, void* clientData) override {
        return on(id, [&](FakeDevice& d) {
            if (d.addIOProcStatus == kAudioHardwareNoError) procs[id] = {proc, clientData};
            return d.addIOProcStatus;
        });
    }
    OSStatus removeIOProc(AudioDeviceID id, AudioDeviceIOProc proc) override {
        removals.push_back(id);
        const auto it = procs.find(id);
        if (it == procs.end() || it->second.proc != proc)
            return kAudioHardwareIllegalOperationError;
        procs.erase(it);
        return kAudioHardwareNoError;
    }
    OSStatus start(AudioDeviceID id, AudioDeviceIOProc) override {
        starts.push_back(id);
        return on(id, [](FakeDevice& d) { return d.startStatus; });
    }
    OSStatus stop(AudioDeviceID id, AudioDeviceIOProc) override {
        stops.push_back(id);
        return on(id, [](FakeDevice& d) { return d.stopStatus; });
    }
    OSStatus addDeviceIsAliveListener(AudioDeviceID id, AudioHardwarePropertyListenerProc listener,
                                      void* clientData) override {
        aliveListeners[id] = {listener, clientData};
        return kAudioHardwareNoError;
    }

private:
    template <class Call>
    OSStatus on(AudioDeviceID id, Call call) {
        for (FakeDevice& d : deviceList)
            if (d.id == id) return call(d);
        return kAudioHardwareBadDeviceError;
    }
    // A failing read still scribbles on the buffer, as a platform may, so that
    // callers cannot get away with trusting it.
    static OSStatus writeText(const std::string& value, OSStatus status, char* text,
                              uint32_t size) {
        const std::string written = status == kAudioHardwareNoError ? value : "(unreadable)";
        const size_t n = std::min<size_t>(written.size(), size - 1);
        std::memcpy(text, written.data(), n);
        text[n] = '\0';
        return status;
    }
};
