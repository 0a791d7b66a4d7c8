#include "routing/DecoderRegistry.h"

#include <algorithm>
#include <cstdint>

#include "audio/AudioInputDevices.h"
#include "platform/Log.h"

std::vector<TCListener*>& allListeners = *new std::vector<TCListener*>;

namespace {

// For each registry position, the position just past its device's decoders:
// a capture buffer never reaches another device's decoders through it.
std::vector<size_t>& deviceEnds = *new std::vector<size_t>;

// The captures, kept for the life of the process like the decoders they feed.
std::vector<AudioSoundInput*>& allInputs = *new std::vector<AudioSoundInput*>;

// A device's identifiers are d × 100 + c: channel 100 would be the next
// device's channel 0, and feed that device's values from a second thread.
constexpr int kChannelsPerDevice = 100;

int decodedChannels(const AudioInputDevices& devices, int d) {
    const int n = std::max(0, devices.getChannelsInDevice(unsigned(d)));
    if (n <= kChannelsPerDevice) return n;
    Log::line("Audio device \"%s\" has %d input channels: only the first %d are decoded",
              devices.getDeviceName(unsigned(d)).get(), n, kChannelsPerDevice);
    return kChannelsPerDevice;
}

}  // namespace

long dispatchSamples(int sampleCount, int channelCount, float* samples, void* userValue) noexcept {
    const size_t first = reinterpret_cast<uintptr_t>(userValue);
    if (sampleCount <= 0 || channelCount <= 0 || first >= allListeners.size()) return 0;
    // A buffer with more channels than the device has decoders: the extra
    // channels have no decoder and are not read.
    const size_t channels = std::min(size_t(channelCount), deviceEnds[first] - first);
    const size_t values = size_t(sampleCount);
    const size_t stride = size_t(channelCount);
    for (size_t c = 0; c < channels && c < values; ++c) {
        sampleStep(*allListeners[first + c], samples + c, (values - c + stride - 1) / stride,
                   stride);
    }
    return 0;
}

void startDecodersAndCapture(TimecodeCallback callback, void* context, DataCallback data) {
    if (!allListeners.empty()) return;  // once: a second fill could move storage captures read
    const AudioInputDevices devices;
    const int count = devices.getDevicesCount();

    // Every decoder of every device first, each count read once: a capture reads
    // the registry from its first cycle on, so nothing may be added after one starts.
    std::vector<int> channels(size_t(std::max(0, count)), 0);
    for (int d = 0; d < count; ++d) {
        const int n = decodedChannels(devices, d);
        channels[size_t(d)] = n;
        const size_t first = allListeners.size();
        // The rate the capture will open the device at: the pulse lengths depend on it.
        const double rate = n > 0 ? devices.getSampleRate(unsigned(d)) : 0;
        for (int c = 0; c < n; ++c) {
            auto* decoder = new TCListener;  // owned by the registry for the life of the process
            decoder->setCallbackId(callback, d * 100 + c, context);
            decoder->setSampleRate(rate);
            allListeners.push_back(decoder);
            deviceEnds.push_back(first + size_t(n));
        }
    }

    size_t first = 0;
    for (int d = 0; d < count; ++d) {
        const int n = channels[size_t(d)];
        if (n == 0) continue;
        auto* input = new AudioSoundInput;
        allInputs.push_back(input);
        // The user value carries the registry position of the device's first decoder.
        void* userValue =
            reinterpret_cast<void*>(uintptr_t(first));  // NOLINT(performance-no-int-to-ptr)
        if (!input->startPlayback(44100.0f, 512, unsigned(d), data, userValue)) {
            Log::line("input->startPlayback( %d, %d ); failed ", d, n);
        }
        first += size_t(n);
    }
}

void startDecodingAllInputs(TimecodeCallback callback, void* context) {
    startDecodersAndCapture(callback, context);
}
