#include "tests/support/DnsSdDaemon.h"

#include <fcntl.h>
#include <glib.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// Generous: the daemon needs about two and a half seconds on a quiet machine.
constexpr auto kStartDeadline = std::chrono::seconds(20);
constexpr auto kStopDeadline = std::chrono::seconds(10);
constexpr auto kLockDeadline = std::chrono::seconds(100);
constexpr auto kPoll = std::chrono::milliseconds(50);

const char* const kPidFile = "/run/avahi-daemon/pid";
const char* const kLockFile = "/tmp/mirel-dnssd.lock";
// Every fixture's folder starts so; it marks daemons started by a fixture.
const char* const kFolderPrefix = "mirel-dnssd-";

const char* const kBusConfig =
    R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
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

// Loopback only, IPv4 only, and nothing that would reach past this machine:
// wide-area browsing would ask the configured name server.
const char* const kAvahiConfig = R"([server]
host-name=mirel-test
allow-interfaces=lo
use-ipv4=yes
use-ipv6=no
enable-dbus=yes
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
publish-domain=no
publish-resolv-conf-dns-servers=no
[reflector]
enable-reflector=no
)";

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string replaced(std::string text, const std::string& what, const std::string& with) {
    text.replace(text.find(what), what.size(), with);
    return text;
}

}  // namespace

DnsSdDaemon::DnsSdDaemon() {
    std::string pattern = (std::filesystem::temp_directory_path() / kFolderPrefix).string();
    pattern += "XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        fail("cannot make a folder for the bus");
        return;
    }
    folder_ = pattern;
    // avahi-daemon drops root before it connects to the bus socket in here.
    chmod(folder_.c_str(), 0755);
    const std::string socket = folder_ + "/system_bus_socket";
    writeFile(folder_ + "/bus.conf", replaced(kBusConfig, "@SOCKET@", socket));
    writeFile(folder_ + "/avahi-daemon.conf", kAvahiConfig);
    busAddress_ = "unix:path=" + socket;
    setenv("DBUS_SYSTEM_BUS_ADDRESS", busAddress_.c_str(), 1);
}

DnsSdDaemon::~DnsSdDaemon() {
    stop();
    if (lockFd_ >= 0) close(lockFd_);
    std::error_code ignored;
    if (!folder_.empty()) std::filesystem::remove_all(folder_, ignored);
}

bool DnsSdDaemon::start() {
    return startBus() && startAvahi();
}

void DnsSdDaemon::stop() {
    stopAvahi();
    stopBus();
}

bool DnsSdDaemon::restart() {
    stopAvahi();
    return startAvahi();
}

bool DnsSdDaemon::fail(const std::string& why) {
    error_ = why;
    return false;
}

pid_t DnsSdDaemon::spawn(const char* const argv[], const std::string& logFile) {
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid != 0) return pid;
    // The child: nothing but async-signal-safe calls until exec.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    const int log = open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const int nothing = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (log >= 0) {
        dup2(log, STDOUT_FILENO);
        dup2(log, STDERR_FILENO);
    }
    if (nothing >= 0) dup2(nothing, STDIN_FILENO);
    execv(argv[0], const_cast<char* const*>(argv));
    _exit(127);
}

void DnsSdDaemon::end(pid_t& pid, int signal) {
    if (pid <= 0) return;
    kill(pid, signal);
    const auto deadline = Clock::now() + kStopDeadline;
    while (waitpid(pid, nullptr, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            break;
        }
        std::this_thread::sleep_for(kPoll);
    }
    pid = 0;
}

// ---- the bus

bool DnsSdDaemon::startBus() {
    if (busPid_ > 0) return true;
    if (folder_.empty()) return false;
    const std::string config = "--config-file=" + folder_ + "/bus.conf";
    const char* const argv[] = {"/usr/bin/dbus-daemon", config.c_str(), "--nofork", "--nopidfile",
                                nullptr};
    busPid_ = spawn(argv, folder_ + "/bus.log");
    if (busPid_ < 0) return fail("cannot start dbus-daemon");
    const auto deadline = Clock::now() + kStartDeadline;
    while (!busAnswers()) {
        if (waitpid(busPid_, nullptr, WNOHANG) != 0) {
            busPid_ = 0;
            return fail("dbus-daemon exited: " + readFile(folder_ + "/bus.log"));
        }
        if (Clock::now() > deadline) return fail("dbus-daemon does not listen");
        std::this_thread::sleep_for(kPoll);
    }
    return true;
}

