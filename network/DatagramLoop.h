#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <span>

/// The most either peer reads of a datagram; the rest of a longer one is cut.
constexpr std::size_t kLargestDatagram = 2000;

/// The receive loop the sender's and the receiver's threads run: each
/// datagram on `fd`, at most kLargestDatagram bytes of it, goes to `handle`
/// with its source, until a receive fails or `stopping` is set (the owner
/// shuts the socket down to wake a waiting receive).
template <typename Handle>
void receiveDatagrams(int fd, const std::atomic<bool>& stopping, Handle&& handle) {
    std::array<char, kLargestDatagram> buffer;
    for (;;) {
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        const ssize_t received = recvfrom(fd, buffer.data(), buffer.size(), 0,
                                          reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (stopping.load()) return;
        if (received < 0) {
            if (errno == EINTR) continue;
            return;
        }
        handle(std::span<const char>(buffer.data(), std::size_t(received)), from);
    }
}
