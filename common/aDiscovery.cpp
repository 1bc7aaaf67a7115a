// Module discovery by link type, and the TCP/IP half: one multicast request
// out of each interface, then the modules' unicast replies until they stop.
#include "common/aDiscovery.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

// However chatty the network, enumeration ends after this long.
constexpr auto kMaxCollect = std::chrono::seconds(20);

uint32_t sLE32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16
        | static_cast<uint32_t>(p[3]) << 24;
}

int sUdpSocket()
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0)
        return -1;
    const int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Listener for the replies; -1 when it cannot be set up.
int sOpenListener(uint32_t hostInterface)
{
    const int fd = sUdpSocket();
    if (fd < 0)
        return -1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(aDISCOVERY_REPLY_PORT);
    local.sin_addr.s_addr = htonl(hostInterface);
    timeval wait{};
    wait.tv_sec = aDISCOVERY_REPLY_WAIT_MS / 1000;
    wait.tv_usec = (aDISCOVERY_REPLY_WAIT_MS % 1000) * 1000;
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0
        || setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// One request out of the interface with that address (network byte order);
// null: the system's default multicast interface.
bool sSendRequest(const in_addr* interfaceAddress)
{
    const int fd = sUdpSocket();
    if (fd < 0)
        return false;
    bool sent = false;
    if (!interfaceAddress
        || setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, interfaceAddress, sizeof *interfaceAddress) == 0) {
        uint8_t request[aDISCOVERY_DATAGRAM_SIZE] = {aDISCOVERY_REQUEST_CODE};
        sockaddr_in group{};
        group.sin_family = AF_INET;
        group.sin_port = htons(aDISCOVERY_REQUEST_PORT);
        group.sin_addr.s_addr = htonl(aDISCOVERY_GROUP);
        sent = sendto(fd, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&group), sizeof group)
            == static_cast<ssize_t>(sizeof request);
    }
    close(fd);
    return sent;
}

bool sSendRequests(uint32_t hostInterface)
{
    if (hostInterface != 0) {
        const in_addr a{htonl(hostInterface)};
        return sSendRequest(&a);
    }
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return sSendRequest(nullptr);
    bool any = false;
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET)
            continue;
        const in_addr a = reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr;
        if (a.s_addr == htonl(INADDR_LOOPBACK))
            continue;
        if (sSendRequest(&a))
            any = true;
    }
    freeifaddrs(list);
    return any;
}

uint8_t sEnumerateTCPIP(aDiscoveryModuleFoundProc found, void* reference, uint32_t networkInterface)
{
    uint32_t hostInterface = ntohl(networkInterface);
    if (hostInterface == INADDR_LOOPBACK)
        hostInterface = 0;

    const int listener = sOpenListener(hostInterface);
    if (listener < 0)
        return 0;
    uint8_t count = 0;
    if (sSendRequests(hostInterface)) {
        const auto end = std::chrono::steady_clock::now() + kMaxCollect;
        bool more = true;
        while (more && std::chrono::steady_clock::now() < end) {
            // Cleared each time so a short reply never inherits an earlier
            // module's fields; byte 12 reads as model 0xFF when not sent.
            uint8_t reply[aDISCOVERY_DATAGRAM_SIZE] = {};
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            const ssize_t n
                = recvfrom(listener, reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (n < 0)
                break;
            linkSpec* spec = aLinkSpec_Create(TCPIP);
            if (!spec)
                break;
            aDiscovery_ParseReply(reply, static_cast<size_t>(n), from.sin_addr.s_addr, spec);
            bool taken = false;
            more = found(spec, &taken, reference);
            if (taken && count < 255)
                ++count;
            aLinkSpec_Destroy(&spec);
        }
    }
    close(listener);
    return count;
}

struct FindSearch {
    linkSpec* spec;
    bool firstNonZero; // FindFirstModule: any serial number but 0
};

bool sFindCallback(const linkSpec* found, bool* taken, void* reference)
{
    auto* search = static_cast<FindSearch*>(reference);
    if (search->firstNonZero ? found->serialNumber == 0 : found->serialNumber != search->spec->serialNumber)
        return true;
    std::memcpy(search->spec, found, sizeof(linkSpec));
    *taken = true;
    return false;
}

linkSpec* sFind(linkType type, uint32_t serialNumber, bool firstNonZero, uint32_t networkInterface)
{
    linkSpec* spec = aLinkSpec_Create(type);
    if (!spec)
        return nullptr;
    spec->serialNumber = serialNumber;
    FindSearch search{spec, firstNonZero};
    if (aDiscovery_EnumerateModules(type, sFindCallback, &search, networkInterface) == 0)
        aLinkSpec_Destroy(&spec);
    return spec;
}

} // namespace

void aDiscovery_ParseReply(const uint8_t* data, size_t length, uint32_t source, linkSpec* spec)
{
    uint8_t reply[aDISCOVERY_DATAGRAM_SIZE] = {};
    if (length > sizeof reply)
        length = sizeof reply;
    if (data && length)
        std::memcpy(reply, data, length);
    if (length <= 12)
        reply[12] = 0xFF;
    std::memset(spec, 0, sizeof(linkSpec));
    spec->type = TCPIP;
    spec->module = reply[1];
    spec->router = reply[1];
    spec->t.ip.ipPort = static_cast<uint32_t>(reply[2]) | static_cast<uint32_t>(reply[3]) << 8;
    spec->serialNumber = sLE32(reply + 4);
    spec->routerSerialNumber = spec->serialNumber;
    spec->model = reply[12];
    spec->t.ip.ipAddress = source;
}

uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryModuleFoundProc found, void* reference,
                                    uint32_t networkInterface)
{
    if (!found)
        return 0;
    switch (type) {
    case USB:
        return aDiscovery_EnumerateUSB(found, reference);
    case TCPIP:
        return sEnumerateTCPIP(found, reference, networkInterface);
    default:
        // Modules behind sharing servers are found by beacon discovery,
        // which this build does not contain; nothing else can be enumerated.
        return 0;
    }
}

linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface)
{
    return sFind(type, serialNumber, false, networkInterface);
}

linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface)
{
    return sFind(type, 0, true, networkInterface);
}

size_t aDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, size_t size)
{
    if (!buffer || size < INET_ADDRSTRLEN)
        return 0;
    std::memset(buffer, 0, size);
    const in_addr a{address};
    if (!inet_ntop(AF_INET, &a, buffer, static_cast<socklen_t>(size)))
        return 0;
    return std::strlen(buffer);
}
