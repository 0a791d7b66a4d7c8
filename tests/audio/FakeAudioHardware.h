#pragma once

// An audio system made of plain data: devices with the formats, names and
// failures a test gives them, a record of every call the capture code makes,
// and the means to run an IO cycle or declare a device dead. Everything runs on
// the calling thread, so a test sees each call's effect as soon as it returns.

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "platform/AudioHardware.h"

struct FakeDevice {
    AudioDeviceID id = 0;
    std::string name;
    std::string maker;
    AudioStreamBasicDescription format{};
    /// Nonzero: the device has no input, as an output-only device.
    OSStatus formatStatus = kAudioHardwareNoError;
    OSStatus nameStatus = kAudioHardwareNoError;
    OSStatus makerStatus = kAudioHardwareNoError;
    std::map<uint32_t, float> volumes;  ///< channels missing here cannot be read
    OSStatus bufferSizeStatus = kAudioHardwareNoError;
    OSStatus addIOProcStatus = kAudioHardwareNoError;
    OSStatus startStatus = kAudioHardwareNoError;
    OSStatus stopStatus = kAudioHardwareNoError;
    OSStatus removeIOProcStatus = kAudioHardwareNoError;
};

/// Packed interleaved samples, the way a sound card delivers its input.
inline AudioStreamBasicDescription linearPcm(double rate, uint32_t channels, bool isFloat = true) {
    const uint32_t bytes = isFloat ? 4 : 2;
    return {rate,
            kAudioFormatLinearPCM,
            (isFloat ? kAudioFormatFlagIsFloat : 0u) | kAudioFormatFlagIsPacked,
            bytes * channels,
            1,
            bytes * channels,
            channels,
            bytes * 8,
            0};
}

inline FakeDevice inputDevice(AudioDeviceID id, const std::string& name, uint32_t channels) {
    FakeDevice device;
    device.id = id;
    device.name = name;
    device.maker = name + " Maker";
    device.format = linearPcm(44100.0, channels);
    return device;
}

inline FakeDevice outputOnlyDevice(AudioDeviceID id, const std::string& name) {
    FakeDevice device = inputDevice(id, name, 0);
    device.formatStatus = kAudioHardwareUnknownPropertyError;
    return device;
}

/// An AudioBufferList of any number of buffers; the platform type declares one.
class BufferList {
public:
    explicit BufferList(const std::vector<AudioBuffer>& buffers)
        : storage_(units(sizeof(AudioBufferList) +
                         sizeof(AudioBuffer) * (std::max<size_t>(buffers.size(), 1) - 1))) {
        auto* list = new (storage_.data()) AudioBufferList{};
        list->mNumberBuffers = uint32_t(buffers.size());
        std::copy(buffers.begin(), buffers.end(), list->mBuffers);
    }
    const AudioBufferList* get() const {
        return reinterpret_cast<const AudioBufferList*>(storage_.data());
    }

private:
    static size_t units(size_t bytes) {
        return (bytes + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t);
    }
    std::vector<std::max_align_t> storage_;
};

class FakeAudioHardware : public AudioHardware {
public:
    struct IOProc {
        AudioDeviceIOProc proc;
        void* clientData;
    };
    struct Listener {
        AudioHardwarePropertyListenerProc proc;
        void* clientData;
    };
    struct VolumeWrite {
        AudioDeviceID device;
        uint32_t channel;
        float volume;
        bool operator==(const VolumeWrite&) const = default;
    };

    std::vector<FakeDevice> deviceList;
    std::vector<std::pair<AudioDeviceID, uint32_t>> volumeReads;  ///< device, channel
    std::vector<VolumeWrite> volumeWrites;
    std::map<AudioDeviceID, uint32_t> bufferSizes;  ///< bytes asked, by device
    std::map<AudioDeviceID, IOProc> procs;          ///< installed and not removed
    std::map<AudioDeviceID, Listener> aliveListeners;
    std::vector<AudioDeviceID> starts, stops, removals;

