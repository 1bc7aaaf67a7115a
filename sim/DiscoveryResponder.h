// DiscoveryResponder: a simulated module's answer to TCP/IP discovery. It
// joins the discovery group 232.2.2.2 (port 9888) on the interface that owns
// the module's own address and answers each request by unicast from that
// address to the requester's port 9889: reply code, module address, TCP port
// and serial number little-endian, model. It refuses to run on a loopback
// address or in a network namespace with a default route, and answers only
// requesters on its own subnet (never through a gateway). One thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>

#include "sim/EventLog.h"

namespace modsim {

class DiscoveryResponder {
public:
    static constexpr uint16_t kRequestPort = 9888;
    static constexpr uint16_t kReplyPort = 9889;
    static constexpr uint32_t kGroup = 0xE8020202; // 232.2.2.2

    struct Identity {
        uint8_t address = 0;
        uint16_t port = 0;
        uint32_t serial = 0;
        uint8_t model = 0;
        uint8_t replySize = 16; // fewer bytes is a fault (a short reply)
        unsigned repeat = 1;    // replies per request
    };

    // `address` is the module's IPv4 address in host order.
    DiscoveryResponder(uint32_t address, Identity identity, EventLog& log);
    ~DiscoveryResponder();
    DiscoveryResponder(const DiscoveryResponder&) = delete;
    DiscoveryResponder& operator=(const DiscoveryResponder&) = delete;

    // Throws std::runtime_error with the reason when it cannot answer safely.
    void start();
    void stop();

    // The 16 reply bytes for an identity (the first replySize are sent).
    static std::vector<uint8_t> reply(const Identity& id);
    // True when the namespace's routing table (/proc/net/route) has a default route.
    static bool hasDefaultRoute();

private:
    void run();

    uint32_t address_;
    uint32_t netmask_ = 0;
    Identity id_;
    EventLog& log_;
    int recvFd_ = -1;
    int sendFd_ = -1;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace modsim
