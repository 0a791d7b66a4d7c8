// The browser clock under load: the real program (mirel-decode --live --share
// --web PORT) on a virtual card playing 30 fps LTC, with 0, 50 or 200
// WebSocket clients of our own on loopback. For each number of clients, after
// 2 s to settle, over 10 s: the CPU of the whole serving process as a share of
// one core, the states each client got a second (the fewest and the median),
// and the delay from a value's acceptance ("t" in the state) to its arrival at
// a client. "t" is in whole milliseconds, so that delay reads up to 1 ms long.
// Beside it, the capture path: values accepted a second, the delay from the
// card's capture of a frame's last sample to the program's line for it (read
// here from a pipe) and to its "t", and the longest pause between lines. The
// same program without --web, no clients, is the baseline.
//
// With --app, the application too, sharing off and then on with each number
// of clients; there the pause is the longest its clock page, read every 50 ms,
// went without a new value. It needs an X display:
//
//   xvfb-run -a build/release/bench/mirel-web-clock-bench [--app] [--seconds S] [CLIENTS...]
//
// The clients run in this process, on one thread, and share the machine with
// the program: this process's own CPU is printed too.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench/ProgramCopy.h"
#include "decode/TimecodeListener.h"
#include "tools/LtcSignal.h"
#include "tools/virtual-card/VirtualCard.h"

using namespace std::chrono_literals;

namespace {

constexpr int kRate = 48000;
constexpr int kFps = 30;
constexpr int kLoopFrames = 60 * kFps;  // a minute of 10:00:00:00 onwards, over and over
constexpr int kFirstHour = 10;
constexpr const char* kDevice = "ltc_web";

int64_t monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

int64_t realtimeUs() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return int64_t(now.tv_sec) * 1'000'000 + now.tv_nsec / 1000;
}

double ownCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Spread {
    double median = 0, p95 = 0, max = 0;
    bool any = false;
};

Spread spreadOf(std::vector<double> values) {
    Spread s;
    if (values.empty()) return s;
    std::sort(values.begin(), values.end());
    s.median = values[values.size() / 2];
    s.p95 = values[std::min(values.size() - 1, values.size() * 95 / 100)];
    s.max = values.back();
    s.any = true;
    return s;
}

// ---------------------------------------------------------------------------
// The program, its accepted lines timed as they arrive on its standard output.

class Program {
public:
    Program(const std::string& dir, const std::string& alsaConfig, std::optional<int> webPort) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return;
        const std::string err = dir + "/err" + (webPort ? "-web" : "");
        const std::string port = webPort ? std::to_string(*webPort) : "";
        pid_ = fork();
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            dup2(out[1], 1);
            const int errFd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (errFd >= 0) dup2(errFd, 2);
            close(out[0]);
            close(out[1]);
            setenv("ALSA_CONFIG_PATH", alsaConfig.c_str(), 1);
            setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
            if (webPort) {
                execl(MIREL_DECODE, MIREL_DECODE, "--live", "--share", "--web", port.c_str(),
                      nullptr);
            } else {
                execl(MIREL_DECODE, MIREL_DECODE, "--live", "--share", nullptr);
            }
            _exit(127);
        }
        close(out[1]);
        errPath_ = err;
        reader_ = std::thread([this, fd = out[0]] { readLines(fd); });
    }

    ~Program() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status = 0;
            for (int i = 0; i < 50 && waitpid(pid_, &status, WNOHANG) == 0; ++i)
                std::this_thread::sleep_for(100ms);
            if (waitpid(pid_, &status, WNOHANG) == 0) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
            }
        }
        if (reader_.joinable()) reader_.join();  // the pipe closes with the program
    }

    pid_t pid() const { return pid_; }
    std::string errors() const { return slurp(errPath_); }

    struct Accepted {
        int64_t atNs;  ///< monotonic, when the line arrived here
        int frame;     ///< in the loop
    };

    size_t acceptedCount() {
        const std::lock_guard<std::mutex> hold(mutex_);
        return total_;
    }

    /// The lines since the last call.
    std::vector<Accepted> take() {
        const std::lock_guard<std::mutex> hold(mutex_);
        return std::exchange(accepted_, {});
    }

