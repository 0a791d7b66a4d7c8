#include "tools/DecodeLive.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "audio/AudioInputDevices.h"
#include "decode/TCReaderMain.h"
#include "platform/CaptureHandOver.h"
#include "tools/RecordLine.h"
#include "tools/RunLoop.h"

namespace {

struct LiveRecord {
    SMPTE_tc tc;
    int64_t sample;  ///< frames the device had delivered at the end of the record's block
};

constexpr size_t kRecordsPerDevice = 4096;  // seconds of frames on every channel of a device

std::unique_ptr<CaptureHandOver<LiveRecord>> gHandOver;
std::vector<int64_t> gDeviceFrames;  // one slot a device, written only by its capture thread
thread_local int64_t tBlockEnd = 0;  // the capture thread's current block, for the record callback

// On a capture thread: count the device's frames, then decode as the program does.
long countAndDecode(int sampleCount, int channelCount, float* samples, void* userValue) {
    const size_t first = reinterpret_cast<uintptr_t>(userValue);
    if (channelCount > 0 && first < allListeners.size()) {
        const size_t device = size_t(allListeners[first]->frame.listener.callbackId / 100);
        tBlockEnd = gDeviceFrames[device] += sampleCount / channelCount;
    }
    return theData(sampleCount, channelCount, samples, userValue);
}

// On a capture thread, inside the sample step: queue the record, never wait.
void queueRecord(const SMPTE_tc& tc) {
    gHandOver->push(size_t(tc.myId / 100), LiveRecord{tc, tBlockEnd});
}

}  // namespace

int listDevices() {
    const AudioInputDevices devices;
    std::printf("position\tname\tmaker\tinputs\n");
    for (int d = 0; d < devices.getDevicesCount(); ++d) {
        std::printf("%d\t%s\t%s\t%d\n", d, devices.getDeviceName(unsigned(d)).get(),
                    devices.getDeviceManufacturer(unsigned(d)).get(),
                    devices.getChanelsInDevice(unsigned(d)));
    }
    return 0;
}

int decodeLive(double seconds) {
    const size_t deviceCount = size_t(AudioInputDevices().getDevicesCount());
    gDeviceFrames.assign(deviceCount, 0);
    gHandOver = std::make_unique<CaptureHandOver<LiveRecord>>(deviceCount, kRecordsPerDevice,
                                                              [](const LiveRecord& r) {
                                                                  printRecordLine(r.tc, r.sample);
                                                                  std::fflush(stdout);
                                                              });

    printRecordHeader();
    withStdoutOnStderr([] { DoInitMainThingyBeforeRunLoop(queueRecord, countAndDecode); });
    runMainLoop(seconds);
    stopCaptureAndDrain();  // what is still on its way is printed

    for (size_t d = 0; d < deviceCount; ++d) {
        if (gHandOver->dropped(d) != 0) {
            std::fprintf(stderr,
                         "mirel-decode: device %zu: %llu records dropped (output too slow)\n", d,
                         static_cast<unsigned long long>(gHandOver->dropped(d)));
        }
    }
    std::fflush(stdout);
    return 0;
}
