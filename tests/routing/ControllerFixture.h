#pragma once

// A timecode controller on fakes and loopback sockets, with the clock in the test's hand.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
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

/// 01:00:SS:FF from the source `id`.
inline SMPTE_tc timecodeFrom(int id, int frames, bool dropFrame = false, int seconds = 0) {
    SMPTE_tc tc{};
    tc.myId = id, tc.hu = 1, tc.dropFrame = dropFrame;
    tc.st = seconds / 10, tc.su = seconds % 10, tc.ft = frames / 10, tc.fu = frames % 10;
    return tc;
}

// Hears the controller and records every value written to the settings it keeps.
class ControllerFixture : public ::testing::Test,
                          public TimecodeControllerListener,
                          public SettingsObserver {
protected:
    ControllerFixture() {
        // Device 2 shares device 1's name; device 3 has no input.
        hardware.deviceList = {inputDevice(11, "Built-in Input", 2), inputDevice(12, "Studio", 8),
                               inputDevice(13, "Studio", 2), outputOnlyDevice(14, "Speakers")};
        setAudioHardware(&hardware);
        settings.registerDefaults(SettingsDefaults::registered());
        for (const char* key : kRecorded) settings.addObserver(*this, key);
    }
    ~ControllerFixture() override {
        controller.reset();
        for (const char* key : kRecorded) settings.removeObserver(*this, key);
        setAudioHardware(nullptr);
    }
    static constexpr const char* kRecorded[] = {"values.fpsString", "values.timecodeRunning"};
    void receiveTimecode(const TimecodeWrapper& wrapper) override {
        heard.push_back(*wrapper.timecode());
        ids.push_back(heard.back().myId);
    }
    void observeValueForKeyPath(const std::optional<std::string>& keyPath) override {
        written[*keyPath].push_back(settings.valueForKeyPath(*keyPath));
    }

    /// A fresh controller with "audioInput" as given (nothing: the default).
    void start(const std::optional<nlohmann::json>& audioInput = std::nullopt) {
        controller.reset();
        if (audioInput) settings.setObjectForKey(*audioInput, "audioInput");
        controller = std::make_unique<TimecodeController>(TimecodeController::Environment{
            .settings = &settings,
            .clock = [this] { return now; },
            .startAudio = nullptr,
            .tickInterval = std::chrono::milliseconds(0),  // the test ticks
        });
        controller->listen(*this);
    }

    /// Hands the value in `ms` milliseconds after the previous one.
    void deliver(const SMPTE_tc& tc, int64_t ms = 40) {
        now += ms * 1000;
        controller->receiveTimecode(TimecodeWrapper(tc));
    }

    bool logged(const std::string& line) const { return std::ranges::count(log.lines(), line) > 0; }

    FakeNetServiceBrowser& browser() { return *services.browsers.back(); }

    LogCapture log;
    FakeAudioHardware hardware;
    FakeNetServices services;
    UserDefaultsController settings;
    int64_t now = 1'700'000'000'000'000;
    std::vector<SMPTE_tc> heard;
    std::vector<int> ids;
    std::map<std::string, std::vector<nlohmann::json>> written;  ///< by key path, in order
    std::unique_ptr<TimecodeController> controller;
};
