#pragma once

#include <netinet/in.h>
#include <pthread.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "decode/SMPTE_tc.h"

class NetService;

/// One slot of the subscriber table.
struct TimecodeSenderClientAddressInfo {
    bool inUse = false;
    sockaddr_in address{};    ///< source address and port of the first subscription datagram
    time_t lastPingTime = 0;  ///< whole seconds; wide, so that 2038 does not expire everyone
    int32_t uid = 0;          ///< number from the latest subscription message
};

// Shares the accepted timecode with every copy that subscribes to it. Owns one
// UDP socket on a port the system picks, publishes that port over DNS-SD under
// the name the controller gives, reads subscription messages into a table of
// ten subscribers on a listener thread, and sends each live subscriber a
// timecode message for every value handed in.
//
// Thread contract: everything on the main thread, except the listener thread's
// own loop. The subscriber table is the one thing both threads touch; it is
// guarded by tableMutex_, which neither thread holds across a system call.
//
// Set-up failures of the socket end the process with status 1: a copy that
// cannot share must not pretend to.
class TimecodeSender {
public:
    /// Whole seconds since the epoch. Called on the main and the listener thread.
    using Clock = std::function<time_t()>;

    static constexpr int maxTscai = 10;

    /// All slots free, no name, no service, no socket. Tests pass their own clock.
    explicit TimecodeSender(Clock clock = [] { return time(nullptr); });
    /// Stops the listener thread and closes the socket. The system never calls
    /// it (the sender lives until exit), but an owner that does is safe.
    ~TimecodeSender();

    TimecodeSender(const TimecodeSender&) = delete;
    TimecodeSender& operator=(const TimecodeSender&) = delete;

    /// Publishes under this name; the same name again changes nothing. The
    /// first name opens the socket; a later, different one republishes the
    /// same port.
    void setBonjourName(const std::string& name);
    /// Drops subscribers silent for more than 5 whole seconds, then sends the
    /// value to the rest. The caller keeps the record; null sends nothing.
    void sendTimecodeToAllClients(const SMPTE_tc* tc);

    bool isRunning() const;
    int chosenPort() const { return chosenPort_; }
    /// The name the service is published under now: DNS-SD may have given it
    /// another than the one asked for ("… #2"). Nothing before the first name.
    std::optional<std::string> publishedName() const;
    /// Slots in use, without expiring any.
    int clientsCurrentlyConnected() const;

    /// The slot of the live subscriber at this address and port, or -1. Any thread.
    int slotOf(const sockaddr_in& address) const;

private:
    friend void* timecodeListenerRegistrationThread(void* sender);

    void _updateBonjour();
    void _startTimecodeSocket();
    void _timecodeListener();

    // These four expect tableMutex_ to be held.
    int _getClientByAddress(const sockaddr_in& address) const;
    bool _addClient(const sockaddr_in& address, int32_t uid);
    void clientPing(int slot, int32_t uid);
    void expireStaleClients();

    void _sendMessage(const std::string& message,
                      const TimecodeSenderClientAddressInfo& client) const;

    std::optional<std::string> bonjourName;
    std::shared_ptr<NetService> netService;
    uint16_t chosenPort_ = 0;
    pthread_t myThread{};
    bool threadStarted_ = false;
    sockaddr_in addr{};
    int fd = -1;

    Clock clock_;
    std::atomic<bool> stopping_{false};  ///< tells the listener a wake-up is the destructor's

    mutable std::mutex tableMutex_;  ///< guards tscai
    std::array<TimecodeSenderClientAddressInfo, maxTscai> tscai{};
};

/// The listener thread's entry: runs the sender's listener loop until it ends.
void* timecodeListenerRegistrationThread(void* sender);
