#pragma once

#include <map>
#include <string>
#include <vector>

#include "clock/TimecodeSources.h"

// Sources as a test sets them up.
struct FakeTimecodeSources : TimecodeSources {
    std::optional<std::string> getAudioNameById(int index) const override {
        const auto found = audioNames.find(index);
        return found == audioNames.end() ? std::nullopt : std::optional(found->second);
    }
    std::vector<std::string> visibleNetworkSourceNames() const override { return networkNames; }
    std::vector<std::string> getInputDeviceList() const override { return entries; }

    std::map<int, std::string> audioNames;
    std::vector<std::string> networkNames, entries;
};
