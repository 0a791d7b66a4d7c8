#pragma once

// A plain UDP socket standing in for another copy; tests write and read the bytes themselves.

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

class UdpPeer {
public:
    /// Bound to an ephemeral port on `host`; any 127.x.y.z address is this machine.
    explicit UdpPeer(const char* host = "127.0.0.1") : fd_(socket(AF_INET, SOCK_DGRAM, 0)) {
        if (fd_ < 0) throw std::runtime_error("socket");
        address_ = loopback(0);
        inet_pton(AF_INET, host, &address_.sin_addr);
        if (bind(fd_, reinterpret_cast<sockaddr*>(&address_), sizeof address_) < 0)
            throw std::runtime_error("bind");
        socklen_t length = sizeof address_;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address_), &length);
    }
    ~UdpPeer() { close(fd_); }
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    const sockaddr_in& address() const { return address_; }
    int port() const { return ntohs(address_.sin_port); }

    void sendTo(const sockaddr_in& to, std::string_view bytes) const {
        sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
               sizeof to);
    }
    void sendTo(int port, std::string_view bytes) const { sendTo(loopback(port), bytes); }

    /// The next datagram, whole, or nothing within the timeout. Remembers its source.
    std::optional<std::string> receive(
        std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        pollfd ready{fd_, POLLIN, 0};
        if (poll(&ready, 1, int(timeout.count())) != 1) return std::nullopt;
        std::string bytes(65536, '\0');
        socklen_t length = sizeof lastSource;
        const ssize_t n = recvfrom(fd_, bytes.data(), bytes.size(), 0,
                                   reinterpret_cast<sockaddr*>(&lastSource), &length);
        if (n < 0) return std::nullopt;
        bytes.resize(size_t(n));
        return bytes;
    }
    void drain() {
        while (receive(std::chrono::milliseconds(0))) {
        }
    }

    static sockaddr_in loopback(int port) {
        return {AF_INET, htons(uint16_t(port)), {htonl(INADDR_LOOPBACK)}, {}};
    }

    sockaddr_in lastSource{};

private:
    int fd_;
    sockaddr_in address_{};
};
