#pragma once

class TimecodeWrapper;

// Hears every value the timecode controller accepts, in the order accepted.
class TimecodeControllerListener {
public:
    /// Main thread. The wrapper is valid only during the call: copy what you keep.
    virtual void receiveTimecode(const TimecodeWrapper& wrapper) = 0;

protected:
    ~TimecodeControllerListener() = default;
};
