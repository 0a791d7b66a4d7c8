#pragma once

#include <functional>

// Hands work to the main thread, the one that runs the GLib default main
// context. post() never waits for the main thread and never runs the work
// inline, not even when called on the main thread: the work runs from the main
// loop, after whatever is running there now. Work posted from one thread runs
// in the order it was posted.
//
// Thread contract: post() from any thread except a real-time one (it
// allocates and takes a short lock); capture threads use CaptureHandOver.
class MainThread {
public:
    using Work = std::function<void()>;

    static void post(Work work);
};
