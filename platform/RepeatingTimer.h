#pragma once

#include <chrono>
#include <functional>

// A timer on the GLib default main context that calls `tick` every `interval`
// until it is stopped or destroyed. Like the main loop's other timers it is
// late rather than early when the loop is busy, and a late tick does not make
// the following ones come sooner.
//
// Thread contract: main thread only, tick() included. A tick may stop its own
// timer.
class RepeatingTimer {
public:
    using Tick = std::function<void()>;

    RepeatingTimer(std::chrono::milliseconds interval, Tick tick);
    ~RepeatingTimer();

    RepeatingTimer(const RepeatingTimer&) = delete;
    RepeatingTimer& operator=(const RepeatingTimer&) = delete;

    void stop();
    bool isRunning() const { return sourceId_ != 0; }

private:
    static int fireTrampoline(void* self);

    Tick tick_;
    unsigned sourceId_ = 0;
};
