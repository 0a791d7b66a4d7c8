#pragma once

#include <sys/types.h>

#include <csignal>
#include <string>

#include "tests/platform/TempFolder.h"

// A private D-Bus system bus and a loopback-only avahi-daemon; needs root (the daemon drops to
// "avahi"). Construction points DBUS_SYSTEM_BUS_ADDRESS, for this process and later children, at
// a fresh folder: make it before any thread or DNS-SD client exists. One avahi-daemon runs per
// network namespace (fixed PID file): the first startAvahi() takes a machine-wide lock until
// destruction. A crashed test's bus dies by a parent-death signal, the daemon with it. One thread.
class DnsSdDaemon {
public:
    DnsSdDaemon();
    ~DnsSdDaemon();
    DnsSdDaemon(const DnsSdDaemon&) = delete;
    DnsSdDaemon& operator=(const DnsSdDaemon&) = delete;

    /// The bus and then the daemon; true once the daemon reports itself running.
    bool start() { return startBus() && startAvahi(); }
    bool startBus();
    bool startAvahi();
    void stopBus() { end(busPid_, SIGTERM); }
    /// The daemon dies as in a crash, leaving its PID file behind.
    void killAvahi() { end(avahiPid_, SIGKILL); }
    /// Stops the daemon cleanly and starts it again; the bus stays.
    bool restart();
    /// Why the last start failed, with the daemon's own output where it has any.
    const std::string& error() const { return error_; }

private:
    bool launch(pid_t& pid, const char* const argv[], const std::string& log,
                const std::string& readyText);
    bool fail(const std::string& why);
    bool lockNamespace();
    bool clearPidFile();
    static void end(pid_t& pid, int signal);

    TempFolder folder_;
    std::string busAddress_;
    std::string error_;
    pid_t busPid_ = 0;
    pid_t avahiPid_ = 0;
    int lockFd_ = -1;
};
