// The decoder registry and the dispatch of captured blocks to its decoders,
// on a fake audio system.
//
// The registry is built once and lives as long as the process, so every
// scenario runs in a forked child of its own: each starts from an empty
// registry, and all of them stay in one binary.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "audio/AudioSoundInput.h"
#include "decode/TCReaderMain.h"
#include "tests/audio/FakeAudioHardware.h"
#include "tests/audio/OwnProcess.h"

namespace {

void collect(const SMPTE_tc&) {}

/// Builds the registry over the fake's devices and returns what start-up printed.
std::string startUp() {
    ::testing::internal::CaptureStdout();
    DoInitMainThingyBeforeRunLoop(collect);
    return ::testing::internal::GetCapturedStdout();
}

std::vector<int> registryIds() {
    std::vector<int> ids;
    for (const TCListener* decoder : allListeners)
        ids.push_back(decoder->frame.listener.callbackId);
    return ids;
}

AudioSoundInput& captureOf(FakeAudioHardware& fake, AudioDeviceID device) {
    return *static_cast<AudioSoundInput*>(fake.procs.at(device).clientData);
}

std::string formatLine(uint32_t n) {
    return "SR = 44100, FF = 00000009, BPP = " + std::to_string(4 * n) +
           ", FPP = 1, CPF = " + std::to_string(n) + ", BPF = " + std::to_string(4 * n) +
           ", BPC = 32\n";
}

// A decoder's state as text. Fed a square wave of valid pulse lengths, the
// pulse window spells out which samples, in which order, it was given.
std::string stateOf(const TCListener& d) {
    std::ostringstream s;
    s << (d.signPositive ? '+' : '-') << d.samplesSinceEdge << " pulses";
    for (int i = 0; i < d.frame.pulseCount; ++i) s << ' ' << d.frame.pulseWindow[i].length;
    return s.str();
}

std::vector<float> squareWave(int seed, size_t length) {
    std::vector<float> wave;
    for (int k = 0; wave.size() < length; ++k)
        wave.resize(std::min(length, wave.size() + 4 + (seed * 7 + k * 11) % 36),
                    k % 2 == 0 ? 0.5f : -0.5f);
    return wave;
}

std::vector<float> interleave(const std::vector<std::vector<float>>& channels) {
    std::vector<float> values;
    for (size_t i = 0; i < channels[0].size(); ++i)
        for (const auto& channel : channels) values.push_back(channel[i]);
    return values;
}

class DecoderRegistryTest : public ::testing::Test {
protected:
    DecoderRegistryTest() { setAudioHardware(&fake); }
    ~DecoderRegistryTest() override { setAudioHardware(nullptr); }
    FakeAudioHardware fake;
};

TEST_F(DecoderRegistryTest, NumbersDecodersByDeviceAndChannel) {
    fake.deviceList = {inputDevice(11, "Desk Mic", 2), inputDevice(12, "Interface", 8)};
    inOwnProcess([&] {
        EXPECT_EQ(startUp(), formatLine(2) + formatLine(8));
        EXPECT_EQ(registryIds(), (std::vector<int>{0, 1, 100, 101, 102, 103, 104, 105, 106, 107}));
        for (const TCListener* decoder : allListeners)
            EXPECT_EQ(decoder->frame.listener.callback, &collect);
        EXPECT_EQ(captureOf(fake, 11).userData, reinterpret_cast<void*>(0));
        EXPECT_EQ(captureOf(fake, 12).userData, reinterpret_cast<void*>(2));
        EXPECT_EQ(captureOf(fake, 12).callback, &theData);
        EXPECT_EQ(fake.bufferSizes.at(12), 512u * 2 * 8);
    });
}

// A device without input uses up its hundred silently; one whose start is
// refused keeps its decoders and says so.
TEST_F(DecoderRegistryTest, DevicesThatDoNotCaptureKeepTheirPlaces) {
    fake.deviceList = {outputOnlyDevice(1, "Speakers"), inputDevice(0, "Unidentified", 2),
                       inputDevice(3, "Desk Mic", 1)};
    inOwnProcess([&] {
        EXPECT_EQ(startUp(), "input->startPlayback( 1, 2 ); failed \n" + formatLine(1));
        EXPECT_EQ(registryIds(), (std::vector<int>{100, 101, 200}));
        EXPECT_EQ(captureOf(fake, 3).userData, reinterpret_cast<void*>(2));
        EXPECT_EQ(fake.starts, std::vector<AudioDeviceID>{3});
    });
}

// Each step feeds one block and holds the registry against decoders fed what
// that block should have given them; anything else must be left untouched.
TEST_F(DecoderRegistryTest, BlocksReachOnlyTheirDevicesDecoders) {
    fake.deviceList = {inputDevice(1, "Desk Mic", 2), inputDevice(2, "Interface", 2)};
    inOwnProcess([&] {
        startUp();
        ASSERT_EQ(allListeners.size(), 4u);
        std::vector<TCListener> expected(4);
        auto check = [&](const char* step) {
            SCOPED_TRACE(step);
            for (size_t i = 0; i < 4; ++i)
                EXPECT_EQ(stateOf(*allListeners[i]), stateOf(expected[i])) << "decoder " << i;
        };
        auto feed = [&](TCListener& decoder, const std::vector<float>& wave, size_t count) {
            for (size_t i = 0; i < count; ++i) sampleStep(decoder, wave[i]);
        };
        const size_t n = 300;
        std::vector<std::vector<float>> waves;
        for (int seed = 0; seed < 4; ++seed) waves.push_back(squareWave(seed, n));

        std::vector<float> block = interleave({waves[0], waves[1]});
        EXPECT_EQ(theData(int(block.size()), 0, block.data(), reinterpret_cast<void*>(0)), 0);
        check("no channels");

        // The last frame is one value short: it feeds the first channel only.
        theData(int(block.size() - 1), 2, block.data(), reinterpret_cast<void*>(2));
        feed(expected[2], waves[0], n);
        feed(expected[3], waves[1], n - 1);
        check("incomplete last frame");

        // More channels than the device has decoders: the extra ones are dropped.
        block = interleave({waves[0], waves[1], waves[2], waves[3]});
        theData(int(block.size()), 4, block.data(), reinterpret_cast<void*>(0));
        feed(expected[0], waves[0], n);
        feed(expected[1], waves[1], n);
        check("extra channels on the first device");
        block = interleave({waves[2], waves[3], waves[0]});
        theData(int(block.size()), 3, block.data(), reinterpret_cast<void*>(2));
        feed(expected[2], waves[2], n);
        feed(expected[3], waves[3], n);
        check("extra channels on the last device");

        for (uintptr_t pastTheEnd : {4, 1000})
            theData(int(block.size()), 3, block.data(), reinterpret_cast<void*>(pastTheEnd));
        check("user value past the registry");
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
