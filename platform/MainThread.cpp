#include "platform/MainThread.h"

#include <deque>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/CallbackGuard.h"
#include "platform/EventFdSource.h"

namespace {

// Our own queue rather than one GLib idle source per call: it keeps strict
// posting order, and its mutex is one the thread checker can see, where
// GLib's internal locking is invisible to it.
class PostQueue {
public:
    void post(MainThread::Work work) {
        std::lock_guard lock(mutex_);
        if (!wake_) wake_ = std::make_unique<EventFdSource>([this] { runPending(); });
        pending_.push_back(std::move(work));
        wake_->wake();
    }

private:
    void runPending() {
        std::deque<MainThread::Work> batch;
        {
            std::lock_guard lock(mutex_);
            batch.swap(pending_);
        }
        for (MainThread::Work& work : batch) run(work);
    }

    static void run(MainThread::Work& work) { runGuarded("Work handed to the main thread", work); }

    std::mutex mutex_;
    std::deque<MainThread::Work> pending_;
    std::unique_ptr<EventFdSource> wake_;  ///< made on first use; lives for the process
};

PostQueue& queue() {
    // Never destroyed: threads may still post while the process exits.
    static PostQueue* q = new PostQueue;
    return *q;
}

}  // namespace

void MainThread::post(Work work) {
    queue().post(std::move(work));
}