private:
    void readLines(int fd) {
        std::string pending;
        char chunk[4096];
        for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;) {
            const int64_t now = monotonicNs();
            pending.append(chunk, size_t(n));
            for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
                int id = 0, h = 0, m = 0, s = 0, f = 0;
                if (std::sscanf(pending.c_str(), "accepted\t%d\t%d:%d:%d:%d", &id, &h, &m, &s,
                                &f) == 5 &&
                    h == kFirstHour) {
                    const std::lock_guard<std::mutex> hold(mutex_);
                    accepted_.push_back({now, ((m * 60 + s) * kFps + f) % kLoopFrames});
                    ++total_;
                }
                pending.erase(0, end + 1);
            }
        }
        close(fd);
    }

    pid_t pid_ = -1;
    std::string errPath_;
    std::thread reader_;
    std::mutex mutex_;
    std::vector<Accepted> accepted_;  ///< guarded by mutex_
    size_t total_ = 0;                ///< guarded by mutex_
};

// ---------------------------------------------------------------------------
// WebSocket clients: a minimal handshake, then frames read on one epoll thread.

int connectClient(int port, std::string& leftover) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval timeout{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // Arrival is when the kernel took the bytes in, not when this busy
    // process's reader got round to them.
    setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
    const std::string request = "GET /socket HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                                "Sec-WebSocket-Version: 13\r\n\r\n";
    std::string reply;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size())) {
        close(fd);
        return -1;
    }
    char chunk[1024];
    size_t headerEnd = std::string::npos;
    while ((headerEnd = reply.find("\r\n\r\n")) == std::string::npos && reply.size() < 8192) {
        const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) break;
        reply.append(chunk, size_t(n));
    }
    if (headerEnd == std::string::npos || reply.rfind("HTTP/1.1 101", 0) != 0) {
        close(fd);
        return -1;
    }
    leftover = reply.substr(headerEnd + 4);  // the first state may come with the answer
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

