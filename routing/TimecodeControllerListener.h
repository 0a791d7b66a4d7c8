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

// Where listeners register: the timecode controller, or a test's stand-in.
class TimecodeListeners {
public:
    /// Appends the listener; one registered twice hears every value twice.
    virtual void listen(TimecodeControllerListener& listener) = 0;
    /// Removes every registration of the listener.
    virtual void stopListening(TimecodeControllerListener& listener) = 0;

protected:
    ~TimecodeListeners() = default;
};
