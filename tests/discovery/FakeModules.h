// Modules that answer TCP/IP discovery requests with scripted datagrams,
// from their own addresses in the device namespace. Each listens on the
// discovery group and replies by unicast to the requester's port 9889; the
// replies may be of any length, repeated or wrong, which is what the tests
// need to show how replies are read.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>

#include <atomic>
#include <mutex>
#include <stdexcept>

#include "tests/discovery/NetNamespace.h"

namespace netnstest {

class FakeModules {
  public:
    using Bytes = std::vector<uint8_t>;

    // One module at address (dotted text) answering every request with the
    // given datagrams in order.
    void add(const std::string& address, std::vector<Bytes> replies)
    {
        Module m;
        m.replies = std::move(replies);
        const bool ok = inDeviceNamespace([&] {
            in_addr own{};
            inet_pton(AF_INET, address.c_str(), &own);
            m.listen = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            const int on = 1;
            setsockopt(m.listen, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
            sockaddr_in group{};
            group.sin_family = AF_INET;
            group.sin_port = htons(9888);
            group.sin_addr.s_addr = inet_addr("232.2.2.2");
            ip_mreq join{};
            join.imr_multiaddr = group.sin_addr;
            join.imr_interface = own;
            m.reply = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_in from{};
            from.sin_family = AF_INET;
            from.sin_addr = own;
            if (bind(m.listen, reinterpret_cast<sockaddr*>(&group), sizeof group) != 0
                || setsockopt(m.listen, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) != 0
                || bind(m.reply, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0)
                m.failed = true;
        });
        if (!ok || m.failed)
            throw std::runtime_error("cannot set up a fake module at " + address);
        modules_.push_back(std::move(m));
    }

    void start()
    {
        thread_ = std::thread([this] { run(); });
    }

    ~FakeModules()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        for (Module& m : modules_) {
            close(m.listen);
            close(m.reply);
        }
    }

    // Every request datagram received, by any module.
    std::vector<Bytes> requests()
    {
        std::lock_guard<std::mutex> hold(mutex_);
        return requests_;
    }

  private:
    struct Module {
        int listen = -1;
        int reply = -1;
        bool failed = false;
        std::vector<Bytes> replies;
    };

    void run()
    {
        std::vector<pollfd> fds;
        for (const Module& m : modules_)
            fds.push_back({m.listen, POLLIN, 0});
        while (!stop_) {
            if (poll(fds.data(), fds.size(), 50) <= 0)
                continue;
            for (size_t i = 0; i < fds.size(); ++i) {
                if (!(fds[i].revents & POLLIN))
                    continue;
                uint8_t buffer[64];
                sockaddr_in from{};
                socklen_t length = sizeof from;
                const ssize_t n = recvfrom(fds[i].fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from),
                                           &length);
                if (n < 0)
                    continue;
                {
                    std::lock_guard<std::mutex> hold(mutex_);
                    requests_.emplace_back(buffer, buffer + n);
                }
                from.sin_port = htons(9889);
                for (const Bytes& r : modules_[i].replies)
                    sendto(modules_[i].reply, r.data(), r.size(), 0, reinterpret_cast<sockaddr*>(&from), sizeof from);
            }
        }
    }

    std::vector<Module> modules_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Bytes> requests_;
};

// A 16-byte discovery reply.
inline std::vector<uint8_t> reply(uint8_t address, uint16_t port, uint32_t serial, uint8_t model, size_t length = 16)
{
    std::vector<uint8_t> r(16, 0);
    r[0] = 2;
    r[1] = address;
    r[2] = static_cast<uint8_t>(port);
    r[3] = static_cast<uint8_t>(port >> 8);
    for (int i = 0; i < 4; ++i)
        r[4 + i] = static_cast<uint8_t>(serial >> (8 * i));
    r[12] = model;
    r.resize(length);
    return r;
}

} // namespace netnstest