// A client's frame to the server is masked; a zero mask leaves it readable.
void sendFrame(int fd, int opcode, const std::string& payload) {
    std::string frame;
    frame += char(0x80 | opcode);
    frame += char(0x80 | std::min<size_t>(payload.size(), 125));
    frame.append(4, '\0');
    frame += payload.substr(0, 125);
    send(fd, frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

class Clients {
public:
    Clients(int port, int count) : epoll_(epoll_create1(EPOLL_CLOEXEC)) {
        for (int i = 0; i < count; ++i) {
            std::string leftover;
            const int fd = connectClient(port, leftover);
            if (fd < 0) {
                ++refused_;
                continue;
            }
            clients_.push_back({fd, std::move(leftover), {}});
        }
        for (size_t i = 0; i < clients_.size(); ++i) {
            epoll_event event{};
            event.events = EPOLLIN;
            event.data.u64 = i;
            epoll_ctl(epoll_, EPOLL_CTL_ADD, clients_[i].fd, &event);
        }
        thread_ = std::thread([this] { run(); });
    }

    ~Clients() {
        stop_ = true;
        thread_.join();
        for (Client& client : clients_) {
            if (client.fd < 0) continue;
            sendFrame(client.fd, 0x8, std::string("\x03\xe9", 2));  // going away
            close(client.fd);
        }
        close(epoll_);
    }

    int connected() const { return int(clients_.size()); }
    int refused() const { return refused_; }

    struct Window {
        std::vector<size_t> perClient;                  ///< states each client got
        std::vector<double> delaysMs;                   ///< arrival minus "t"
        std::vector<std::pair<int64_t, int>> accepted;  ///< "t" in us, loop frame; one client's
        int closed = 0;                                 ///< by the server, during the window
    };

    void startWindow() {
        const std::lock_guard<std::mutex> hold(mutex_);
        window_ = Window{};
        window_.perClient.assign(clients_.size(), 0);
        closedAtStart_ = closed_;
        recording_ = true;
    }

    Window endWindow() {
        const std::lock_guard<std::mutex> hold(mutex_);
        recording_ = false;
        window_.closed = closed_ - closedAtStart_;
        return std::exchange(window_, {});
    }

private:
    struct Client {
        int fd;
        std::string buffer;
        std::string message;  ///< a fragmented message so far
    };

    void run() {
        std::vector<epoll_event> events(256);
        char chunk[65536];
        // What came with the handshake's answer is read like the rest.
        for (size_t i = 0; i < clients_.size(); ++i) parse(i, realtimeUs());
        while (!stop_) {
            const int ready = epoll_wait(epoll_, events.data(), int(events.size()), 100);
            for (int e = 0; e < ready; ++e) {
                const size_t i = events[size_t(e)].data.u64;
                Client& client = clients_[i];
                if (client.fd < 0) continue;
                ssize_t n = 0;
                int64_t arrivedUs = 0;
                while ((n = receive(client.fd, chunk, sizeof chunk, arrivedUs)) > 0) {
                    client.buffer.append(chunk, size_t(n));
                    parse(i, arrivedUs);
                }
                if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) drop(i);
            }
        }
    }

    // recv, with the kernel's time of arrival of what it read (now, without one).
    static ssize_t receive(int fd, char* into, size_t size, int64_t& arrivedUs) {
        iovec data{into, size};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
        msghdr message{};
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t n = recvmsg(fd, &message, 0);
        const int error = errno;
        arrivedUs = realtimeUs();
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); n > 0 && c != nullptr;
             c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                timespec at{};
                std::memcpy(&at, CMSG_DATA(c), sizeof at);
                arrivedUs = int64_t(at.tv_sec) * 1'000'000 + at.tv_nsec / 1000;
            }
        }
        errno = error;
        return n;
    }

    void drop(size_t i) {
        Client& client = clients_[i];
        if (client.fd < 0) return;
        epoll_ctl(epoll_, EPOLL_CTL_DEL, client.fd, nullptr);
        close(client.fd);
        client.fd = -1;
        const std::lock_guard<std::mutex> hold(mutex_);
        ++closed_;
    }

    void parse(size_t i, int64_t arrivedUs) {
        Client& client = clients_[i];
        std::string& b = client.buffer;
        size_t at = 0;
        while (client.fd >= 0 && b.size() - at >= 2) {
            const auto byte = [&](size_t k) { return uint8_t(b[at + k]); };
            const bool fin = (byte(0) & 0x80) != 0;
            const int opcode = byte(0) & 0x0f;
            const bool masked = (byte(1) & 0x80) != 0;
            uint64_t length = byte(1) & 0x7f;
            size_t header = 2;
            if (length == 126) {
                if (b.size() - at < 4) break;
                length = uint64_t(byte(2)) << 8 | byte(3);
                header = 4;
            } else if (length == 127) {
                if (b.size() - at < 10) break;
                length = 0;
                for (size_t k = 2; k < 10; ++k) length = length << 8 | byte(k);
                header = 10;
            }
            const size_t maskAt = at + header;
            if (masked) header += 4;
            if (b.size() - at < header + length) break;
            std::string payload = b.substr(at + header, size_t(length));
            if (masked) {
                for (size_t k = 0; k < payload.size(); ++k) payload[k] ^= b[maskAt + k % 4];
            }
            at += header + size_t(length);
            if (opcode == 0x9) {
                sendFrame(client.fd, 0xA, payload);
            } else if (opcode == 0x8) {
                drop(i);
            } else if (opcode == 0x1 || opcode == 0x0) {
                client.message += payload;
                if (fin) received(i, std::exchange(client.message, {}), arrivedUs);
            }
        }
        b.erase(0, at);
    }

    void received(size_t i, const std::string& text, int64_t arrivedUs) {
        if (!recording_) return;
        // Only "t" from most: a reader this busy would add to the delays it measures.
        const size_t at = text.find("\"t\":");
        if (at == std::string::npos) return;
        const int64_t t = std::strtoll(text.c_str() + at + 4, nullptr, 10);
        const std::lock_guard<std::mutex> hold(mutex_);
        if (!recording_) return;
        ++window_.perClient[i];
        window_.delaysMs.push_back(double(arrivedUs - t * 1000) / 1000.0);
        if (i != 0) return;
        const nlohmann::json state = nlohmann::json::parse(text, nullptr, false);
        if (state.is_object() && state.value("h", "") == "10") {
            const int m = std::atoi(state.value("m", "0").c_str());
            const int s = std::atoi(state.value("s", "0").c_str());
            const int f = std::atoi(state.value("f", "0").c_str());
            window_.accepted.emplace_back(t * 1000, ((m * 60 + s) * kFps + f) % kLoopFrames);
        }
    }

    int epoll_;
    std::vector<Client> clients_;  ///< the thread's only, once it runs
    int refused_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<bool> recording_{false};
    std::thread thread_;
    std::mutex mutex_;
    Window window_;          ///< guarded by mutex_
    int closed_ = 0;         ///< guarded by mutex_
    int closedAtStart_ = 0;  ///< guarded by mutex_
};

