// The virtual capture card seen through PortAudio, as the capture path will see it.
#include <gtest/gtest.h>
#include <portaudio.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/fixtures/alsa/VirtualCard.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRate = 48000;
constexpr unsigned long kFramesPerBuffer = 256;
constexpr float kNumberScale = 4194304.0f;  // 2^22

// Every sample distinct and exactly representable: sample i is (i + 1) / 2^22, negated on odd
// channels, so a captured value tells which sample of the file it was.
std::vector<float> numberedSamples(size_t frames, int channels) {
    std::vector<float> samples(frames * channels);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<float>(i + 1) / kNumberScale * ((i % channels) % 2 ? -1.0f : 1.0f);
    return samples;
}

size_t sampleNumber(float value) {
    return static_cast<size_t>(std::fabs(value) * kNumberScale) - 1;
}

bool sameBits(const float* a, const float* b, size_t count) {
    return std::memcmp(a, b, count * sizeof(float)) == 0;
}

// What a callback stream delivered. Written only by PortAudio's callback thread until the
// stream stops; the counters may be read while it runs.
struct Capture {
    int channels = 2;
    std::vector<float> samples;  // sized beforehand: the callback does not allocate
    std::vector<PaStreamCallbackFlags> flags = std::vector<PaStreamCallbackFlags>(4096);
    std::atomic<size_t> frames{0};
    std::atomic<int> callbacks{0};
    std::atomic<PaStreamCallbackFlags> allFlags{0};
    std::atomic<int> finished{0};
    int stallAtCallback = -1;
    std::chrono::milliseconds stall{0};

    static int onInput(const void* input, void*, unsigned long frameCount,
                       const PaStreamCallbackTimeInfo*, PaStreamCallbackFlags flags, void* user) {
        auto* self = static_cast<Capture*>(user);
        int index = self->callbacks++;
        if (static_cast<size_t>(index) < self->flags.size()) self->flags[index] = flags;
        self->allFlags |= flags;
        size_t at = self->frames * self->channels, count = frameCount * self->channels;
        if (at + count <= self->samples.size())
            std::memcpy(&self->samples[at], input, count * sizeof(float));
        self->frames += frameCount;
        if (index == self->stallAtCallback) std::this_thread::sleep_for(self->stall);
        return paContinue;
    }
    static void onFinished(void* user) { ++static_cast<Capture*>(user)->finished; }
};

