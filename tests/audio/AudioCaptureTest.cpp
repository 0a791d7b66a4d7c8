// The device snapshot, one capture's set-up and the decoder registry, against a fake audio
// system: what each asks of it when a device or call fails. Delivery is for real cards.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <numeric>
#include <string>
#include <vector>

#include "audio/AudioInputDevices.h"
#include "audio/AudioSoundInput.h"
#include "platform/LogCapture.h"
#include "routing/DecoderRegistry.h"
#include "tests/audio/FakeAudioHardware.h"

namespace {

// The registry is built once per process, so a forked child builds it, and exits with 42 only
// when it got to the end unfailed: ending early fails. gtest reports nothing from a child, so
// it writes its failures on standard error, which must stay empty: a sanitizer's report fails.
template <class Scenario>
void inOwnProcess(Scenario scenario) {
    const auto end = [] {
        const auto& result = *::testing::UnitTest::GetInstance()->current_test_info()->result();
        for (int i = 0; i < result.total_part_count(); ++i)
            std::cerr << result.GetTestPartResult(i);
        std::_Exit(::testing::Test::HasFailure() ? 1 : 42);
    };
    EXPECT_EXIT((scenario(), end()), ::testing::ExitedWithCode(42), "^$");
}

class AudioCaptureTest : public ::testing::Test {
protected:
    AudioCaptureTest() { setAudioHardware(&fake); }
    ~AudioCaptureTest() override { setAudioHardware(nullptr); }

    /// Whether the start was accepted; how many lines its set-up logged goes to `logged`.
    bool start(
        AudioSoundInput& input, unsigned position, void* user = nullptr,
        DataCallback callback = [](int, int, float*, void*) noexcept -> long { return 0; }) {
        const LogCapture log;
        const bool accepted = input.startPlayback(44100.0f, 512, position, callback, user);
        logged = log.lines().size();
        return accepted;
    }