// ---------------------------------------------------------------------------
// When the card captured each frame's last sample, from its start log.

// The sample of the loop that completes each frame, as our decoder finds it
// (a little before the frame's end).
std::vector<int64_t> completingSamples(const std::vector<float>& loop) {
    struct {
        std::vector<int64_t> completes = std::vector<int64_t>(kLoopFrames, 0);
        int64_t at = 0;
    } found;
    TCListener decoder;
    decoder.setCallbackId(
        [](const SMPTE_tc& tc, void* into) noexcept {
            auto& f = *static_cast<decltype(found)*>(into);
            f.completes[size_t(((tc.m() * 60 + tc.s()) * kFps + tc.f()) % kLoopFrames)] = f.at;
        },
        0, &found);
    for (int pass = 0; pass < 2; ++pass) {  // the first frame of the first pass only locks on
        for (found.at = 0; found.at < int64_t(loop.size()); ++found.at)
            sampleStep(decoder, loop[size_t(found.at)]);
    }
    return found.completes;
}

class CardTimes {
public:
    CardTimes(std::vector<int64_t> completes, std::string startLog)
        : completes_(std::move(completes)), startLog_(std::move(startLog)) {}

    /// Reads the latest start: an overrun would have restarted the card.
    void refresh() {
        if (FILE* log = std::fopen(startLog_.c_str(), "r")) {
            long long ns = 0, frame = 0;
            while (std::fscanf(log, "%lld %lld", &ns, &frame) == 2) startNs_ = ns, base_ = frame;
            std::fclose(log);
        }
    }

    /// Milliseconds from the capture of `frame`'s last sample, the latest one
    /// before `atNs` (monotonic), to `atNs`.
    double delayMs(int frame, int64_t atNs) const {
        const int64_t loop = int64_t(kLoopFrames) * kRate / kFps;
        const int64_t last = (completes_[size_t(frame)] - base_ % loop + loop) % loop;
        const int64_t captured = (atNs - startNs_) * kRate / 1'000'000'000;
        const int64_t sample = last + (captured - last) / loop * loop;
        return double(atNs - (startNs_ + sample * 1'000'000'000 / kRate)) / 1e6;
    }

private:
    std::vector<int64_t> completes_;
    std::string startLog_;
    long long startNs_ = 0, base_ = 0;
};

// ---------------------------------------------------------------------------

struct Row {
    std::string what;
    int clients = 0, refused = 0, closed = 0;
    double cpu = -1, cpuUser = -1, cpuSystem = -1, ownCpu = 0;
    double perClientMin = 0, perClientMedian = 0;
    Spread delay;
    double acceptedPerSecond = 0;
    Spread captureToLine, captureToT;
    double longestPauseMs = -1;
    double pageChangesPerSecond = 0, pageGapMs = -1;  ///< the application's clock page
};

int freePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), size);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    close(fd);
    return ntohs(address.sin_port);
}

