#include "network/TimecodeSender.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <utility>

#include "network/DatagramLoop.h"
#include "network/SubscriptionMessage.h"
#include "network/TimecodeMessage.h"
#include "platform/Log.h"
#include "platform/NetService.h"

namespace {

constexpr const char* kServiceType = "_mirel._udp.";
constexpr time_t kFreshSeconds = 5;

[[noreturn]] void failSetUp(const char* what) {
    perror(what);
    exit(1);
}

bool sameSubscriber(const sockaddr_in& a, const sockaddr_in& b) {
    return a.sin_family == b.sin_family && a.sin_port == b.sin_port &&
           a.sin_addr.s_addr == b.sin_addr.s_addr;
}

}  // namespace

TimecodeSender::TimecodeSender(Clock clock) : clock_(std::move(clock)) {}

TimecodeSender::~TimecodeSender() {
    if (netService) netService->stop();
    if (threadStarted_) {
        stopping_.store(true);
        // A blocked receive on a shut-down socket returns at once.
        shutdown(fd, SHUT_RDWR);
        pthread_join(myThread, nullptr);
    }
    if (fd >= 0) close(fd);
}

void TimecodeSender::setBonjourName(const std::string& name) {
    if (bonjourName == name) return;
    bonjourName = name;
    _updateBonjour();
}

void TimecodeSender::_updateBonjour() {
    if (netService) {
        netService->stop();
        netService.reset();
    }
    if (!bonjourName) return;
    // A new name keeps the socket: opening another would leave the first one's
    // listener thread filling the table from a port nobody is told about.
    if (fd < 0) _startTimecodeSocket();
    netService = netServices().makeService("", kServiceType, *bonjourName, chosenPort_);
    netService->publish();
}

void TimecodeSender::_startTimecodeSocket() {
    fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) failSetUp("socket");
    const int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0) {
        failSetUp("Reusing ADDR failed");
    }
    addr = sockaddr_in{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(chosenPort_);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) < 0) failSetUp("bind");
    socklen_t length = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
    chosenPort_ = ntohs(addr.sin_port);
    Log::line("Listening on port #%d", int(chosenPort_));
    threadStarted_ =
        pthread_create(&myThread, nullptr, timecodeListenerRegistrationThread, this) == 0;
    if (!threadStarted_) Log::line("No thread to take subscriptions on port #%d", int(chosenPort_));
}

void* timecodeListenerRegistrationThread(void* sender) {
    static_cast<TimecodeSender*>(sender)->_timecodeListener();
    return nullptr;
}

void TimecodeSender::_timecodeListener() {
    receiveDatagrams(fd, stopping_,
                     [this](std::span<const char> datagram, const sockaddr_in& from) {
                         const auto uid = readSubscriptionMessage(datagram);
                         if (!uid) return;
                         std::lock_guard lock(tableMutex_);
                         const int slot = _getClientByAddress(from);
                         if (slot >= 0) {
                             clientPing(slot, *uid);
                         } else {
                             _addClient(from, *uid);
                         }
                     });
}

int TimecodeSender::_getClientByAddress(const sockaddr_in& address) const {
    for (int i = 0; i < maxTscai; ++i) {
        if (tscai[i].inUse && sameSubscriber(tscai[i].address, address)) return i;
    }
    return -1;
}

bool TimecodeSender::_addClient(const sockaddr_in& address, int32_t uid) {
    for (TimecodeSenderClientAddressInfo& slot : tscai) {
        if (slot.inUse) continue;
        slot.address = address;
        slot.inUse = true;
        slot.lastPingTime = clock_();
        slot.uid = uid;
        return true;
    }
    // Full: the subscriber tries again with its next message, a second later.
    return false;
}

void TimecodeSender::clientPing(int slot, int32_t uid) {
    tscai[slot].lastPingTime = clock_();
    tscai[slot].uid = uid;
}

void TimecodeSender::expireStaleClients() {
    const time_t oldestFresh = clock_() - kFreshSeconds;
    for (TimecodeSenderClientAddressInfo& slot : tscai) {
        if (slot.lastPingTime < oldestFresh) slot.inUse = false;
    }
}

void TimecodeSender::sendTimecodeToAllClients(const SMPTE_tc* tc) {
    // Copied out so that the listener thread never waits on our sends.
    std::array<TimecodeSenderClientAddressInfo, maxTscai> live;
    int liveCount = 0;
    {
        std::lock_guard lock(tableMutex_);
        expireStaleClients();
        for (const TimecodeSenderClientAddressInfo& slot : tscai) {
            if (slot.inUse) live[liveCount++] = slot;
        }
    }
    if (tc == nullptr) return;
    const std::string name = bonjourName.value_or("");
    for (int i = 0; i < liveCount; ++i) {
        _sendMessage(makeTimecodeMessage(live[i].uid, name, *tc), live[i]);
    }
}

void TimecodeSender::_sendMessage(const std::string& message,
                                  const TimecodeSenderClientAddressInfo& client) const {
    // A lost datagram costs one frame; the subscriber ages out if it is gone.
    sendto(fd, message.data(), message.size(), 0,
           reinterpret_cast<const sockaddr*>(&client.address), sizeof client.address);
}

std::optional<std::string> TimecodeSender::publishedName() const {
    if (!netService) return std::nullopt;
    return netService->name();
}

bool TimecodeSender::isRunning() const {
    return netService != nullptr && chosenPort_ != 0;
}

int TimecodeSender::clientsCurrentlyConnected() const {
    std::lock_guard lock(tableMutex_);
    int count = 0;
    for (const TimecodeSenderClientAddressInfo& slot : tscai) count += slot.inUse ? 1 : 0;
    return count;
}

int TimecodeSender::slotOf(const sockaddr_in& address) const {
    std::lock_guard lock(tableMutex_);
    return _getClientByAddress(address);
}