    FakeDevice* find(AudioDeviceID id) {
        for (FakeDevice& d : deviceList)
            if (d.id == id) return &d;
        return nullptr;
    }

    /// One cycle of the device's input through its installed IO procedure;
    /// false when none is installed.
    bool cycle(AudioDeviceID id, const AudioBufferList* input, OSStatus* result = nullptr) {
        const auto it = procs.find(id);
        if (it == procs.end()) return false;
        const AudioTimeStamp now{0, 0};
        const OSStatus status =
            it->second.proc(id, &now, input, &now, nullptr, &now, it->second.clientData);
        if (result != nullptr) *result = status;
        return true;
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
        FakeDevice* d = find(id);
        if (d == nullptr) return kAudioHardwareBadDeviceError;
        if (d->formatStatus == kAudioHardwareNoError) format = d->format;
        return d->formatStatus;
    }

    OSStatus deviceName(AudioDeviceID id, char* text, uint32_t size) override {
        FakeDevice* d = find(id);
        return d == nullptr ? kAudioHardwareBadDeviceError
                            : writeText(d->name, d->nameStatus, text, size);
    }

    OSStatus deviceManufacturer(AudioDeviceID id, char* text, uint32_t size) override {
        FakeDevice* d = find(id);
        return d == nullptr ? kAudioHardwareBadDeviceError
                            : writeText(d->maker, d->makerStatus, text, size);
    }

    OSStatus inputVolumeScalar(AudioDeviceID id, uint32_t channel, float& volume) override {
        volumeReads.emplace_back(id, channel);
        FakeDevice* d = find(id);
        if (d == nullptr || !d->volumes.contains(channel))
            return kAudioHardwareUnknownPropertyError;
        volume = d->volumes[channel];
        return kAudioHardwareNoError;
    }

    OSStatus setInputVolumeScalar(AudioDeviceID id, uint32_t channel, float volume) override {
        volumeWrites.push_back({id, channel, volume});
        return kAudioHardwareNoError;
    }

    OSStatus setInputBufferSize(AudioDeviceID id, uint32_t bytes) override {
        bufferSizes[id] = bytes;
        FakeDevice* d = find(id);
        return d == nullptr ? kAudioHardwareBadDeviceError : d->bufferSizeStatus;
    }

    OSStatus addIOProc(AudioDeviceID id, AudioDeviceIOProc proc, void* clientData) override {
        FakeDevice* d = find(id);
        if (d == nullptr) return kAudioHardwareBadDeviceError;
        if (d->addIOProcStatus == kAudioHardwareNoError) procs[id] = {proc, clientData};
        return d->addIOProcStatus;
    }

    OSStatus removeIOProc(AudioDeviceID id, AudioDeviceIOProc proc) override {
        removals.push_back(id);
        FakeDevice* d = find(id);
        if (d == nullptr) return kAudioHardwareBadDeviceError;
        if (d->removeIOProcStatus != kAudioHardwareNoError) return d->removeIOProcStatus;
        const auto it = procs.find(id);
        if (it == procs.end() || it->second.proc != proc)
            return kAudioHardwareIllegalOperationError;
        procs.erase(it);
        return kAudioHardwareNoError;
    }

    OSStatus start(AudioDeviceID id, AudioDeviceIOProc) override {
        starts.push_back(id);
        FakeDevice* d = find(id);
        return d == nullptr ? kAudioHardwareBadDeviceError : d->startStatus;
    }

    OSStatus stop(AudioDeviceID id, AudioDeviceIOProc) override {
        stops.push_back(id);
        FakeDevice* d = find(id);
        return d == nullptr ? kAudioHardwareBadDeviceError : d->stopStatus;
    }

    OSStatus addDeviceIsAliveListener(AudioDeviceID id, AudioHardwarePropertyListenerProc listener,
                                      void* clientData) override {
        aliveListeners[id] = {listener, clientData};
        return kAudioHardwareNoError;
    }

private:
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
