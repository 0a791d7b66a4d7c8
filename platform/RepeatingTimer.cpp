#include "platform/RepeatingTimer.h"

#include <glib.h>

#include <utility>

#include "platform/CallbackGuard.h"

RepeatingTimer::RepeatingTimer(std::chrono::milliseconds interval, Tick tick)
    : tick_(std::move(tick)) {
    sourceId_ = g_timeout_add_full(G_PRIORITY_DEFAULT, guint(interval.count()),
                                   &RepeatingTimer::fireTrampoline, this, nullptr);
}

RepeatingTimer::~RepeatingTimer() {
    stop();
}

void RepeatingTimer::stop() {
    if (sourceId_ == 0) return;
    g_source_remove(sourceId_);
    sourceId_ = 0;
}

int RepeatingTimer::fireTrampoline(void* self) {
    auto* timer = static_cast<RepeatingTimer*>(self);
    runGuarded("Timer", timer->tick_);
    // The tick may have stopped the timer; its source is then already gone.
    return G_SOURCE_CONTINUE;
}
