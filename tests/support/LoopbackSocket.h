// Plain-socket helpers for tests that talk to a simulated module on
// 127.0.0.1: connecting and reading with a time limit. Header-only.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <vector>

namespace testsupport {

// A TCP connection to port on 127.0.0.1, or -1 when nothing listens there.
inline int connectTo(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Reads from fd (a socket or a terminal, blocking or not) until `want` bytes
// came, the peer closed, or the time-out passed; *eof tells whether it closed.
inline std::vector<uint8_t> readFor(int fd, size_t want, std::chrono::milliseconds timeout, bool* eof = nullptr)
{
    std::vector<uint8_t> out;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    if (eof)
        *eof = false;
    while (out.size() < want) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, int(left.count())) <= 0)
            continue;
        uint8_t buf[256];
        const ssize_t n = read(fd, buf, std::min(sizeof buf, want - out.size()));
        if (n == 0) {
            if (eof)
                *eof = true;
            break;
        }
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR)
                continue;
            if (eof)
                *eof = true;
            break;
        }
        out.insert(out.end(), buf, buf + n);
    }
    return out;
}

} // namespace testsupport
