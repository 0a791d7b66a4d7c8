#include "platform/EventFdSource.h"

#include <glib.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <utility>

#include "platform/CallbackGuard.h"

namespace {

struct WakeSource {
    GSource base;
    EventFdSource* owner;  ///< published with release once the owner is complete
};

}  // namespace

EventFdSource::EventFdSource(Handler onWake) : onWake_(std::move(onWake)) {
    static GSourceFuncs funcs = {nullptr, nullptr, &EventFdSource::dispatchTrampoline,
                                 nullptr, nullptr, nullptr};
    fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd_ < 0) {
        // Without a descriptor nothing could ever wake the handler; that is a
        // broken process, not a condition to run on with.
        g_error("eventfd failed: %s", g_strerror(errno));
    }
    source_ = g_source_new(&funcs, sizeof(WakeSource));
    // The source may be made on a worker thread and dispatched on the main one;
    // publishing the owner makes the handler visible there before it runs.
    std::atomic_ref(reinterpret_cast<WakeSource*>(source_)->owner)
        .store(this, std::memory_order_release);
    g_source_set_priority(source_, G_PRIORITY_DEFAULT);
    g_source_set_name(source_, "Mirel wake-up");
    g_source_add_unix_fd(source_, fd_, G_IO_IN);
    g_source_attach(source_, nullptr);
}

EventFdSource::~EventFdSource() {
    g_source_destroy(source_);
    g_source_unref(source_);
    close(fd_);
}

void EventFdSource::wake() noexcept {
    const uint64_t one = 1;
    // EAGAIN only means the counter is saturated: a wake is pending anyway.
    [[maybe_unused]] ssize_t written = write(fd_, &one, sizeof one);
}

int EventFdSource::dispatchTrampoline(GSource* source, int (*)(void*), void*) {
    std::atomic_ref(reinterpret_cast<WakeSource*>(source)->owner)
        .load(std::memory_order_acquire)
        ->dispatch();
    return G_SOURCE_CONTINUE;
}

void EventFdSource::dispatch() {
    // Reset the counter before the handler looks for work, so that a wake made
    // while it runs is not lost but brings it back on a later iteration.
    uint64_t count = 0;
    [[maybe_unused]] ssize_t got = read(fd_, &count, sizeof count);
    runGuarded("Main loop handler", onWake_);
}
