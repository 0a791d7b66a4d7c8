// The device snapshot, the capture of one device and the decoder registry that
// captures feed, against a fake audio system: what each asks of the hardware,
// what the set-up prints, what reaches the decoders, and what happens when a
// device goes away.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <numeric>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "audio/AudioInputDevices.h"
#include "audio/AudioSoundInput.h"
#include "platform/LogCapture.h"
#include "routing/DecoderRegistry.h"
#include "tests/audio/FakeAudioHardware.h"

namespace {

// The registry is built once per process, and a capture that ends the process
// early must fail its test rather than end the run with status 0: such
// scenarios run in a forked child, which exits with 42 only when it got to the
// end with no failed expectation. Its failures go to standard error, which the
// parent shows; `stderrPattern` must match all the child writes there (by
// default nothing, so that a sanitizer's report fails the scenario too).
template <class Scenario>
void inOwnProcess(Scenario scenario, const char* stderrPattern = "^$") {
    const auto end = [] {
        const auto& result = *::testing::UnitTest::GetInstance()->current_test_info()->result();
        for (int i = 0; i < result.total_part_count(); ++i)
            if (const auto& part = result.GetTestPartResult(i); part.failed())
                std::fprintf(stderr, "%s:%d: %s\n", part.file_name() ? part.file_name() : "?",
                             part.line_number(), part.message());
        std::fflush(nullptr);
        std::_Exit(::testing::Test::HasFailure() ? 1 : 42);
    };
    EXPECT_EXIT((scenario(), end()), ::testing::ExitedWithCode(42), stderrPattern);
}

struct Delivery {
    int values, channels;
    float* data;
    void* user;
    bool operator==(const Delivery&) const = default;
};
std::vector<Delivery> gDeliveries;

long record(int values, int channels, float* data, void* user) noexcept {
    gDeliveries.push_back({values, channels, data, user});
    return 0;
}

// What was logged, a line each.
std::string logged(const LogCapture& log) {
    std::string text;
    for (const std::string& line : log.lines()) text += line + "\n";
    return text;
}

std::string formatLine(uint32_t n) {
    const std::string bytes = std::to_string(4 * n);
    return "SR = 44100, FF = 00000009, BPP = " + bytes + ", FPP = 1, CPF = " + std::to_string(n) +
           ", BPF = " + bytes + ", BPC = 32\n";
}

class AudioCaptureTest : public ::testing::Test {
protected:
    AudioCaptureTest() { setAudioHardware(&fake), gDeliveries.clear(); }
    ~AudioCaptureTest() override { setAudioHardware(nullptr); }

    /// Whether the start was accepted; what its set-up printed goes to `printed`.
    bool start(AudioSoundInput& input, unsigned position, void* user = nullptr,
               DataCallback callback = record) {
        const LogCapture log;
        const bool accepted = input.startPlayback(44100.0f, 512, position, callback, user);
        printed = logged(log);
        return accepted;
    }

