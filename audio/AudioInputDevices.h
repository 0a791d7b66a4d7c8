#pragma once

#include <cstdint>
#include <memory>

#include "platform/AudioHardware.h"

// A snapshot of the machine's audio devices, taken at construction. The whole
// system names a device by its position in this list (the decoders' identifiers,
// the "mirel://audio/%d" addresses, capture starts), never by the platform's
// identifier. Output-only devices are listed too and report 0 input channels.
// Used by the thread that made it; never changes after construction.
class AudioInputDevices {
public:
    static constexpr uint32_t kTextSize = 1024;

    uint32_t deviceCount = 0;
    std::unique_ptr<AudioDeviceID[]> deviceIds;  ///< the devices in the platform's order

    AudioInputDevices();
    AudioInputDevices(const AudioInputDevices&) = delete;
    AudioInputDevices& operator=(const AudioInputDevices&) = delete;

    int32_t getDevicesCount() const;
    /// 0 when index is past the end.
    AudioDeviceID getDeviceID(unsigned int index) const;
    /// Channels of the device's input; 0 when it has none, -1 when index is past the end.
    int32_t getChannelsInDevice(unsigned int index) const;
    /// The rate capture opens the device's input at, in Hz; 0 when unknown.
    double getSampleRate(unsigned int index) const;
    /// A 1024-byte NUL-terminated text owned by the caller (empty when unreadable);
    /// null when index is past the end.
    std::unique_ptr<char[]> getDeviceName(unsigned int index) const;
    std::unique_ptr<char[]> getDeviceManufacturer(unsigned int index) const;

private:
    using TextProperty = OSStatus (AudioHardware::*)(AudioDeviceID, char*, uint32_t);
    std::unique_ptr<char[]> readText(unsigned int index, TextProperty read) const;
};
