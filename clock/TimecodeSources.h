#pragma once

#include <optional>
#include <string>
#include <vector>

// What the page server asks of the rest of the application about timecode
// sources: the controller's audio device names, the network sources it can
// see, and the application's input list. The program answers from the
// timecode controller and the application object; tests answer from fakes.
//
// Thread contract: called on the thread that serves the scheme, the main thread.
class TimecodeSources {
public:
    virtual ~TimecodeSources() = default;

    /// The name of audio device `index` in the controller's device list; none
    /// for an index outside it.
    virtual std::optional<std::string> getAudioNameById(int index) const = 0;

    /// The published names of the visible network sources, in the receiver's order.
    virtual std::vector<std::string> visibleNetworkSourceNames() const = 0;

    /// The entries of the input list document, each one JSON object as text.
    virtual std::vector<std::string> getInputDeviceList() const = 0;
};