    FakeAudioHardware fake;
    std::string printed;
};
using DecoderRegistryTest = AudioCaptureTest;

TEST_F(AudioCaptureTest, SnapshotListsOutputOnlyDevicesInPlatformOrder) {
    fake.deviceList = {outputOnlyDevice(7, "Speakers"), inputDevice(3, "Desk Mic", 2),
                       inputDevice(9, std::string(2000, 'x'), 8)};
    fake.deviceList[1].nameStatus = kAudioHardwareUnspecifiedError;
    const AudioInputDevices devices;
    fake.deviceList.push_back(inputDevice(4, "Plugged In Later", 2));  // a snapshot never changes

    ASSERT_EQ(devices.getDevicesCount(), 3);
    EXPECT_EQ(std::vector({devices.getDeviceID(0), devices.getDeviceID(2), devices.getDeviceID(3)}),
              std::vector<AudioDeviceID>({7, 9, 0}));
    EXPECT_EQ(std::vector({devices.getChannelsInDevice(0), devices.getChannelsInDevice(1),
                           devices.getChannelsInDevice(2), devices.getChannelsInDevice(3)}),
              std::vector({0, 2, 8, -1}));
    EXPECT_STREQ(devices.getDeviceName(0).get(), "Speakers");
    EXPECT_STREQ(devices.getDeviceManufacturer(0).get(), "Speakers Maker");
    EXPECT_STREQ(devices.getDeviceName(1).get(), "") << "an unreadable name is empty";
    EXPECT_EQ(std::strlen(devices.getDeviceName(2).get()), AudioInputDevices::kTextSize - 1);
    EXPECT_EQ(devices.getDeviceName(3), nullptr);
    EXPECT_EQ(devices.getDeviceManufacturer(3), nullptr);
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
    EXPECT_EQ(printed, "");
    EXPECT_EQ(fake.starts, std::vector<AudioDeviceID>{5});
}

// Each step of the set-up that fails says so and leaves the later ones undone;
// the start was accepted all the same.
TEST_F(AudioCaptureTest, SetUpGoesAsFarAsTheDeviceAllows) {
    struct Case {
        const char* what;
        std::function<void(FakeDevice&)> spoil;
        std::string printed;
        int reached;  // 1 volumes and buffer size set, 2 started, 3 listening for its death
    };
    const std::string ok = formatLine(2);
    const std::vector<Case> cases = {
        {"format unreadable",
         [](FakeDevice& d) { d.formatStatus = kAudioHardwareUnknownPropertyError; },
         "get kAudioDevicePropertyStreamFormat error: 2003332927\n", 0},
        {"not linear PCM", [](FakeDevice& d) { d.format.mFormatID = 0x61616320; },
         "mFormatID !=  kAudioFormatLinearPCM\n", 0},
        {"integer samples", [](FakeDevice& d) { d.format = linearPcm(44100.0, 2, false); },
         "Sorry, currently only works with float format....\n", 0},
        {"buffer size refused",
         [](FakeDevice& d) { d.bufferSizeStatus = kAudioHardwareUnspecifiedError; },
         ok + "get kAudioDevicePropertyBufferSize error 2003329396\n", 1},
        {"IO procedure refused", [](FakeDevice& d) { d.addIOProcStatus = 1; },
         ok + "AudioDeviceAddIOProc error\n", 1},
        {"start refused", [](FakeDevice& d) { d.startStatus = 1; }, ok + "AudioDeviceStart error\n",
         2},
        {"all well", [](FakeDevice&) {}, ok, 3},
    };
    const std::vector<FakeAudioHardware::VolumeWrite> writes = {{5, 0, 0.4f}, {5, 2, 0.4f}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeAudioHardware hw;
        hw.deviceList = {inputDevice(5, "Desk Mic", 2)};
        // Master below the floor, channel 1 exactly at it, channel 2 unreadable.
        hw.deviceList[0].volumes = {{0, 0.1f}, {1, 0.4f}};
        c.spoil(hw.deviceList[0]);
        setAudioHardware(&hw);
        AudioSoundInput input;
        EXPECT_TRUE(start(input, 0, &input));
        EXPECT_EQ(printed, c.printed);
        EXPECT_EQ(input.state, AudioSoundInput::State::kRunning);
        EXPECT_EQ(hw.volumeWrites, c.reached < 1 ? decltype(writes){} : writes);
        EXPECT_EQ(hw.bufferSizes[5], c.reached < 1 ? 0u : 512u * 2 * 2);
        EXPECT_EQ(hw.procs.contains(5) ? hw.procs.at(5).clientData : nullptr,
                  c.reached >= 2 ? &input : nullptr);
        EXPECT_EQ(hw.starts.size(), c.reached >= 2 ? 1u : 0u);
        EXPECT_EQ(hw.aliveListeners.contains(5) ? hw.aliveListeners.at(5).clientData : nullptr,
                  c.reached >= 3 ? &input : nullptr);
        setAudioHardware(&fake);
    }
}

// Each buffer of a cycle reaches the callback; a device that dies stops its own
// capture and says so, but the program and the other captures go on.
TEST_F(AudioCaptureTest, CapturesDeliverUntilTheirDeviceDies) {
    fake.deviceList = {inputDevice(5, "Desk Mic", 2), inputDevice(6, "Line In", 2)};
    fake.deviceList[1].stopStatus = kAudioHardwareIllegalOperationError;
    inOwnProcess(
        [&] {
            AudioSoundInput desk, line, idle;
            int deskUser = 0, lineUser = 0;
            start(desk, 0, &deskUser);
            start(line, 1, &lineUser);
            std::vector<float> stereo(512), mono(25);
            EXPECT_EQ(fake.cycle(5, BufferList({{2, 2048, stereo.data()}}).get()), 0);
            // Value counts go by the format's bytes per frame, whatever a buffer holds.
            fake.cycle(6, BufferList({{2, 2048, stereo.data()}, {1, 100, mono.data()}}).get());
            EXPECT_EQ(fake.cycle(5, nullptr), -1);
            EXPECT_EQ(gDeliveries, (std::vector<Delivery>{{512, 2, stereo.data(), &deskUser},
                                                          {512, 2, stereo.data(), &lineUser},
                                                          {12, 1, mono.data(), &lineUser}}));

            EXPECT_TRUE(fake.dies(5));
            EXPECT_EQ(fake.cycle(5, nullptr), std::nullopt);
            EXPECT_EQ(fake.cycle(6, BufferList({{2, 2048, stereo.data()}}).get()), 0);
            EXPECT_EQ(gDeliveries.size(), 4u);
            EXPECT_EQ(line.state, AudioSoundInput::State::kRunning);
            // Only a running capture is stopped, once; a failed stop leaves its procedure.
            for (AudioSoundInput* input : {&desk, &line, &line, &idle}) input->stopPlayback();
            EXPECT_EQ(fake.stops, (std::vector<AudioDeviceID>{5, 6}));
            EXPECT_EQ(fake.removals, std::vector<AudioDeviceID>{5});
        },
        "^[^\n]*Desk Mic[^\n]*\n$");  // all it writes to standard error
}

void collect(const SMPTE_tc&, void*) noexcept {}

/// Builds the registry over the fake's devices and returns what start-up logged.
std::string startUp() {
    const LogCapture log;
    startDecodersAndCapture(collect, nullptr);
    return logged(log);
}

// A decoder's state as text. Fed a square wave of valid pulse lengths, the
// pulse window spells out which samples, in which order, it was given.
std::string stateOf(const TCListener& d) {
    std::ostringstream s;
    s << (d.signPositive ? '+' : '-') << d.samplesSinceEdge << " pulses";
    for (int i = 0; i < d.frame.pulseCount; ++i) s << ' ' << d.frame.pulseWindow[i].length;
    return s.str();
}

// Decoders are numbered device position × 100 + channel, output-only devices
// using up their hundred silently; one whose start is refused keeps its
// decoders and says so. Each block then goes to its own device's decoders
// only: each step holds the registry against decoders fed what that block
// should have given them.
TEST_F(DecoderRegistryTest, NumbersDecodersAndFeedsEachOnlyItsChannel) {
    fake.deviceList = {inputDevice(11, "Interface", 8), outputOnlyDevice(1, "Speakers"),
                       inputDevice(0, "Unidentified", 2), inputDevice(12, "Desk Mic", 2)};
    inOwnProcess([&] {
        EXPECT_EQ(startUp(),
                  formatLine(8) + "input->startPlayback( 2, 2 ); failed \n" + formatLine(2));
        std::vector<int> ids;
        for (const TCListener* decoder : allListeners)
            ids.push_back(decoder->frame.listener.callbackId);
        EXPECT_EQ(ids, (std::vector{0, 1, 2, 3, 4, 5, 6, 7, 200, 201, 300, 301}));
        // The refused device's decoders count: the next device's come after them.
        const auto& desk = *static_cast<AudioSoundInput*>(fake.procs.at(12).clientData);
        EXPECT_EQ(desk.userData, reinterpret_cast<void*>(10));
        EXPECT_EQ(desk.callback, &dispatchSamples);

        const size_t n = 300;
        std::vector<std::vector<float>> waves(4);  // square waves of valid pulse lengths
        for (int seed = 0; seed < 4; ++seed)
            for (int k = 0; waves[seed].size() < n; ++k)
                waves[seed].resize(std::min(n, waves[seed].size() + 4 + (seed * 7 + k * 11) % 36),
                                   k % 2 == 0 ? 0.5f : -0.5f);
        std::vector<TCListener> expected(allListeners.size());
        // Channel k of the block goes to decoder fed[k]; `cut` values are left off its end.
        const auto step = [&](const char* what, uintptr_t first, const std::vector<int>& channels,
                              const std::vector<size_t>& fed, size_t cut = 0) {
            SCOPED_TRACE(what);
            std::vector<float> block;
            for (size_t i = 0; i < n; ++i)
                for (int c : channels) block.push_back(waves[size_t(c)][i]);
            const bool none = channels.empty();  // values but no channels to put them in
            EXPECT_EQ(
                dispatchSamples(none ? int(n) : int(block.size() - cut), int(channels.size()),
                                (none ? waves[0] : block).data(), reinterpret_cast<void*>(first)),
                0);
            for (size_t i = 0; i < block.size() - cut; ++i)
                if (i % channels.size() < fed.size())
                    sampleStep(expected[fed[i % channels.size()]], block[i]);
            for (size_t i = 0; i < expected.size(); ++i)
                EXPECT_EQ(stateOf(*allListeners[i]), stateOf(expected[i])) << "decoder " << i;
        };
        step("no channels", 0, {}, {});
        step("incomplete last frame: it feeds the first channel only", 10, {0, 1}, {10, 11}, 1);
        // More channels than the device has decoders: the extra ones are dropped.
        step("extra channels on a device in between", 8, {0, 1, 2, 3}, {8, 9});
        step("extra channels on the last device", 10, {2, 3, 0}, {10, 11});
        step("fewer channels than decoders", 0, {3, 1, 2}, {0, 1, 2});
        step("user value past the registry", 12, {2, 3, 0}, {});
        step("user value far past the registry", 1000, {2, 3, 0}, {});
    });
}

// Identifiers are position × 100 + channel: channel 100 of a big device would
// be the next device's channel 0, and its values would enter that device's
// hand-over from a second thread.
TEST_F(DecoderRegistryTest, OfADeviceWithMoreThanAHundredChannelsTheFirstHundredAreDecoded) {
    fake.deviceList = {inputDevice(1, "Plugin", 128), inputDevice(2, "Desk Mic", 2)};
    inOwnProcess([&] {
        EXPECT_EQ(startUp(),
                  "Audio device \"Plugin\" has 128 input channels: only the first 100 are "
                  "decoded\n" +
                      formatLine(128) + formatLine(2));
        std::vector<int> ids;
        for (const TCListener* decoder : allListeners)
            ids.push_back(decoder->frame.listener.callbackId);
        std::vector<int> expected(100);
        std::iota(expected.begin(), expected.end(), 0);
        expected.insert(expected.end(), {100, 101});
        EXPECT_EQ(ids, expected);
        const auto& desk = *static_cast<AudioSoundInput*>(fake.procs.at(2).clientData);
        EXPECT_EQ(desk.userData, reinterpret_cast<void*>(100));

        // The big device's whole block reaches its own decoders only.
        std::vector<float> block(128 * 400);
        for (size_t i = 0; i < block.size(); ++i) block[i] = (i / 128 / 10) % 2 ? 0.5f : -0.5f;
        dispatchSamples(int(block.size()), 128, block.data(), nullptr);
        EXPECT_NE(stateOf(*allListeners[99]), stateOf(TCListener{}));
        EXPECT_EQ(stateOf(*allListeners[100]), stateOf(TCListener{}));
    });
}

// Devices deliver from their own threads as soon as they are started, while
// start-up is still adding the decoders of the devices after them. Only a
// thread sanitizer build can tell whether that is safe.
TEST_F(DecoderRegistryTest, CapturesDeliverWhileLaterDevicesAreAdded) {
    struct LiveHardware : FakeAudioHardware {
        std::atomic<bool> done{false};
        std::atomic<int> delivering{0};
        std::vector<std::thread> threads;
        std::vector<float> tone = std::vector<float>(512, 0.25f);
        OSStatus start(AudioDeviceID id, AudioDeviceIOProc proc) override {
            threads.emplace_back([this, id, installed = procs.at(id)] {
                const BufferList input({{2, 2048, tone.data()}});
                for (int cycle = 0; !done; ++cycle) {
                    installed.proc(id, nullptr, input.get(), nullptr, nullptr, nullptr,
                                   installed.clientData);
                    if (cycle == 0) ++delivering;
                }
            });
            return FakeAudioHardware::start(id, proc);
        }
    };
    inOwnProcess([&] {
        LiveHardware live;
        live.deviceList = {inputDevice(1, "Desk Mic", 2), inputDevice(2, "Line In", 2),
                           inputDevice(3, "Interface", 2)};
        setAudioHardware(&live);
        startUp();
        while (live.delivering < 3) std::this_thread::yield();
        live.done = true;
        for (std::thread& t : live.threads) t.join();
        for (const TCListener* decoder : allListeners)
            EXPECT_NE(stateOf(*decoder), stateOf(TCListener{}));
    });
}

}  // namespace
