#pragma once

#include "app/TimecodeInputList.h"
#include "clock/TimecodeSources.h"
#include "routing/TimecodeController.h"

// The page server's view of the program: audio names from the timecode
// controller's device list, network names from its receiver, and the input
// list from the application's. Both must outlive this.
//
// Thread contract: main thread.
class ControllerTimecodeSources : public TimecodeSources {
public:
    ControllerTimecodeSources(TimecodeController& controller, const TimecodeInputList& inputs)
        : controller_(controller), inputs_(inputs) {}

    std::optional<std::string> getAudioNameById(int index) const override;
    std::vector<std::string> visibleNetworkSourceNames() const override;
    std::vector<std::string> getInputDeviceList() const override;

private:
    TimecodeController& controller_;
    const TimecodeInputList& inputs_;
};
