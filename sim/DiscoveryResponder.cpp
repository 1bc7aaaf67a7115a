// A simulated module's TCP/IP discovery responder.
#include "sim/DiscoveryResponder.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "sim/Packet.h"
#include "sim/SimOptions.h"

namespace modsim {
namespace {

std::runtime_error sysError(const std::string& what) {
    return std::runtime_error(what + ": " + strerror(errno));
}

} // namespace

DiscoveryResponder::DiscoveryResponder(uint32_t address, Identity identity, EventLog& log)
    : address_(address), id_(identity), log_(log) {}

DiscoveryResponder::~DiscoveryResponder() {
    stop();
}

bool DiscoveryResponder::hasDefaultRoute() {
    std::ifstream in("/proc/net/route");
    std::string line;
    std::getline(in, line); // header
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string iface, dest, gateway, flags, refcnt, use, metric, mask;
        if (!(f >> iface >> dest >> gateway >> flags >> refcnt >> use >> metric >> mask)) continue;
        if (dest == "00000000" && mask == "00000000") return true;
    }
    return false;
}

std::vector<uint8_t> DiscoveryResponder::reply(const Identity& id) {
    std::vector<uint8_t> r(16, 0);
    r[0] = 2; // reply code
    r[1] = id.address;
    r[2] = static_cast<uint8_t>(id.port);
    r[3] = static_cast<uint8_t>(id.port >> 8);
    for (int i = 0; i < 4; ++i)
        r[4 + i] = static_cast<uint8_t>(id.serial >> (8 * i));
    r[12] = id.model;
    return r;
}

void DiscoveryResponder::start() {
    if ((address_ >> 24) == 127 || address_ == 0)
        throw std::runtime_error("discovery needs the module's own non-loopback address (listen)");
    if (hasDefaultRoute())
        throw std::runtime_error("discovery refused: this network namespace has a default route "
                                 "(run the module in a private network namespace)");
    // The subnet of the interface that owns the address: replies go only there.
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) throw sysError("getifaddrs");
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !i->ifa_netmask) continue;
        if (ntohl(reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr) == address_)
            netmask_ = ntohl(reinterpret_cast<sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr);
    }
    freeifaddrs(list);
    if (netmask_ == 0)
        throw std::runtime_error("discovery: no interface has the address " + ipText(address_));

    auto fail = [this](const std::string& what) {
        auto e = sysError(what);
        stop();
        return e;
    };
    int p[2];
    if (pipe2(p, O_NONBLOCK | O_CLOEXEC) != 0) throw sysError("pipe");
    wakeRead_ = p[0];
    wakeWrite_ = p[1];
    recvFd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (recvFd_ < 0) throw fail("socket");
    int one = 1;
    setsockopt(recvFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in g{};
    g.sin_family = AF_INET;
    g.sin_port = htons(kRequestPort);
    g.sin_addr.s_addr = htonl(kGroup); // only datagrams sent to the group
    if (bind(recvFd_, reinterpret_cast<sockaddr*>(&g), sizeof g) != 0)
        throw fail("bind 232.2.2.2:9888");
    ip_mreq m{};
    m.imr_multiaddr.s_addr = htonl(kGroup);
    m.imr_interface.s_addr = htonl(address_);
    if (setsockopt(recvFd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) != 0)
        throw fail("join 232.2.2.2 on " + ipText(address_));

    sendFd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sendFd_ < 0) throw fail("socket");
    // Directly connected peers only: a reply never goes through a gateway.
    setsockopt(sendFd_, SOL_SOCKET, SO_DONTROUTE, &one, sizeof one);
    sockaddr_in own{};
    own.sin_family = AF_INET;
    own.sin_addr.s_addr = htonl(address_);
    if (bind(sendFd_, reinterpret_cast<sockaddr*>(&own), sizeof own) != 0)
        throw fail("bind " + ipText(address_));
    stop_ = false;
    log_.add("discovery on " + ipText(address_));
    thread_ = std::thread([this] { run(); });
}

void DiscoveryResponder::stop() {
    stop_ = true;
    if (wakeWrite_ >= 0) {
        char c = 1;
        [[maybe_unused]] auto r = write(wakeWrite_, &c, 1);
    }
    if (thread_.joinable()) thread_.join();
    for (int* fd : {&recvFd_, &sendFd_, &wakeRead_, &wakeWrite_}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
}

void DiscoveryResponder::run() {
    uint8_t buf[64];
    while (!stop_) {
        pollfd fds[2] = {{recvFd_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
        if (poll(fds, 2, 1000) < 0 && errno != EINTR) break;
        if (stop_) break;
        if (!(fds[0].revents & POLLIN)) continue;
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = recvfrom(recvFd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) continue;
        const uint32_t src = ntohl(from.sin_addr.s_addr);
        bool valid = n == 16 && buf[0] == 1;
        for (ssize_t i = 1; valid && i < n; ++i)
            valid = buf[i] == 0;
        if (!valid) {
            log_.add("discovery-reject request " + ipText(src) + " " +
                     bytesText(buf, static_cast<size_t>(n)));
            continue;
        }
        if ((src & netmask_) != (address_ & netmask_)) {
            log_.add("discovery-reject off-subnet " + ipText(src));
            continue;
        }
        const auto r = reply(id_);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(kReplyPort);
        to.sin_addr.s_addr = from.sin_addr.s_addr;
        for (unsigned k = 0; k < id_.repeat; ++k) {
            if (sendto(sendFd_, r.data(), id_.replySize, 0, reinterpret_cast<sockaddr*>(&to),
                       sizeof to) < 0)
                log_.add("discovery-send-failed " + ipText(src) + " " + strerror(errno));
            else
                log_.add("discovery-reply " + ipText(src));
        }
    }
}

} // namespace modsim
