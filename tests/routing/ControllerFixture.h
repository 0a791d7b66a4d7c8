#pragma once

// A timecode controller on fakes, with the clock in the test's hand. Its
// sender and receiver are real, on loopback sockets.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "platform/LogCapture.h"
#include "platform/SettingsDefaults.h"
#include "routing/TimecodeController.h"
#include "tests/audio/FakeAudioHardware.h"
#include "tests/network/FakeNetServices.h"

struct RecordingListener : TimecodeControllerListener {
    void receiveTimecode(const TimecodeWrapper& wrapper) override {
        heard.push_back(*wrapper.timecode());
    }
    std::vector<int> ids() const {
        std::vector<int> result;
        for (const SMPTE_tc& tc : heard) result.push_back(tc.myId);
        return result;
    }
    std::vector<SMPTE_tc> heard;
};

/// Every value written to one setting, in order.
struct SettingRecorder : SettingsObserver {
    SettingRecorder(UserDefaultsController& settings, const std::string& key)
        : settings(settings), keyPath("values." + key) {
        settings.addObserver(*this, keyPath);
    }
    ~SettingRecorder() { settings.removeObserver(*this, keyPath); }
    void observeValueForKeyPath(const std::optional<std::string>&) override {
        written.push_back(settings.valueForKeyPath(keyPath));
    }
    UserDefaultsController& settings;
    const std::string keyPath;
    std::vector<nlohmann::json> written;
};

/// 01:00:SS:FF from the source `id`.
inline SMPTE_tc timecodeFrom(int id, int frames, bool dropFrame = false, int seconds = 0) {
    SMPTE_tc tc{};
    tc.myId = id, tc.hu = 1, tc.dropFrame = dropFrame;
    tc.st = seconds / 10, tc.su = seconds % 10, tc.ft = frames / 10, tc.fu = frames % 10;
    return tc;
}

class ControllerFixture : public ::testing::Test {
protected:
    ControllerFixture() {
        // Device 2 shares device 1's name; device 3 has no input.
        hardware.deviceList = {inputDevice(11, "Built-in Input", 2), inputDevice(12, "Studio", 8),
                               inputDevice(13, "Studio", 2), outputOnlyDevice(14, "Speakers")};
        setAudioHardware(&hardware);
        settings.registerDefaults(SettingsDefaults::registered());
    }
    ~ControllerFixture() override {
        controller.reset();
        setAudioHardware(nullptr);
    }

    /// A fresh controller with "audioInput" as given (nothing: the default).
    void start(const std::optional<nlohmann::json>& audioInput = std::nullopt) {
        controller.reset();
        if (audioInput) settings.setObjectForKey(*audioInput, "audioInput");
        TimecodeController::Environment environment;
        environment.settings = &settings;
        environment.clock = [this] { return now; };
        environment.startAudio = nullptr;
        environment.tickInterval = std::chrono::milliseconds(0);  // the test ticks
        controller = std::make_unique<TimecodeController>(environment);
        controller->listen(listener);
    }

    /// Hands the value in `ms` milliseconds after the previous one.
    void deliver(const SMPTE_tc& tc, int64_t ms = 40) {
        now += ms * 1000;
        controller->receiveTimecode(TimecodeWrapper(tc));
    }

    bool logged(const std::string& line) const {
        const std::vector<std::string> lines = log.lines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

    FakeNetServiceBrowser& browser() { return *services.browsers.back(); }

    LogCapture log;
    FakeAudioHardware hardware;
    FakeNetServices services;
    UserDefaultsController settings;
    int64_t now = 1'700'000'000'000'000;
    RecordingListener listener;
    std::unique_ptr<TimecodeController> controller;
};
