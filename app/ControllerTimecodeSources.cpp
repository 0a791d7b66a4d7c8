#include "app/ControllerTimecodeSources.h"

std::optional<std::string> ControllerTimecodeSources::getAudioNameById(int index) const {
    return controller_.getAudioNameById(index);
}

std::vector<std::string> ControllerTimecodeSources::visibleNetworkSourceNames() const {
    return inputs_.networkSourceNames();
}

std::vector<std::string> ControllerTimecodeSources::getInputDeviceList() const {
    return inputs_.getInputDeviceList();
}
