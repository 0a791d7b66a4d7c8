// The device snapshot and the capture of one device, against a fake audio
// system: what each asks of the hardware, what the set-up prints, what reaches
// the data callback, and what happens when a device goes away.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "audio/AudioInputDevices.h"
#include "audio/AudioSoundInput.h"
#include "tests/audio/FakeAudioHardware.h"
#include "tests/audio/OwnProcess.h"

namespace {

struct Delivery {
    int values;
    int channels;
    float* data;
    void* user;
    bool operator==(const Delivery&) const = default;
};
std::vector<Delivery> gDeliveries;

long record(int values, int channels, float* data, void* user) {
    gDeliveries.push_back({values, channels, data, user});
    return 0;
}

const std::string kStereoFormatLine =
    "SR = 44100, FF = 00000009, BPP = 8, FPP = 1, CPF = 2, BPF = 8, BPC = 32\n";

class AudioCaptureTest : public ::testing::Test {
protected:
    AudioCaptureTest() {
        setAudioHardware(&fake);
        gDeliveries.clear();
    }
    ~AudioCaptureTest() override { setAudioHardware(nullptr); }

    /// Starts the capture and returns what its set-up printed.
    std::string start(AudioSoundInput& input, unsigned position, void* user = nullptr,
                      DataCallback callback = record) {
        ::testing::internal::CaptureStdout();
        accepted = input.startPlayback(44100.0f, 512, position, callback, user);
        return ::testing::internal::GetCapturedStdout();
    }

