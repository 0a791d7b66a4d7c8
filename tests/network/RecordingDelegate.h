#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "network/TimecodeReceiverDelegate.h"

// Every field of a value, the raw digits included, so that a mismatch reads plainly.
inline std::string describe(const SMPTE_tc& tc) {
    char text[96];
    std::snprintf(text, sizeof text, "%d%d:%d%d:%d%d.%d%d %X%X%X%X%X%X%X%X %s%s%s id %d", tc.ht,
                  tc.hu, tc.mt, tc.mu, tc.st, tc.su, tc.ft, tc.fu, tc.u1, tc.u2, tc.u3, tc.u4,
                  tc.u5, tc.u6, tc.u7, tc.u8, tc.dropFrame ? "drop" : "non-drop",
                  tc.colorFrame ? " colour" : "", tc.bpm ? " bpm" : "", tc.myId);
    return text;
}

// Keeps what a receiver hands it: values from its thread, news of sources on the main one.
class RecordingDelegate : public TimecodeReceiverDelegate {
public:
    void timecodeReceiverDidFindService(TimecodeReceiver&, const std::shared_ptr<NetService>&,
                                        bool) override {
        ++news;
    }
    void timecodeReceiverDidRemoveService(TimecodeReceiver&, const std::shared_ptr<NetService>&,
                                          bool) override {
        ++news;
    }
    void timecode(std::unique_ptr<SMPTE_tc> tc) override {
        std::lock_guard lock(mutex_);
        values_.push_back(*tc);
        arrived_.notify_all();
    }

    /// The next value not yet taken, described, or "nothing" within the timeout.
    std::string next(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        std::unique_lock lock(mutex_);
        if (!arrived_.wait_for(lock, timeout, [this] { return taken_ < values_.size(); }))
            return "nothing";
        return describe(values_[taken_++]);
    }

    int news = 0;  ///< sources found and removed

private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<SMPTE_tc> values_;
    std::size_t taken_ = 0;
};