bool DnsSdDaemon::busAnswers() const {
    const std::string path = folder_ + "/system_bus_socket";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool answers =
        fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (fd >= 0) close(fd);
    return answers;
}

void DnsSdDaemon::stopBus() {
    end(busPid_, SIGTERM);
}

// ---- the daemon

bool DnsSdDaemon::startAvahi() {
    if (avahiPid_ > 0) return true;
    if (busPid_ <= 0) return fail("start the bus first");
    if (!lockNamespace() || !clearPidFile()) return false;
    const std::string config = folder_ + "/avahi-daemon.conf";
    // No chroot and no process title: one process whose command line still
    // names our folder, so that a leftover is recognised as ours.
    const char* const argv[] = {
        "/usr/sbin/avahi-daemon", "-f",   config.c_str(), "--no-rlimits", "--no-chroot",
        "--no-proc-title",        nullptr};
    avahiPid_ = spawn(argv, folder_ + "/avahi.log");
    if (avahiPid_ < 0) return fail("cannot start avahi-daemon");
    const auto deadline = Clock::now() + kStartDeadline;
    while (!avahiIsRunning()) {
        if (waitpid(avahiPid_, nullptr, WNOHANG) != 0) {
            avahiPid_ = 0;
            return fail("avahi-daemon exited: " + readFile(folder_ + "/avahi.log"));
        }
        if (Clock::now() > deadline)
            return fail("avahi-daemon is not running: " + readFile(folder_ + "/avahi.log"));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}

// The daemon's own answer: state 2 is AVAHI_SERVER_RUNNING, host name registered.
bool DnsSdDaemon::avahiIsRunning() {
    const std::string bus = "--bus=" + busAddress_;
    const char* const argv[] = {"/usr/bin/dbus-send",
                                bus.c_str(),
                                "--print-reply",
                                "--reply-timeout=2000",
                                "--dest=org.freedesktop.Avahi",
                                "/",
                                "org.freedesktop.Avahi.Server.GetState",
                                nullptr};
    gchar* out = nullptr;
    gint status = -1;
    const bool ran =
        g_spawn_sync(nullptr, const_cast<gchar**>(argv), nullptr, G_SPAWN_STDERR_TO_DEV_NULL,
                     nullptr, nullptr, &out, nullptr, &status, nullptr);
    const bool running = ran && out != nullptr && std::strstr(out, "int32 2") != nullptr;
    g_free(out);
    return running;
}

void DnsSdDaemon::stopAvahi() {
    end(avahiPid_, SIGTERM);
}

void DnsSdDaemon::killAvahi() {
    end(avahiPid_, SIGKILL);
}

bool DnsSdDaemon::lockNamespace() {
    if (lockFd_ >= 0) return true;
    lockFd_ = open(kLockFile, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lockFd_ < 0) return fail(std::string("cannot open ") + kLockFile);
    const auto deadline = Clock::now() + kLockDeadline;
    while (flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
        if (Clock::now() > deadline) {
            close(lockFd_);
            lockFd_ = -1;
            return fail("another test's avahi-daemon kept the lock on " + std::string(kLockFile));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return true;
}

// A daemon refuses to start while the PID file names a live process. The
// file may be stale (its daemon was killed), or name a daemon that a test
// process started and then died without stopping; we hold the lock, so no
// living fixture owns it.
bool DnsSdDaemon::clearPidFile() {
    const std::string text = readFile(kPidFile);
    if (text.empty()) return true;
    const pid_t pid = pid_t(std::atoi(text.c_str()));
    const std::string proc = "/proc/" + std::to_string(pid);
    const bool isAvahi = pid > 0 && readFile(proc + "/comm") == "avahi-daemon\n";
    if (!isAvahi) {
        unlink(kPidFile);
        return true;
    }
    std::string commandLine = readFile(proc + "/cmdline");
    if (commandLine.find(kFolderPrefix) == std::string::npos)
        return fail("an avahi-daemon not started by a test runs as PID " + std::to_string(pid) +
                    "; stop it, or run the tests in a network namespace of their own");
    kill(pid, SIGTERM);
    const auto deadline = Clock::now() + kStopDeadline;
    while (kill(pid, 0) == 0 && readFile(proc + "/stat").find(" Z ") == std::string::npos) {
        if (Clock::now() > deadline + kStopDeadline)
            return fail("a test's leftover avahi-daemon, PID " + std::to_string(pid) +
                        ", does not stop");
        if (Clock::now() > deadline) kill(pid, SIGKILL);
        std::this_thread::sleep_for(kPoll);
    }
    unlink(kPidFile);
    return true;
}