    FakeAudioHardware fake;
    bool accepted = false;
};

TEST_F(AudioCaptureTest, SnapshotListsOutputOnlyDevicesInPlatformOrder) {
    fake.deviceList = {outputOnlyDevice(7, "Speakers"), inputDevice(3, "Desk Mic", 2),
                       inputDevice(9, std::string(2000, 'x'), 8)};
    fake.deviceList[1].nameStatus = kAudioHardwareUnspecifiedError;
    const AudioInputDevices devices;
    fake.deviceList.push_back(inputDevice(4, "Plugged In Later", 2));  // a snapshot never changes

    ASSERT_EQ(devices.getDevicesCount(), 3);
    EXPECT_EQ(devices.getDeviceID(0), 7u);
    EXPECT_EQ(devices.getDeviceID(2), 9u);
    EXPECT_EQ(devices.getDeviceID(3), 0u);
    EXPECT_EQ(devices.getChanelsInDevice(0), 0);
    EXPECT_EQ(devices.getChanelsInDevice(1), 2);
    EXPECT_EQ(devices.getChanelsInDevice(2), 8);
    EXPECT_EQ(devices.getChanelsInDevice(3), -1);

    EXPECT_STREQ(devices.getDeviceName(0).get(), "Speakers");
    EXPECT_STREQ(devices.getDeviceManufacturer(0).get(), "Speakers Maker");
    EXPECT_STREQ(devices.getDeviceName(1).get(), "") << "an unreadable name is empty";
    EXPECT_STREQ(devices.getDeviceManufacturer(1).get(), "Desk Mic Maker");
    EXPECT_EQ(std::strlen(devices.getDeviceName(2).get()), AudioInputDevices::kTextSize - 1);
    EXPECT_EQ(devices.getDeviceName(3), nullptr);
    EXPECT_EQ(devices.getDeviceManufacturer(3), nullptr);
}

TEST_F(AudioCaptureTest, RefusedStartsLeaveTheDeviceAlone) {
    fake.deviceList = {inputDevice(0, "No Id", 2), inputDevice(5, "Desk Mic", 2)};

    AudioSoundInput pastTheEnd, noId, noCallback, running;
    EXPECT_EQ(start(pastTheEnd, 2), "");
    EXPECT_FALSE(accepted);
    EXPECT_EQ(pastTheEnd.deviceId, 0u);
    start(noId, 0);
    EXPECT_FALSE(accepted);
    start(noCallback, 1, nullptr, nullptr);
    EXPECT_FALSE(accepted);
    EXPECT_EQ(noCallback.deviceId, 5u);
    for (AudioSoundInput* refused : {&pastTheEnd, &noId, &noCallback}) {
        EXPECT_EQ(refused->state, AudioSoundInput::kStartAccepted);
        start(*refused, 1);  // a capture is started at most once, even after a refusal
        EXPECT_FALSE(accepted);
    }
    EXPECT_TRUE(fake.volumeReads.empty());
    EXPECT_TRUE(fake.starts.empty());

    start(running, 1);
    ASSERT_TRUE(accepted);
    EXPECT_EQ(start(running, 1), "");
    EXPECT_FALSE(accepted);
    EXPECT_EQ(running.state, AudioSoundInput::kRunning);
    EXPECT_EQ(fake.starts, std::vector<AudioDeviceID>{5});
}

TEST_F(AudioCaptureTest, SetsUpAStereoFloatDevice) {
    fake.deviceList = {inputDevice(5, "Desk Mic", 2)};
    // Master exactly at the floor, channel 1 below it, channel 2 unreadable.
    fake.deviceList[0].volumes = {{0, 0.4f}, {1, 0.1f}};
    AudioSoundInput input;

    EXPECT_EQ(start(input, 0, &input), kStereoFormatLine);
    EXPECT_TRUE(accepted);
    EXPECT_EQ(input.state, AudioSoundInput::kRunning);
    EXPECT_EQ(input.channelCount, 2u);
    EXPECT_EQ(input.sampleRate, 44100.0f);
    using Read = std::pair<AudioDeviceID, uint32_t>;
    EXPECT_EQ(fake.volumeReads, (std::vector<Read>{{5, 0}, {5, 1}, {5, 2}}));
    EXPECT_EQ(fake.volumeWrites,
              (std::vector<FakeAudioHardware::VolumeWrite>{{5, 1, 0.4f}, {5, 2, 0.4f}}));
    EXPECT_EQ(fake.bufferSizes.at(5), 512u * 2 * 2);
    ASSERT_TRUE(fake.procs.contains(5));
    EXPECT_EQ(fake.procs.at(5).clientData, &input);
    EXPECT_EQ(fake.starts, std::vector<AudioDeviceID>{5});
    ASSERT_TRUE(fake.aliveListeners.contains(5));
    EXPECT_EQ(fake.aliveListeners.at(5).clientData, &input);
}

TEST_F(AudioCaptureTest, FailedSetUpStepSaysWhyAndGoesNoFurther) {
    struct Case {
        const char* what;
        std::function<void(FakeDevice&)> spoil;
        std::string printed;
        bool procInstalled, started;
    };
    const std::vector<Case> cases = {
        {"format unreadable",
         [](FakeDevice& d) { d.formatStatus = kAudioHardwareUnknownPropertyError; },
         "get kAudioDevicePropertyStreamFormat error: 2003332927\n", false, false},
        {"not linear PCM", [](FakeDevice& d) { d.format.mFormatID = 0x61616320; },
         "mFormatID !=  kAudioFormatLinearPCM\n", false, false},
        {"integer samples", [](FakeDevice& d) { d.format = linearPcm(44100.0, 2, false); },
         "Sorry, currently only works with float format....\n", false, false},
        {"buffer size refused",
         [](FakeDevice& d) { d.bufferSizeStatus = kAudioHardwareUnspecifiedError; },
         kStereoFormatLine + "get kAudioDevicePropertyBufferSize error 2003329396\n", false, false},
        {"IO procedure refused",
         [](FakeDevice& d) { d.addIOProcStatus = kAudioHardwareIllegalOperationError; },
         kStereoFormatLine + "AudioDeviceAddIOProc error\n", false, false},
        {"start refused",
         [](FakeDevice& d) { d.startStatus = kAudioHardwareIllegalOperationError; },
         kStereoFormatLine + "AudioDeviceStart error\n", true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeAudioHardware hardware;
        hardware.deviceList = {inputDevice(5, "Desk Mic", 2)};
        c.spoil(hardware.deviceList[0]);
        setAudioHardware(&hardware);
        {
            AudioSoundInput input;
            EXPECT_EQ(start(input, 0), c.printed);
            EXPECT_TRUE(accepted);
            EXPECT_EQ(input.state, AudioSoundInput::kRunning);
            EXPECT_EQ(hardware.procs.contains(5), c.procInstalled);
            EXPECT_EQ(hardware.starts.size(), c.started ? 1u : 0u);
            EXPECT_FALSE(hardware.aliveListeners.contains(5));
            if (c.printed.starts_with("SR"))
                EXPECT_EQ(hardware.bufferSizes.at(5), 2048u);
            else
                EXPECT_TRUE(hardware.volumeReads.empty());
        }
        setAudioHardware(&fake);
    }
}

TEST_F(AudioCaptureTest, EachBufferOfACycleReachesTheCallback) {
    fake.deviceList = {inputDevice(5, "Desk Mic", 2)};
    AudioSoundInput input;
    int user = 0;
    start(input, 0, &user);
    ASSERT_TRUE(accepted);

    std::vector<float> stereo(512), mono(25);
    OSStatus result = 1;
    ASSERT_TRUE(fake.cycle(5, BufferList({{2, 2048, stereo.data()}}).get(), &result));
    EXPECT_EQ(result, 0);
    // Value counts go by the format's bytes per frame, whatever a buffer holds.
    fake.cycle(5, BufferList({{2, 2048, stereo.data()}, {1, 100, mono.data()}}).get());
    EXPECT_EQ(gDeliveries, (std::vector<Delivery>{{512, 2, stereo.data(), &user},
                                                  {512, 2, stereo.data(), &user},
                                                  {12, 1, mono.data(), &user}}));

    gDeliveries.clear();
    fake.cycle(5, nullptr, &result);
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(gDeliveries.empty());
}

TEST_F(AudioCaptureTest, StopsOnlyARunningCapture) {
    fake.deviceList = {inputDevice(5, "Desk Mic", 2)};
    fake.deviceList[0].stopStatus = kAudioHardwareIllegalOperationError;
    AudioSoundInput idle, stubborn;
    EXPECT_TRUE(idle.stopPlayback());
    EXPECT_TRUE(fake.stops.empty());
    start(stubborn, 0);
    EXPECT_TRUE(stubborn.stopPlayback());
    EXPECT_TRUE(stubborn.stopPlayback());
    EXPECT_EQ(fake.stops, std::vector<AudioDeviceID>{5});
    EXPECT_TRUE(fake.removals.empty()) << "the procedure stays after a failed stop";
}

// A capture whose device dies must not take the program with it.
TEST_F(AudioCaptureTest, DeadDeviceStopsItsCaptureOnly) {
    fake.deviceList = {inputDevice(5, "Desk Mic", 2), inputDevice(6, "Line In", 2)};
    const auto scenario = [&] {
        AudioSoundInput desk, line;
        int deskUser = 0, lineUser = 0;
        start(desk, 0, &deskUser);
        start(line, 1, &lineUser);

        EXPECT_TRUE(fake.dies(5));
        EXPECT_EQ(desk.state, AudioSoundInput::kStopped);
        EXPECT_EQ(fake.removals, std::vector<AudioDeviceID>{5});
        EXPECT_FALSE(fake.cycle(5, nullptr));

        std::vector<float> samples(512);
        EXPECT_TRUE(fake.cycle(6, BufferList({{2, 2048, samples.data()}}).get()));
        EXPECT_EQ(gDeliveries, (std::vector<Delivery>{{512, 2, samples.data(), &lineUser}}));
        EXPECT_EQ(line.state, AudioSoundInput::kRunning);
    };
    // All the child writes to standard error is one line naming the device.
    inOwnProcess(scenario, "^[^\n]*Desk Mic[^\n]*\n$");
}

}  // namespace
