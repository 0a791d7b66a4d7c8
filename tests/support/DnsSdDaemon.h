#pragma once

#include <sys/types.h>

#include <string>

// A private D-Bus system bus and an avahi-daemon confined to the loopback
// interface, for tests that publish, browse and resolve for real on one
// machine. Needs root (avahi-daemon starts as root and drops to "avahi").
//
// Construction picks a fresh folder for the bus socket and the configuration
// and points DBUS_SYSTEM_BUS_ADDRESS at it, for this process and every child
// it starts afterwards; nothing runs yet. Make the fixture before anything in
// the process starts threads or DNS-SD clients.
//
// Only one avahi-daemon can run in a network namespace (its PID file is
// fixed), so the first startAvahi() takes a machine-wide lock that is held
// until destruction: fixtures in other processes wait for it. A PID file left
// by a daemon that died is removed; a daemon left running by a test process
// that died is stopped. Daemons are stopped by the PIDs recorded here, and die
// with the test process should it crash (the bus by a parent-death signal, the
// daemon when its bus goes).
//
// Thread contract: one thread, the one that made it.
class DnsSdDaemon {
public:
    DnsSdDaemon();
    ~DnsSdDaemon();

    DnsSdDaemon(const DnsSdDaemon&) = delete;
    DnsSdDaemon& operator=(const DnsSdDaemon&) = delete;

    /// The bus and then the daemon; true once the daemon reports itself running.
    bool start();
    bool startBus();
    bool startAvahi();
    /// The daemon, then the bus.
    void stop();
    /// The daemon ends as in a clean shutdown.
    void stopAvahi();
    /// The daemon dies as in a crash, leaving its PID file behind.
    void killAvahi();
    void stopBus();
    /// Stops the daemon and starts it again; the bus stays.
    bool restart();

    /// "unix:path=…", as set in DBUS_SYSTEM_BUS_ADDRESS.
    const std::string& busAddress() const { return busAddress_; }
    /// Why the last start failed, with the daemon's own output where it has any.
    const std::string& error() const { return error_; }

private:
    pid_t spawn(const char* const argv[], const std::string& logFile);
    bool fail(const std::string& why);
    bool lockNamespace();
    bool clearPidFile();
    bool avahiIsRunning();
    bool busAnswers() const;
    static void end(pid_t& pid, int signal);

    std::string folder_;
    std::string busAddress_;
    std::string error_;
    pid_t busPid_ = 0;
    pid_t avahiPid_ = 0;
    int lockFd_ = -1;
};
