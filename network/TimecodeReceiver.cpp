#include "network/TimecodeReceiver.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <random>
#include <span>

#include "network/DatagramLoop.h"
#include "network/SubscriptionMessage.h"
#include "network/TimecodeMessage.h"
#include "platform/Log.h"

namespace {

constexpr const char* kServiceType = "_mirel._udp.";
constexpr double kResolveTimeoutSeconds = 5.0;

}  // namespace

int TimecodeReceiver::randomNumberBase() {
    std::random_device entropy;
    return std::uniform_int_distribution<int>(0, 499)(entropy);
}

TimecodeReceiver::TimecodeReceiver(int numberBase) : myUid(numberBase) {
    _setupSendSocket();
    _startBonjour();
}

TimecodeReceiver::~TimecodeReceiver() {
    if (browser) {
        browser->setDelegate(nullptr);
        browser->stop();
    }
    {
        std::lock_guard lock(stopMutex_);
        stopping_.store(true);
    }
    stopWake_.notify_all();
    // A blocked receive on a shut-down socket returns at once.
    if (fd >= 0) shutdown(fd, SHUT_RDWR);
    if (notifyStarted_) pthread_join(myNotifyThread, nullptr);
    if (receiverStarted_) pthread_join(myThread, nullptr);
    if (fd >= 0) close(fd);
}

void TimecodeReceiver::_setupSendSocket() {
    fd = socket(AF_INET, SOCK_DGRAM, 0);
    // Without a socket we carry on: nothing is sent and the receiver thread
    // ends at its first receive, but the visible list still works.
    if (fd < 0) perror("socket");
    const int on = 1;
    if (fd >= 0 && setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &on, sizeof on) < 0) {
        perror("Loopback");
    }
    notifyStarted_ = pthread_create(&myNotifyThread, nullptr, timecodeNotifyThread, this) == 0;
    receiverStarted_ = pthread_create(&myThread, nullptr, timecodeReceiverThread, this) == 0;
    if (!notifyStarted_ || !receiverStarted_)
        Log::line("Could not start the network timecode threads");
}

void TimecodeReceiver::_startBonjour() {
    browser = netServices().makeBrowser();
    browser->setDelegate(this);
    browser->searchForServicesOfType(kServiceType, "");
}

void TimecodeReceiver::setDelegate(TimecodeReceiverDelegate* delegate) {
    std::lock_guard lock(delegateMutex_);
    _delegate = delegate;
}

std::shared_ptr<NetService> TimecodeReceiver::getSourceForUrl(const std::string& name) const {
    for (const auto& service : services) {
        if (service->name() == name) return service;
    }
    return nullptr;
}

void TimecodeReceiver::subscribeToTimeSource(const std::shared_ptr<NetService>& service) {
    if (!service) return;
    std::lock_guard lock(subscriptionsMutex_);
    subscribedServices.push_back(service);
}

void TimecodeReceiver::unsubscribeToTimeSource(const std::shared_ptr<NetService>& service) {
    std::lock_guard lock(subscriptionsMutex_);
    myUid += int32_t(subscribedServices.size()) + 2;
    std::erase(subscribedServices, service);
}

int TimecodeReceiver::subscribedServicesCount() const {
    std::lock_guard lock(subscriptionsMutex_);
    return int(subscribedServices.size());
}

void TimecodeReceiver::netServiceBrowserDidFindService(NetServiceBrowser&,
                                                       const std::shared_ptr<NetService>& service,
                                                       bool moreComing) {
    services.push_back(service);
    // Not observed: the notify thread skips the source until its port is known.
    service->resolveWithTimeout(kResolveTimeoutSeconds);
    // Only this thread changes the delegate, so it reads it without the lock,
    // and a delegate that calls setDelegate from here cannot deadlock.
    if (_delegate) _delegate->timecodeReceiverDidFindService(*this, service, moreComing);
}

void TimecodeReceiver::netServiceBrowserDidRemoveService(NetServiceBrowser&,
                                                         const std::shared_ptr<NetService>& service,
                                                         bool moreComing) {
    // A subscribed source stays subscribed: the controller decides when to leave it.
    std::erase(services, service);
    if (_delegate) _delegate->timecodeReceiverDidRemoveService(*this, service, moreComing);
}

void* timecodeNotifyThread(void* receiver) {
    static_cast<TimecodeReceiver*>(receiver)->_timecodeNotifyThread();
    return nullptr;
}

void* timecodeReceiverThread(void* receiver) {
    static_cast<TimecodeReceiver*>(receiver)->_timecodeReceiverThread();
    return nullptr;
}

bool TimecodeReceiver::sleepOneSecond() {
    std::unique_lock lock(stopMutex_);
    return !stopWake_.wait_for(lock, std::chrono::seconds(1), [this] { return stopping_.load(); });
}

void TimecodeReceiver::_timecodeNotifyThread() {
    while (sleepOneSecond()) {
        std::vector<std::shared_ptr<NetService>> subscribed;
        int32_t base = 0;
        {
            std::lock_guard lock(subscriptionsMutex_);
            subscribed = subscribedServices;
            base = myUid;
        }
        for (std::size_t i = 0; i < subscribed.size(); ++i) {
            _sendListenMessage(*subscribed[i], int(i), base);
        }
    }
}

void TimecodeReceiver::_sendListenMessage(const NetService& service, int index, int32_t base) {
    if (service.port() == -1) return;
    const std::string message = makeSubscriptionMessage(base + index);
    const std::vector<sockaddr_in> addresses = service.addresses();
    if (addresses.empty()) {
        Log::line("No addresses avaliable");
        return;
    }
    // Unchecked: a lost message is made good by the next one, a second later.
    sendto(fd, message.data(), message.size(), 0,
           reinterpret_cast<const sockaddr*>(&addresses.front()), sizeof(sockaddr_in));
}

void TimecodeReceiver::_timecodeReceiverThread() {
    receiveDatagrams(fd, stopping_, [this](std::span<const char> datagram, const sockaddr_in&) {
        const auto message = readTimecodeMessage(datagram);
        if (!message) return;
        int64_t index = 0;
        {
            std::lock_guard lock(subscriptionsMutex_);
            index = int64_t(message->number) - myUid;
            if (index < 0 || index >= int64_t(subscribedServices.size())) return;
        }
        auto tc = std::make_unique<SMPTE_tc>(message->timecode);
        tc->myId = int32_t(index);
        std::lock_guard lock(delegateMutex_);
        if (_delegate) _delegate->timecode(std::move(tc));
    });
}
