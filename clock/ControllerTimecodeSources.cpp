#include "clock/ControllerTimecodeSources.h"

std::optional<std::string> ControllerTimecodeSources::getAudioNameById(int index) const {
    return controller_.getAudioNameById(index);
}

std::vector<std::string> ControllerTimecodeSources::visibleNetworkSourceNames() const {
    std::vector<std::string> names;
    for (const auto& service : controller_.otherTimecodeSources()) {
        names.push_back(service->name());
    }
    return names;
}

std::vector<std::string> ControllerTimecodeSources::getInputDeviceList() const {
    return inputs_.getInputDeviceList();
}
