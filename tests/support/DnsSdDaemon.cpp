#include "tests/support/DnsSdDaemon.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const char* const kPidFile = "/run/avahi-daemon/pid";
const char* const kLockFile = "/tmp/mirel-dnssd.lock";

const char* const kBusConfig =
    R"(<busconfig>
  <type>system</type>
  <listen>unix:path=@SOCKET@</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_type="method_call"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
)";

// Loopback and IPv4 only, nothing reaching past this machine: wide-area browsing would ask the
// configured name server.
const char* const kAvahiConfig = R"([server]
host-name=mirel-test
allow-interfaces=lo
use-ipv6=no
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
publish-domain=no
publish-resolv-conf-dns-servers=no
)";

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// Polls `done` until it holds; false once `limit` has passed.
bool waitUntil(const std::function<bool()>& done, Clock::duration limit) {
    const auto end = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}

}  // namespace

DnsSdDaemon::DnsSdDaemon() {
    if (folder_.path().empty()) {
        fail("cannot make a folder for the bus");
        return;
    }
    // avahi-daemon drops root before it connects to the bus socket in here.
    chmod(folder_.path().c_str(), 0755);
    const std::string socket = folder_ / "system_bus_socket";
    std::string bus = kBusConfig;
    writeFile(folder_ / "bus.conf", bus.replace(bus.find("@SOCKET@"), 8, socket));
    writeFile(folder_ / "avahi-daemon.conf", kAvahiConfig);
    busAddress_ = "unix:path=" + socket;
    setenv("DBUS_SYSTEM_BUS_ADDRESS", busAddress_.c_str(), 1);
}

DnsSdDaemon::~DnsSdDaemon() {
    end(avahiPid_, SIGTERM);
    end(busPid_, SIGTERM);
    if (lockFd_ >= 0) close(lockFd_);
}

bool DnsSdDaemon::restart() {
    end(avahiPid_, SIGTERM);
    return startAvahi();
}

bool DnsSdDaemon::fail(const std::string& why) {
    error_ = why;
    return false;
}

// Starts `argv` with its output in `log`; fails with that output unless it shows `readyText`
// in time. Generous: the daemon needs about two and a half seconds on a quiet machine.
bool DnsSdDaemon::launch(pid_t& pid, const char* const argv[], const std::string& log,
                         const std::string& readyText) {
    writeFile(log, "");  // not ready on the word of a process that ran before
    const pid_t parent = getpid();
    pid = fork();
    if (pid == 0) {
        // Nothing but async-signal-safe calls until exec.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(127);
        // Should an open fail, dup2 does too and the stream stays the test's.
        const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        dup2(out, STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
        dup2(open("/dev/null", O_RDONLY | O_CLOEXEC), STDIN_FILENO);
        execv(argv[0], const_cast<char* const*>(argv));
        _exit(127);
    }
    if (pid < 0) {
        pid = 0;
        return fail(std::string("cannot start ") + argv[0]);
    }
    bool exited = false;
    const auto ready = [&] { return readFile(log).find(readyText) != std::string::npos; };
    if (waitUntil([&] { return (exited = waitpid(pid, nullptr, WNOHANG) != 0) || ready(); }, 20s) &&
        !exited)
        return true;
    if (exited) pid = 0;
    return fail(std::string(argv[0]) + (exited ? " exited: " : " is not ready: ") + readFile(log));
}

// A hang here becomes the test's timeout.
void DnsSdDaemon::end(pid_t& pid, int signal) {
    if (pid <= 0) return;
    kill(pid, signal);
    waitpid(pid, nullptr, 0);
    pid = 0;
}

bool DnsSdDaemon::startBus() {
    if (busPid_ > 0) return true;
    if (folder_.path().empty()) return false;
    const std::string config = "--config-file=" + folder_ / "bus.conf";
    // It prints its address once it listens.
    const char* const argv[] = {"/usr/bin/dbus-daemon", config.c_str(),    "--nofork",
                                "--nopidfile",          "--print-address", nullptr};
    return launch(busPid_, argv, folder_ / "bus.log", busAddress_ + ",guid=");
}

bool DnsSdDaemon::startAvahi() {
    if (avahiPid_ > 0) return true;
    if (busPid_ <= 0) return fail("start the bus first");
    if (!lockNamespace() || !clearPidFile()) return false;
    const std::string config = folder_ / "avahi-daemon.conf";
    // No chroot: one process, which ends as the test asks. It logs the line once it runs, its
    // host name registered and its bus name taken.
    const char* const argv[] = {
        "/usr/sbin/avahi-daemon", "-f",   config.c_str(), "--no-rlimits", "--no-chroot",
        "--no-proc-title",        nullptr};
    return launch(avahiPid_, argv, folder_ / "avahi.log", "Server startup complete.");
}

bool DnsSdDaemon::lockNamespace() {
    if (lockFd_ >= 0) return true;
    lockFd_ = open(kLockFile, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lockFd_ < 0) return fail(std::string("cannot open ") + kLockFile);
    // Another test's daemon may hold the lock for a minute.
    if (waitUntil([this] { return flock(lockFd_, LOCK_EX | LOCK_NB) == 0; }, 100s)) return true;
    close(lockFd_);
    lockFd_ = -1;
    return fail("another test's avahi-daemon kept the lock on " + std::string(kLockFile));
}

// A daemon refuses to start while its PID file names a live process; a dead one's is stale. We
// hold the lock, so a live one is not a test's, or one whose test crashed and ends with its bus.
bool DnsSdDaemon::clearPidFile() {
    const pid_t pid = pid_t(std::atoi(readFile(kPidFile).c_str()));
    const auto alive = [pid] {
        const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
        return pid > 0 && stat.find("(avahi-daemon) ") != std::string::npos &&
               stat.find(") Z ") == std::string::npos;
    };
    if (!waitUntil([&] { return !alive(); }, 10s))
        return fail("an avahi-daemon runs as PID " + std::to_string(pid) +
                    "; stop it, or run the tests in a network namespace of their own");
    unlink(kPidFile);
    return true;
}
