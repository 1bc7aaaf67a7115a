// A scripted peer for link and stream tests: a TCP listener on 127.0.0.1 that
// accepts the host's connection and lets the test read exactly what the host
// wrote and write any bytes back. Every wait is bounded.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <vector>

class LoopbackPeer {
public:
    LoopbackPeer()
    {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(a);
        if (bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || listen(listener_, 4) != 0
            || getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            throw std::runtime_error("cannot listen on loopback");
        port_ = ntohs(a.sin_port);
    }
    ~LoopbackPeer()
    {
        closeConnection();
        if (listener_ >= 0)
            ::close(listener_);
    }
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    uint16_t port() const { return port_; }
    static uint32_t address() { return htonl(INADDR_LOOPBACK); }

    // Accepts the next connection (closing the current one first).
    bool accept(int timeoutMs = 3000)
    {
        closeConnection();
        pollfd p{listener_, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0)
            return false;
        conn_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        return conn_ >= 0;
    }
    // True when another connection is waiting to be accepted.
    bool pending(int timeoutMs = 200)
    {
        pollfd p{listener_, POLLIN, 0};
        return poll(&p, 1, timeoutMs) > 0;
    }
    // True once the host has closed the connection (after any bytes it sent).
    bool closedByHost(int timeoutMs = 3000)
    {
        readUntilQuiet(timeoutMs / 2, timeoutMs);
        pollfd p{conn_, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0)
            return false;
        uint8_t b;
        return ::recv(conn_, &b, 1, 0) <= 0;
    }
    void closeConnection()
    {
        if (conn_ >= 0)
            ::close(conn_);
        conn_ = -1;
    }
    // Ends the connection with a reset instead of an orderly close.
    void resetConnection()
    {
        const linger l{1, 0};
        setsockopt(conn_, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
        closeConnection();
    }
    // Stops accepting: later connects are refused.
    void closeListener()
    {
        ::close(listener_);
        listener_ = -1;
    }

    void write(const std::vector<uint8_t>& bytes)
    {
        size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = ::send(conn_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                throw std::runtime_error("peer write failed");
            sent += static_cast<size_t>(n);
        }
    }
    // Reads exactly n bytes, or fewer when the time-out passes first.
    std::vector<uint8_t> read(size_t n, int timeoutMs = 3000)
    {
        std::vector<uint8_t> out;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (out.size() < n) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now()).count();
            if (left <= 0)
                break;
            pollfd p{conn_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0)
                break;
            uint8_t buf[4096];
            const ssize_t got = ::recv(conn_, buf, std::min(sizeof(buf), n - out.size()), 0);
            if (got <= 0)
                break;
            out.insert(out.end(), buf, buf + got);
        }
        return out;
    }
    // Everything that arrives until the line stays quiet for quietMs.
    std::vector<uint8_t> readUntilQuiet(int quietMs = 200, int capMs = 5000)
    {
        std::vector<uint8_t> out;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(capMs);
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd p{conn_, POLLIN, 0};
            if (poll(&p, 1, quietMs) <= 0)
                break;
            uint8_t buf[4096];
            const ssize_t got = ::recv(conn_, buf, sizeof(buf), 0);
            if (got <= 0)
                break;
            out.insert(out.end(), buf, buf + got);
        }
        return out;
    }
    int fd() const { return conn_; }

private:
    int listener_ = -1;
    int conn_ = -1;
    uint16_t port_ = 0;
};
