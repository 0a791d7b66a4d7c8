#include "audio/AudioInputDevices.h"

#include <algorithm>
#include <limits>

AudioInputDevices::AudioInputDevices() {
    const std::vector<AudioDeviceID> ids = audioHardware().devices();
    deviceCount = uint32_t(std::min<size_t>(ids.size(), std::numeric_limits<int32_t>::max()));
    deviceIds = std::make_unique<AudioDeviceID[]>(deviceCount);
    std::copy_n(ids.begin(), deviceCount, deviceIds.get());
}

int32_t AudioInputDevices::getDevicesCount() const {
    return int32_t(deviceCount);
}

AudioDeviceID AudioInputDevices::getDeviceID(unsigned int index) const {
    return index < deviceCount ? deviceIds[index] : 0;
}

int32_t AudioInputDevices::getChannelsInDevice(unsigned int index) const {
    if (index >= deviceCount) return -1;
    AudioStreamBasicDescription format{};
    if (audioHardware().inputStreamFormat(deviceIds[index], format) != kAudioHardwareNoError)
        return 0;
    return int32_t(format.mChannelsPerFrame);
}

double AudioInputDevices::getSampleRate(unsigned int index) const {
    AudioStreamBasicDescription format{};
    if (index >= deviceCount ||
        audioHardware().inputStreamFormat(deviceIds[index], format) != kAudioHardwareNoError)
        return 0;
    return format.mSampleRate;
}

std::unique_ptr<char[]> AudioInputDevices::getDeviceName(unsigned int index) const {
    return readText(index, &AudioHardware::deviceName);
}

std::unique_ptr<char[]> AudioInputDevices::getDeviceManufacturer(unsigned int index) const {
    return readText(index, &AudioHardware::deviceManufacturer);
}

std::unique_ptr<char[]> AudioInputDevices::readText(unsigned int index, TextProperty read) const {
    if (index >= deviceCount) return nullptr;
    auto text = std::make_unique<char[]>(kTextSize);  // zeroed: unreadable means empty
    if ((audioHardware().*read)(deviceIds[index], text.get(), kTextSize) != kAudioHardwareNoError)
        text[0] = '\0';
    text[kTextSize - 1] = '\0';
    return text;
}
