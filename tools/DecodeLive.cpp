#include "tools/DecodeLive.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "audio/AudioInputDevices.h"
#include "platform/CaptureHandOver.h"
#include "routing/DecoderRegistry.h"
#include "tools/RecordLine.h"
#include "tools/RunLoop.h"

namespace {

struct LiveRecord {
    SMPTE_tc tc;
    int64_t sample;  ///< frames the device had delivered at the end of the record's block
};

constexpr size_t kRecordsPerDevice = 4096;  // seconds of frames on every channel of a device

// What the decoders and the data callback share: every decoder's context.
struct LiveDecoding {
    explicit LiveDecoding(size_t devices)
        : frames(devices, 0), handOver(devices, kRecordsPerDevice, [](const LiveRecord& r) {
              printRecordLine(r.tc, r.sample);
              std::fflush(stdout);
          }) {}

    std::vector<int64_t> frames;  ///< one slot a device, written only by its capture thread
    CaptureHandOver<LiveRecord> handOver;
};

// On a capture thread: count the device's frames, then decode as the program does.
long countAndDecode(int sampleCount, int channelCount, float* samples, void* userValue) noexcept {
    const size_t first = reinterpret_cast<uintptr_t>(userValue);
    if (channelCount > 0 && first < allListeners.size()) {
        const SMPTE_tc_listener& decoder = allListeners[first]->frame.listener;
        static_cast<LiveDecoding*>(decoder.context)->frames[size_t(decoder.callbackId / 100)] +=
            sampleCount / channelCount;
    }
    return dispatchSamples(sampleCount, channelCount, samples, userValue);
}

// On a capture thread, inside the sample step: queue the record, never wait.
// The device's count already holds the block being decoded.
void queueRecord(const SMPTE_tc& tc, void* context) noexcept {
    auto& live = *static_cast<LiveDecoding*>(context);
    const size_t device = size_t(tc.myId / 100);
    live.handOver.push(device, LiveRecord{tc, live.frames[device]});
}

}  // namespace

int listDevices() {
    const AudioInputDevices devices;
    std::printf("position\tname\tmaker\tinputs\n");
    for (int d = 0; d < devices.getDevicesCount(); ++d) {
        std::printf("%d\t%s\t%s\t%d\n", d, devices.getDeviceName(unsigned(d)).get(),
                    devices.getDeviceManufacturer(unsigned(d)).get(),
                    devices.getChannelsInDevice(unsigned(d)));
    }
    return 0;
}

int decodeLive(double seconds) {
    const size_t deviceCount = size_t(AudioInputDevices().getDevicesCount());
    // Lives as long as the process: the decoders keep it as their context.
    auto* live = new LiveDecoding(deviceCount);

    printRecordHeader();
    startDecodersAndCapture(queueRecord, live, countAndDecode);
    runMainLoop(seconds);
    stopCaptureAndDrain();  // what is still on its way is printed

    for (size_t d = 0; d < deviceCount; ++d) {
        if (live->handOver.dropped(d) != 0) {
            std::fprintf(stderr,
                         "mirel-decode: device %zu: %llu records dropped (output too slow)\n", d,
                         static_cast<unsigned long long>(live->handOver.dropped(d)));
        }
    }
    std::fflush(stdout);
    return 0;
}
