#pragma once

#include <map>
#include <string>
#include <vector>

#include "clock/TimecodeSources.h"

struct FakeTimecodeSources : TimecodeSources {
    std::optional<std::string> getAudioNameById(int index) const override {
        return audioNames.contains(index) ? std::optional(audioNames.at(index)) : std::nullopt;
    }
    std::vector<std::string> visibleNetworkSourceNames() const override { return networkNames; }
    std::vector<std::string> getInputDeviceList() const override { return entries; }

    std::map<int, std::string> audioNames;
    std::vector<std::string> networkNames, entries;
};