bool waitForValues(Program& program, std::chrono::seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (program.acceptedCount() >= size_t(kFps)) return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

// The most the page went without showing a new value within [fromMs, toMs),
// and how many new values it showed.
void pageChanges(const std::vector<ClockSample>& samples, int64_t fromMs, int64_t toMs, Row& row) {
    int64_t changedAt = fromMs;
    int lastFrame = -1, changes = 0;
    row.pageGapMs = 0;
    for (const ClockSample& sample : samples) {
        if (sample.atMs < fromMs || sample.atMs >= toMs || sample.frame == lastFrame) continue;
        row.pageGapMs = std::max(row.pageGapMs, double(sample.atMs - changedAt));
        changedAt = sample.atMs;
        lastFrame = sample.frame;
        ++changes;
    }
    row.pageGapMs = std::max(row.pageGapMs, double(toMs - changedAt));
    row.pageChangesPerSecond = changes * 1000.0 / double(toMs - fromMs);
}

// The served program is mirel-decode (`program`, whose lines are timed) or
// the application (`app`, whose clock page reports what it shows).
Row measure(const std::string& what, pid_t pid, Program* program, const Copy* app, CardTimes& card,
            Clients* clients, double seconds) {
    Row row;
    row.what = what;
    if (clients != nullptr) row.clients = clients->connected(), row.refused = clients->refused();
    std::this_thread::sleep_for(2s);  // settle

    if (program != nullptr) program->take();
    if (clients != nullptr) clients->startWindow();
    const int64_t fromMs = wallMs();
    const ProcessStat startTicks = processStat(pid);
    const double ownStart = ownCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const ProcessStat endTicks = processStat(pid);
    const int64_t toMs = wallMs();
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    row.ownCpu = 100.0 * (ownCpuSeconds() - ownStart) / wall;
    const std::vector<Program::Accepted> lines =
        program != nullptr ? program->take() : std::vector<Program::Accepted>{};
    std::optional<Clients::Window> window;
    if (clients != nullptr) window = clients->endWindow();

    if (startTicks.user >= 0 && endTicks.user >= 0) {
        const double percent = 100.0 / double(sysconf(_SC_CLK_TCK)) / wall;
        row.cpuUser = double(endTicks.user - startTicks.user) * percent;
        row.cpuSystem = double(endTicks.system - startTicks.system) * percent;
        row.cpu = row.cpuUser + row.cpuSystem;
    }
    card.refresh();
    row.acceptedPerSecond = double(lines.size()) / wall;
    if (app != nullptr) pageChanges(running(clockSamples(app->log())), fromMs, toMs, row);
    std::vector<double> captureDelays;
    for (size_t i = 0; i < lines.size(); ++i) {
        captureDelays.push_back(card.delayMs(lines[i].frame, lines[i].atNs));
        if (i == 1) row.longestPauseMs = 0;
        if (i > 0)
            row.longestPauseMs =
                std::max(row.longestPauseMs, double(lines[i].atNs - lines[i - 1].atNs) / 1e6);
    }
    row.captureToLine = spreadOf(std::move(captureDelays));

    if (window) {
        std::vector<size_t> counts = window->perClient;
        std::sort(counts.begin(), counts.end());
        if (!counts.empty()) {
            row.perClientMin = double(counts.front()) / wall;
            row.perClientMedian = double(counts[counts.size() / 2]) / wall;
        }
        row.delay = spreadOf(std::move(window->delaysMs));
        row.closed = window->closed;
        // "t" is the wall clock; the card's log the monotonic one.
        const int64_t offsetUs = realtimeUs() - monotonicNs() / 1000;
        std::vector<double> toT;
        for (const auto& [tUs, frame] : window->accepted)
            toT.push_back(card.delayMs(frame, (tUs - offsetUs) * 1000));
        row.captureToT = spreadOf(std::move(toT));
    }
    return row;
}

std::string spreadText(const Spread& s) {
    if (!s.any) return "-";
    char text[64];
    std::snprintf(text, sizeof text, "%.1f / %.1f / %.1f", s.median, s.p95, s.max);
    return text;
}

void print(const std::vector<Row>& rows, double seconds) {
    std::printf("\nOver %.0f s each, after 2 s to settle; 30 values a second; %ld cores.\n",
                seconds, sysconf(_SC_NPROCESSORS_ONLN));
    std::printf("%-18s %7s %17s %9s %13s %22s %7s\n", "", "clients", "CPU % of one core", "bench %",
                "states/s/cl", "arrival-t ms", "closed");
    std::printf("%-18s %7s %17s %9s %13s %22s %7s\n", "", "", "program (usr+sys)", "(clients)",
                "min / median", "median / p95 / max", "");
    for (const Row& r : rows) {
        char perClient[32] = "-";
        if (r.clients > 0)
            std::snprintf(perClient, sizeof perClient, "%.1f / %.1f", r.perClientMin,
                          r.perClientMedian);
        char clients[32];
        std::snprintf(clients, sizeof clients, "%d%s", r.clients, r.refused > 0 ? "!" : "");
        char cpu[48];
        std::snprintf(cpu, sizeof cpu, "%.1f (%.1f+%.1f)", r.cpu, r.cpuUser, r.cpuSystem);
        std::printf("%-18s %7s %17s %9.1f %13s %22s %7d\n", r.what.c_str(), clients, cpu, r.ownCpu,
                    perClient, spreadText(r.delay).c_str(), r.closed);
    }
    std::printf("\nCapture path: delay from the card's capture of a frame's last sample, in ms\n");
    // The pause: the longest time between two lines of the decoder, or
    // between two new values on the application's clock page (read every 50 ms).
    std::printf("%-18s %7s %9s %24s %24s %9s\n", "", "clients", "values/s",
                "to its line, med/p95/max", "to its \"t\", med/p95/max", "pause ms");
    for (const Row& r : rows) {
        const bool page = r.pageGapMs >= 0;
        std::printf("%-18s %7d %9.1f %24s %24s %9.1f\n", r.what.c_str(), r.clients,
                    page ? r.pageChangesPerSecond : r.acceptedPerSecond,
                    spreadText(r.captureToLine).c_str(), spreadText(r.captureToT).c_str(),
                    page ? r.pageGapMs : r.longestPauseMs);
    }
    for (const Row& r : rows) {
        if (r.refused > 0)
            std::printf("%s: %d clients could not connect\n", r.what.c_str(), r.refused);
    }
}

// The application with sharing off, then on with each number of clients; its
// clock page shows the card, picked on its home page as a user would.
int measureApp(const std::string& dir, const std::string& config,
               const std::vector<int64_t>& completes, const std::vector<int>& counts,
               double seconds, std::vector<Row>& rows) {
    const std::string program = installProgram(dir + "/app");
    const std::string starts = dir + "/starts";
    int status = 0;
    for (const bool share : {false, true}) {
        std::filesystem::remove(starts);
        const int port = freePort();
        const std::string copyDir = dir + (share ? "/app-on" : "/app-off");
        Copy copy(program, copyDir, config,
                  {{"sourceType", "Audio Input"},
                   {"audioInput", std::string(kDevice) + " (1)"},
                   {"e2eInput", kDevice},
                   {"e2eSampleMs", 50},
                   {"WebClockShare", share ? "1" : "0"},
                   {"WebClockPort", port}});
        CardTimes card(completes, starts);
        if (!runUntil([&] { return running(clockSamples(copy.log())).size() >= 20; },
                      std::chrono::seconds(60))) {
            std::fprintf(stderr, "the application's clock never ran:\n%s\n", copy.log().c_str());
            return 1;
        }
        std::printf("mirel, sharing %s ...\n", share ? "on" : "off");
        std::fflush(stdout);
        for (const int n : share ? counts : std::vector<int>{0}) {
            Clients clients(port, n);
            rows.push_back(measure(share ? "mirel, share on" : "mirel, share off", copy.pid(),
                                   nullptr, &copy, card, &clients, seconds));
            if (clients.refused() > 0 || rows.back().closed > 0) status = 1;
        }
        copy.finish();
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 10;
    std::vector<int> counts;
    bool withApp = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--app") {
            withApp = true;
        } else if (arg == "--seconds" && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else if (!arg.empty() && arg.find_first_not_of("0123456789") == std::string::npos) {
            counts.push_back(std::atoi(arg.c_str()));
        } else {
            std::fprintf(stderr,
                         "usage: mirel-web-clock-bench [--app] [--seconds S] [CLIENTS...]\n");
            return 2;
        }
    }
    if (counts.empty()) counts = {0, 50, 200};
    if (!(seconds > 0)) seconds = 10;

    LtcSignalOptions o;
    o.fps = kFps;
    o.hours = kFirstHour;
    o.frameCount = kLoopFrames;
    const LtcSignal signal = makeLtcSignal(o);
    const std::vector<int64_t> completes = completingSamples(signal.samples);
    const std::string dir = makeTempDir("web-clock-bench");
    writeRawFloat32(dir + "/ltc.f32", signal.samples);
    const std::string starts = dir + "/starts";
    const std::string config = writeAlsaConfig(dir, {{.name = kDevice,
                                                      .channels = 1,
                                                      .rate = kRate,
                                                      .rawFile = dir + "/ltc.f32",
                                                      .loop = true,
                                                      .startLog = starts}});
    std::filesystem::create_directories(dir + "/mirel");
    std::ofstream(dir + "/mirel/preferences.json") << nlohmann::json{{"audioInput", kDevice}};

    std::vector<Row> rows;
    int status = 0;
    {
        std::printf("baseline: the program without --web ...\n");
        std::fflush(stdout);
        Program program(dir, config, std::nullopt);
        CardTimes card(completes, starts);
        if (!waitForValues(program, 20s)) {
            std::fprintf(stderr, "no values from the program:\n%s\n", program.errors().c_str());
            return 1;
        }
        rows.push_back(
            measure("no --web", program.pid(), &program, nullptr, card, nullptr, seconds));
    }
    std::filesystem::remove(starts);  // the next program's card starts afresh
    {
        const int port = freePort();
        Program program(dir, config, port);
        CardTimes card(completes, starts);
        if (!waitForValues(program, 20s)) {
            std::fprintf(stderr, "no values from the program:\n%s\n", program.errors().c_str());
            return 1;
        }
        for (const int n : counts) {
            std::printf("--web %d: %d clients ...\n", port, n);
            std::fflush(stdout);
            Clients clients(port, n);
            rows.push_back(
                measure("--web", program.pid(), &program, nullptr, card, &clients, seconds));
            if (clients.refused() > 0 || rows.back().closed > 0) status = 1;
        }
    }
    if (withApp) status |= measureApp(dir, config, completes, counts, seconds, rows);
    print(rows, seconds);
    std::filesystem::remove_all(dir);
    return status;
}
