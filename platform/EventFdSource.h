#pragma once

#include <functional>

typedef struct _GSource GSource;  // NOLINT(bugprone-reserved-identifier): GLib names it so

// A source on the GLib default main context that an eventfd wakes. wake() is
// one write(2) on a non-blocking eventfd: it neither locks nor allocates, so a
// real-time thread may call it. However many wakes arrive before the main loop
// gets round to it, the handler runs once for them, on the main loop's thread.
//
// Thread contract: construct on any thread; destroy on the thread that runs
// the default main context; wake() from any thread, but not once destruction
// has begun.
class EventFdSource {
public:
    using Handler = std::function<void()>;

    /// Attaches at once. `onWake` runs on the main loop after one or more wake() calls.
    explicit EventFdSource(Handler onWake);
    ~EventFdSource();

    EventFdSource(const EventFdSource&) = delete;
    EventFdSource& operator=(const EventFdSource&) = delete;

    /// Any thread; real-time safe.
    void wake() noexcept;

private:
    static int dispatchTrampoline(GSource* source, int (*)(void*), void* userData);
    void dispatch();

    int fd_ = -1;
    GSource* source_ = nullptr;
    Handler onWake_;
};
