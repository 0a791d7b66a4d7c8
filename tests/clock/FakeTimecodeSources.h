#pragma once

#include <map>
#include <string>
#include <vector>

#include "clock/TimecodeSources.h"

// Sources as a test sets them up; remembers the audio indices asked for.
class FakeTimecodeSources : public TimecodeSources {
public:
    std::optional<std::string> getAudioNameById(int index) const override {
        askedIndices.push_back(index);
        const auto found = audioNames.find(index);
        if (found == audioNames.end()) return std::nullopt;
        return found->second;
    }
    std::vector<std::string> visibleNetworkSourceNames() const override { return networkNames; }
    std::vector<std::string> getInputDeviceList() const override { return entries; }

    std::map<int, std::string> audioNames;
    std::vector<std::string> networkNames;
    std::vector<std::string> entries;
    mutable std::vector<int> askedIndices;
};