    FakeAudioHardware fake;
    size_t logged = 0;
};
using DecoderRegistryTest = AudioCaptureTest;

// Order, identifiers and channel counts show in mirel-decode --list; what only
// a fake can give is a name too long, an unreadable one and a position past the end.
TEST_F(AudioCaptureTest, SnapshotCutsLongNamesAndKnowsNoDevicePastTheEnd) {
    fake.deviceList = {inputDevice(3, "Desk Mic", 2), inputDevice(9, std::string(2000, 'x'), 8)};
    fake.deviceList[0].nameStatus = kAudioHardwareUnspecifiedError;
    const AudioInputDevices devices;
    EXPECT_STREQ(devices.getDeviceName(0).get(), "") << "an unreadable name is empty";
    EXPECT_EQ(std::strlen(devices.getDeviceName(1).get()), AudioInputDevices::kTextSize - 1);
    EXPECT_EQ(devices.getDeviceName(2), nullptr);
    EXPECT_EQ(devices.getDeviceManufacturer(2), nullptr);
    EXPECT_EQ(devices.getChannelsInDevice(2), -1);
}

TEST_F(AudioCaptureTest, RefusedStartsLeaveTheDeviceAlone) {
    fake.deviceList = {inputDevice(0, "No Id", 2), inputDevice(5, "Desk Mic", 2)};
    AudioSoundInput pastTheEnd, noId, noCallback, running;
    EXPECT_FALSE(start(pastTheEnd, 2));
    EXPECT_FALSE(start(noId, 0));
    EXPECT_FALSE(start(noCallback, 1, nullptr, nullptr));
    for (AudioSoundInput* refused : {&pastTheEnd, &noId, &noCallback})
        EXPECT_FALSE(start(*refused, 1));    // started at most once, even after a refusal
    EXPECT_TRUE(fake.volumeWrites.empty());  // unreadable volumes: any set-up would raise them
    EXPECT_TRUE(fake.starts.empty());
    EXPECT_TRUE(start(running, 1));
    EXPECT_FALSE(start(running, 1));
    EXPECT_EQ(fake.starts, std::vector<AudioDeviceID>{5});
}

// Each step of the set-up that fails says so in a line of its own and leaves
// the later ones undone; the start was accepted all the same.
TEST_F(AudioCaptureTest, SetUpGoesAsFarAsTheDeviceAllows) {
    struct Case {
        const char* what;
        std::function<void(FakeDevice&)> spoil;
        size_t logged;  // the format once it is known, then the step that failed
        int reached;    // 1 volumes and buffer size set, 2 started, 3 listening for its death
    };
    const std::vector<Case> cases = {
        {"format unreadable",
         [](FakeDevice& d) { d.formatStatus = kAudioHardwareUnknownPropertyError; }, 1, 0},
        {"not linear PCM", [](FakeDevice& d) { d.format.mFormatID = 0x61616320; }, 1, 0},
        {"integer samples", [](FakeDevice& d) { d.format = linearPcm(44100.0, 2, false); }, 1, 0},
        {"buffer size refused",
         [](FakeDevice& d) { d.bufferSizeStatus = kAudioHardwareUnspecifiedError; }, 2, 1},
        {"IO procedure refused", [](FakeDevice& d) { d.addIOProcStatus = 1; }, 2, 1},
        {"start refused", [](FakeDevice& d) { d.startStatus = 1; }, 2, 2},
        {"all well", [](FakeDevice&) {}, 1, 3},
    };
    const std::vector<FakeAudioHardware::VolumeWrite> writes = {{5, 0, 0.4f}, {5, 2, 0.4f}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fake = FakeAudioHardware();
        fake.deviceList = {inputDevice(5, "Desk Mic", 2)};
        // Master below the floor, channel 1 exactly at it, channel 2 unreadable.
        fake.deviceList[0].volumes = {{0, 0.1f}, {1, 0.4f}};
        c.spoil(fake.deviceList[0]);
        AudioSoundInput input;
        EXPECT_TRUE(start(input, 0, &input));
        EXPECT_EQ(logged, c.logged);
        EXPECT_EQ(input.state, AudioSoundInput::State::kRunning);
        EXPECT_EQ(fake.volumeWrites, c.reached < 1 ? decltype(writes){} : writes);
        EXPECT_EQ(fake.bufferSizes[5], c.reached < 1 ? 0u : 512u * 2 * 2);
        EXPECT_EQ(fake.procs.contains(5) ? fake.procs.at(5) : nullptr,
                  c.reached >= 2 ? &input : nullptr);
        EXPECT_EQ(fake.starts.size(), c.reached >= 2 ? 1u : 0u);
        EXPECT_EQ(fake.aliveListeners.contains(5) ? fake.aliveListeners.at(5) : nullptr,
                  c.reached >= 3 ? &input : nullptr);
    }
}

// Decoders are numbered device position × 100 + channel, output-only devices using up their
// hundred silently: channel 100 of a big device would be the next device's channel 0, fed from
// a second thread, so only its first hundred are decoded. One whose start is refused keeps its
// decoders, and the next device's capture points past them.
TEST_F(DecoderRegistryTest, NumbersDecodersByDeviceAndChannelAndPointsEachCaptureAtItsOwn) {
    fake.deviceList = {inputDevice(1, "Plugin", 128), outputOnlyDevice(3, "Speakers"),
                       inputDevice(0, "Unidentified", 2), inputDevice(12, "Desk Mic", 2)};
    inOwnProcess([&] {
        const LogCapture log;
        startDecodersAndCapture([](const SMPTE_tc&, void*) noexcept {}, nullptr);
        EXPECT_EQ(log.lines().at(0),
                  "Audio device \"Plugin\" has 128 input channels: only the first 100 are decoded");
        std::vector<int> ids, expected(100);
        for (const TCListener* decoder : allListeners)
            ids.push_back(decoder->frame.listener.callbackId);
        std::iota(expected.begin(), expected.end(), 0);
        expected.insert(expected.end(), {200, 201, 300, 301});
        EXPECT_EQ(ids, expected);
        const auto& desk = *static_cast<AudioSoundInput*>(fake.procs.at(12));
        EXPECT_EQ(desk.userData, reinterpret_cast<void*>(102));
        EXPECT_EQ(desk.callback, &dispatchSamples);

        // Short pulses on every channel of the big device's block: its own decoders only see them.
        std::vector<float> block(128 * 400);
        for (size_t i = 0; i < block.size(); ++i) block[i] = (i / 128 / 10) % 2 ? 0.5f : -0.5f;
        dispatchSamples(int(block.size()), 128, block.data(), nullptr);
        EXPECT_GT(allListeners[99]->frame.pulseCount, 0);
        EXPECT_EQ(allListeners[100]->frame.pulseCount, 0);
        EXPECT_EQ(allListeners[100]->samplesSinceEdge, 0);
    });
}

}  // namespace
