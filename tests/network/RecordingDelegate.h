#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "network/TimecodeReceiverDelegate.h"

// Keeps whatever a receiver hands it. Values arrive on the receiver thread and
// are read on the test's.
class RecordingDelegate : public TimecodeReceiverDelegate {
public:
    struct Event {
        std::shared_ptr<NetService> service;
        bool moreComing;
    };

    void timecodeRecieverDidFindService(TimecodeReceiver&,
                                        const std::shared_ptr<NetService>& service,
                                        bool moreComing) override {
        found.push_back({service, moreComing});
    }
    void timecodeRecieverDidRemoveService(TimecodeReceiver&,
                                          const std::shared_ptr<NetService>& service,
                                          bool moreComing) override {
        removed.push_back({service, moreComing});
    }
    void timecode(std::unique_ptr<SMPTE_tc> tc) override {
        std::lock_guard lock(mutex_);
        values_.push_back(*tc);
        arrived_.notify_all();
    }

    /// The next value not yet taken, or nothing within the timeout.
    std::optional<SMPTE_tc> next(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        std::unique_lock lock(mutex_);
        if (!arrived_.wait_for(lock, timeout, [this] { return taken_ < values_.size(); })) {
            return std::nullopt;
        }
        return values_[taken_++];
    }
    std::size_t count() const {
        std::lock_guard lock(mutex_);
        return values_.size();
    }

    std::vector<Event> found;  ///< main thread
    std::vector<Event> removed;

private:
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<SMPTE_tc> values_;
    std::size_t taken_ = 0;
};