template <typename Condition>
bool waitFor(Condition condition, std::chrono::milliseconds limit) {
    auto deadline = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

class VirtualCardTest : public ::testing::Test {
protected:
    void SetUp() override { dir_ = makeTempDir("mirel-virtual-card"); }

    void TearDown() override {
        if (initialized_) Pa_Terminate();
        std::filesystem::remove_all(dir_);
    }

    std::string rawFile(const std::string& name, const std::vector<float>& samples) {
        std::string path = dir_ + "/" + name;
        writeRawFloat32(path, samples);
        return path;
    }

    // PortAudio reads the device list in Pa_Initialize only.
    void initialise(const std::vector<VirtualDevice>& devices) {
        if (initialized_) Pa_Terminate();
        initialized_ = false;
        setenv("ALSA_CONFIG_PATH", writeAlsaConfig(dir_, devices).c_str(), 1);
        ASSERT_EQ(Pa_Initialize(), paNoError);
        initialized_ = true;
    }

    static std::vector<const PaDeviceInfo*> alsaDevices() {
        std::vector<const PaDeviceInfo*> found;
        PaHostApiIndex api = Pa_HostApiTypeIdToHostApiIndex(paALSA);
        for (int i = 0; api >= 0 && i < Pa_GetHostApiInfo(api)->deviceCount; ++i)
            found.push_back(Pa_GetDeviceInfo(Pa_HostApiDeviceIndexToDeviceIndex(api, i)));
        return found;
    }

    static PaStreamParameters input(const std::string& name, int channels, PaSampleFormat format,
                                    double latency = 0.1) {
        PaStreamParameters p{paNoDevice, channels, format, latency, nullptr};
        PaHostApiIndex api = Pa_HostApiTypeIdToHostApiIndex(paALSA);
        for (int i = 0; api >= 0 && i < Pa_GetHostApiInfo(api)->deviceCount; ++i) {
            PaDeviceIndex device = Pa_HostApiDeviceIndexToDeviceIndex(api, i);
            if (name == Pa_GetDeviceInfo(device)->name) p.device = device;
        }
        return p;
    }

    static PaStream* openCallback(const PaStreamParameters& p, Capture& capture) {
        PaStream* stream = nullptr;
        EXPECT_EQ(Pa_OpenStream(&stream, &p, nullptr, kRate, kFramesPerBuffer, paNoFlag,
                                &Capture::onInput, &capture),
                  paNoError);
        if (stream) Pa_SetStreamFinishedCallback(stream, &Capture::onFinished);
        return stream;
    }

    std::string dir_;
    bool initialized_ = false;
};

TEST_F(VirtualCardTest, PortAudioListsTheDevicesThatOpenUnderTheirPcmNames) {
    std::string file = rawFile("silence.f32", {});
    initialise({{.name = "ltc_stereo", .description = "Stereo", .channels = 2, .rawFile = file},
                {.name = "ltc_eight", .channels = 8, .rawFile = file},
                {.name = "ltc_broken", .channels = 2, .rawFile = file, .openFails = true}});

    auto devices = alsaDevices();
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_STREQ(devices[0]->name, "ltc_stereo");
    EXPECT_STREQ(devices[1]->name, "ltc_eight");
    EXPECT_EQ(devices[0]->maxInputChannels, 2);
    EXPECT_EQ(devices[1]->maxInputChannels, 8);
    for (const PaDeviceInfo* d : devices) {
        EXPECT_EQ(d->maxOutputChannels, 0) << d->name;
        EXPECT_EQ(d->defaultSampleRate, kRate) << d->name;
    }

    // One channel count and one rate: nothing for PortAudio to negotiate.
    PaStreamParameters stereo = input("ltc_stereo", 2, paFloat32);
    EXPECT_EQ(Pa_IsFormatSupported(&stereo, nullptr, kRate), paFormatIsSupported);
    EXPECT_EQ(Pa_IsFormatSupported(&stereo, nullptr, 44100), paInvalidSampleRate);
    PaStreamParameters mono = input("ltc_stereo", 1, paFloat32);
    EXPECT_EQ(Pa_IsFormatSupported(&mono, nullptr, kRate), paFormatIsSupported)
        << "PortAudio reads fewer channels than a device has";
    PaStreamParameters three = input("ltc_stereo", 3, paFloat32);
    EXPECT_EQ(Pa_IsFormatSupported(&three, nullptr, kRate), paInvalidChannelCount);

    // A second initialisation reads the configuration again.
    initialise({{.name = "ltc_other", .channels = 4, .rawFile = file}});
    devices = alsaDevices();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_STREQ(devices[0]->name, "ltc_other");
    EXPECT_EQ(devices[0]->maxInputChannels, 4);
}

TEST_F(VirtualCardTest, CallbackStreamGetsTheFileBitExactFromFrameZeroOnEveryOpen) {
    const size_t fileFrames = kRate / 4;
    std::vector<float> file = numberedSamples(fileFrames, 2);
    initialise({{.name = "ltc_stereo", .channels = 2, .rawFile = rawFile("s.f32", file)}});

    for (int open = 0; open < 2; ++open) {
        Capture capture;
        capture.samples.resize(2 * fileFrames * 2 + kRate);
        PaStream* stream = openCallback(input("ltc_stereo", 2, paFloat32), capture);
        ASSERT_NE(stream, nullptr);
        ASSERT_EQ(Pa_StartStream(stream), paNoError);
        ASSERT_TRUE(
            waitFor([&] { return capture.frames >= 2 * fileFrames; }, std::chrono::seconds(10)));
        ASSERT_EQ(Pa_StopStream(stream), paNoError);
        ASSERT_EQ(Pa_CloseStream(stream), paNoError);

        SCOPED_TRACE("open " + std::to_string(open));
        EXPECT_EQ(capture.allFlags, 0u);
        EXPECT_TRUE(sameBits(capture.samples.data(), file.data(), file.size()));
        std::vector<float> silence(fileFrames * 2, 0.0f);
        EXPECT_TRUE(sameBits(&capture.samples[file.size()], silence.data(), silence.size()))
            << "silence follows the file";
    }
}

TEST_F(VirtualCardTest, BlockingReadsOfALoopingEightChannelDeviceAreBitExact) {
    const size_t fileFrames = 4801;  // no multiple of any period, so the loop wraps mid-block
    std::vector<float> file = numberedSamples(fileFrames, 8);
    initialise(
        {{.name = "ltc_eight", .channels = 8, .rawFile = rawFile("e.f32", file), .loop = true}});

    PaStream* stream = nullptr;
    PaStreamParameters p = input("ltc_eight", 8, paFloat32, 0.2);
    ASSERT_EQ(
        Pa_OpenStream(&stream, &p, nullptr, kRate, kFramesPerBuffer, paNoFlag, nullptr, nullptr),
        paNoError);
    ASSERT_EQ(Pa_StartStream(stream), paNoError);
    std::vector<float> got(fileFrames * 5 / 2 * 8);
    ASSERT_EQ(Pa_ReadStream(stream, got.data(), got.size() / 8), paNoError);
    ASSERT_EQ(Pa_StopStream(stream), paNoError);
    Pa_CloseStream(stream);

    for (size_t frame = 0; frame < got.size() / 8; frame += fileFrames) {
        size_t count = std::min(file.size(), got.size() - frame * 8);
        EXPECT_TRUE(sameBits(&got[frame * 8], file.data(), count)) << "from frame " << frame;
    }
}

TEST_F(VirtualCardTest, DeliversFramesInRealTime) {
    initialise({{.name = "ltc_stereo",
                 .channels = 2,
                 .rawFile = rawFile("s.f32", numberedSamples(kRate, 2)),
                 .loop = true}});
    Capture capture;
    PaStream* stream = openCallback(input("ltc_stereo", 2, paFloat32), capture);
    ASSERT_NE(stream, nullptr);
    ASSERT_EQ(Pa_StartStream(stream), paNoError);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    auto t0 = Clock::now();
    size_t f0 = capture.frames;
    std::this_thread::sleep_for(std::chrono::seconds(1));
    double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    double delivered = static_cast<double>(capture.frames - f0) / kRate;
    Pa_StopStream(stream);
    Pa_CloseStream(stream);

    EXPECT_GT(delivered, 0.5 * seconds);
    EXPECT_LT(delivered, 2.0 * seconds);
}

TEST_F(VirtualCardTest, IntegerDeviceDeliversRoundedClampedSixteenBitSamples) {
    // (file sample, integer delivered); the rounding cases avoid exact halves.
    const std::vector<std::pair<float, int16_t>> cases = {{0.0f, 0},
                                                          {1 / 32768.0f, 1},
                                                          {-1 / 32768.0f, -1},
                                                          {12345 / 32768.0f, 12345},
                                                          {-12345 / 32768.0f, -12345},
                                                          {-1.0f, -32768},
                                                          {32767 / 32768.0f, 32767},
                                                          {1.0f, 32767},
                                                          {-1.5f, -32768},
                                                          {2.6f / 32768, 3},
                                                          {-2.4f / 32768, -2},
                                                          {0.4f / 32768, 0}};
    std::vector<float> file;
    for (const auto& c : cases) file.push_back(c.first);
    initialise({{.name = "ltc_int",
                 .channels = 2,
                 .rawFile = rawFile("i.f32", file),
                 .format = "S16_LE"}});

    PaStream* stream = nullptr;
    PaStreamParameters p = input("ltc_int", 2, paInt16, 0.2);
    ASSERT_EQ(
        Pa_OpenStream(&stream, &p, nullptr, kRate, kFramesPerBuffer, paNoFlag, nullptr, nullptr),
        paNoError);
    ASSERT_EQ(Pa_StartStream(stream), paNoError);
    std::vector<int16_t> got(cases.size());
    ASSERT_EQ(Pa_ReadStream(stream, got.data(), cases.size() / 2), paNoError);
    Pa_StopStream(stream);
    Pa_CloseStream(stream);
    for (size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(got[i], cases[i].second) << "file sample " << cases[i].first;

    // PortAudio hides the integer format: asked for floats, it converts with a scale of 1/32768.
    p.sampleFormat = paFloat32;
    EXPECT_EQ(Pa_IsFormatSupported(&p, nullptr, kRate), paFormatIsSupported);
    ASSERT_EQ(
        Pa_OpenStream(&stream, &p, nullptr, kRate, kFramesPerBuffer, paNoFlag, nullptr, nullptr),
        paNoError);
    ASSERT_EQ(Pa_StartStream(stream), paNoError);
    std::vector<float> floats(cases.size());
    ASSERT_EQ(Pa_ReadStream(stream, floats.data(), cases.size() / 2), paNoError);
    Pa_StopStream(stream);
    Pa_CloseStream(stream);
    for (size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(floats[i], cases[i].second / 32768.0f) << "file sample " << cases[i].first;
}

TEST_F(VirtualCardTest, OverrunFlagsInputOverflowAndLosesTheFramesOfTheStall) {
    std::vector<float> file = numberedSamples(3 * kRate, 2);
    initialise({{.name = "ltc_stereo", .channels = 2, .rawFile = rawFile("s.f32", file)}});
    Capture capture;
    capture.samples.resize(file.size());
    capture.stallAtCallback = 20;
    capture.stall = std::chrono::milliseconds(400);  // far more than the ring buffer holds
    PaStream* stream = openCallback(input("ltc_stereo", 2, paFloat32, 0.03), capture);
    ASSERT_NE(stream, nullptr);
    ASSERT_EQ(Pa_StartStream(stream), paNoError);
    bool enough = waitFor([&] { return capture.frames >= kRate; }, std::chrono::seconds(10));
    Pa_StopStream(stream);
    Pa_CloseStream(stream);
    ASSERT_TRUE(enough);

    // Frames follow the file, except that a callback flagged with paInputOverflow skips ahead
    // by the time the reader stalled, as a card that kept recording would. The stall must be
    // among the skips (a loaded machine may add more).
    size_t expected = 0;
    bool stallLost = false;
    for (size_t frame = 0; frame < capture.frames; ++frame) {
        size_t at = sampleNumber(capture.samples[frame * 2]);
        ASSERT_LE(at + 2, file.size());
        ASSERT_TRUE(sameBits(&capture.samples[frame * 2], &file[at], 2)) << "frame " << frame;
        if (at != expected) {
            size_t callback = frame / kFramesPerBuffer;
            EXPECT_TRUE(capture.flags[callback] & paInputOverflow) << "unflagged loss " << frame;
            EXPECT_GT(at, expected) << "frame " << frame;
            EXPECT_LT(at, expected + 2.0 * kRate * 2) << "frame " << frame;
            if (callback > static_cast<size_t>(capture.stallAtCallback) &&
                at > expected + 0.2 * kRate * 2)
                stallLost = true;
        }
        expected = at + 2;
    }
    EXPECT_TRUE(stallLost) << "no overflow lost the frames of the stall";
}

// An unplugged card as PortAudio 19.6 handles it: a callback stream just stops calling back
// (its thread spins on poll() until the stream is stopped), a blocking read fails.
TEST_F(VirtualCardTest, UnpluggedDeviceStopsCallbacksAndFailsBlockingReads) {
    std::string file = rawFile("s.f32", numberedSamples(kRate, 2));
    initialise(
        {{.name = "ltc_gone", .channels = 2, .rawFile = file, .loop = true, .failAfterMs = 300}});
    PaStreamParameters p = input("ltc_gone", 2, paFloat32, 0.05);

    Capture capture;
    PaStream* stream = openCallback(p, capture);
    ASSERT_NE(stream, nullptr);
    ASSERT_EQ(Pa_StartStream(stream), paNoError);
    std::this_thread::sleep_for(std::chrono::milliseconds(900));
    size_t framesAfterUnplug = capture.frames;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(capture.frames, framesAfterUnplug) << "no callbacks after the unplug";
    EXPECT_GT(framesAfterUnplug, 0.15 * kRate);
    EXPECT_LT(framesAfterUnplug, 0.6 * kRate);
    EXPECT_EQ(Pa_IsStreamActive(stream), 1);
    EXPECT_EQ(capture.finished, 0);
    EXPECT_EQ(Pa_StopStream(stream), paNoError);
    EXPECT_EQ(capture.finished, 1);
    EXPECT_EQ(Pa_IsStreamActive(stream), 0);
    EXPECT_EQ(Pa_CloseStream(stream), paNoError);

    // Every open is a new plug-in: this one runs its 300 ms again. PortAudio cannot close it
    // afterwards (below), so what it allocates for it is never freed.
    {
#if defined(__SANITIZE_ADDRESS__)
        __lsan::ScopedDisabler streamLeaksByDesign;
#endif
        ASSERT_EQ(Pa_OpenStream(&stream, &p, nullptr, kRate, kFramesPerBuffer, paNoFlag, nullptr,
                                nullptr),
                  paNoError);
        ASSERT_EQ(Pa_StartStream(stream), paNoError);
    }
    std::vector<float> buffer(kFramesPerBuffer * 2);
    size_t framesRead = 0;
    PaError error = paNoError;
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < deadline) {
        error = Pa_ReadStream(stream, buffer.data(), kFramesPerBuffer);
        if (error != paNoError && error != paInputOverflowed) break;  // a busy machine overflows
        framesRead += kFramesPerBuffer;
    }
    EXPECT_EQ(error, paUnanticipatedHostError);
    EXPECT_EQ(Pa_GetLastHostErrorInfo()->hostApiType, paALSA);
    EXPECT_EQ(Pa_GetLastHostErrorInfo()->errorCode, -ENODEV);
    EXPECT_GT(framesRead, 0.15 * kRate);
    EXPECT_LT(framesRead, 0.6 * kRate);
    // Dropping a dead card fails, so PortAudio neither stops nor closes the stream: it stays
    // open until Pa_Terminate, which fails to close it too.
    EXPECT_EQ(Pa_StopStream(stream), paUnanticipatedHostError);
    EXPECT_EQ(Pa_CloseStream(stream), paUnanticipatedHostError);
}

}  // namespace
