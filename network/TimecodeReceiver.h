#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "network/TimecodeReceiverDelegate.h"
#include "platform/NetService.h"

// Takes timecode from other copies on the network. Browses for their DNS-SD
// service and keeps the list of visible sources; keeps a list of subscribed
// sources, to each of which a notify thread sends a subscription message once a
// second; and a receiver thread turns the timecode messages that come back
// into records for the delegate.
//
// Subscription i is announced with the number myUid + i. Every unsubscription
// moves myUid past every number announced so far, so that messages still on
// their way from a source we have left are recognised as stale.
//
// Thread contract: main thread, except the notify and receiver threads' own
// loops. The subscription list and myUid are what those threads share with
// the main thread; subscriptionsMutex_ guards them, and no thread holds it
// across a system call or a call into a service or the delegate.
class TimecodeReceiver : public NetServiceBrowserDelegate {
public:
    /// A number base from 0 to 499, drawn from the system's entropy: two copies
    /// started together must not announce the same numbers.
    static int randomNumberBase();

    /// Opens the socket, starts both threads and begins browsing. Tests pass
    /// the number base; the system lets it be drawn.
    explicit TimecodeReceiver(int numberBase = randomNumberBase());
    /// Stops browsing and both threads and closes the socket. The system never
    /// calls it (the receiver lives until exit), but an owner that does is safe.
    ~TimecodeReceiver() override;

    TimecodeReceiver(const TimecodeReceiver&) = delete;
    TimecodeReceiver& operator=(const TimecodeReceiver&) = delete;

    /// Not owned; null drops what arrives. Once this returns, the previous
    /// delegate is called no more and may go.
    void setDelegate(TimecodeReceiverDelegate* delegate);

    /// The visible sources in the order they were found: the live list.
    const std::vector<std::shared_ptr<NetService>>& visibleTimecodeSources() const {
        return services;
    }
    /// The first visible source published under exactly this name, or null.
    std::shared_ptr<NetService> getSourceForUrl(const std::string& name) const;

    /// Appends the source to the subscriptions; null is ignored.
    void subscribeToTimeSource(const std::shared_ptr<NetService>& service);
    /// Moves the number base past every number announced so far, then removes
    /// every occurrence of the source. Null moves only the base.
    void unsubscribeToTimeSource(const std::shared_ptr<NetService>& service);
    int subscribedServicesCount() const;

    void netServiceBrowserDidFindService(NetServiceBrowser& browser,
                                         const std::shared_ptr<NetService>& service,
                                         bool moreComing) override;
    void netServiceBrowserDidRemoveService(NetServiceBrowser& browser,
                                           const std::shared_ptr<NetService>& service,
                                           bool moreComing) override;

private:
    friend void* timecodeNotifyThread(void* receiver);
    friend void* timecodeReceiverThread(void* receiver);

    void _setupSendSocket();
    void _startBonjour();
    void _timecodeNotifyThread();
    void _timecodeReceiverThread();
    /// Announces subscription `index` as `base` + `index`; base and index come
    /// from one look at the subscriptions, so a number never pairs one
    /// source's position with a base that moved since.
    void _sendListenMessage(const NetService& service, int index, int32_t base);
    /// Notify thread: false once the destructor has begun.
    bool sleepOneSecond();

    /// Held for each timecode() call and by setDelegate, which so waits a call out.
    std::mutex delegateMutex_;
    TimecodeReceiverDelegate* _delegate = nullptr;  ///< written on the main thread only
    std::unique_ptr<NetServiceBrowser> browser;
    std::vector<std::shared_ptr<NetService>> services;  ///< main thread only

    mutable std::mutex subscriptionsMutex_;  ///< guards subscribedServices and myUid
    std::vector<std::shared_ptr<NetService>> subscribedServices;
    int fd = -1;
    pthread_t myNotifyThread{};
    int32_t myUid;
    pthread_t myThread{};
    bool notifyStarted_ = false;
    bool receiverStarted_ = false;

    std::mutex stopMutex_;  ///< with stopWake_, ends the notify thread's pause early
    std::condition_variable stopWake_;
    std::atomic<bool> stopping_{false};
};

/// The notify thread's entry: sends the subscription messages until the end.
void* timecodeNotifyThread(void* receiver);
/// The receiver thread's entry: reads timecode messages until a receive fails.
void* timecodeReceiverThread(void* receiver);
