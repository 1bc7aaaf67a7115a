// aMulticast endpoints (see aMulticast.h) over getaddrinfo and a UDP socket.
#include "common/aMulticast.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <new>

#include "common/aDiscovery.h"

struct aMulticast {
    addrinfo* group = nullptr;
    addrinfo* bindAddress = nullptr;
    addrinfo* interfaceAddress = nullptr;
    int socket = -1;
    int role = aMULTICAST_RECEIVER;
};

namespace {

addrinfo* sResolve(const char* host, const char* service, const addrinfo& hints)
{
    addrinfo* result = nullptr;
    if (getaddrinfo(host, service, &hints, &result) != 0)
        return nullptr;
    return result;
}

bool sIPv4(const aMulticast* m)
{
    return m->group->ai_family == AF_INET && m->interfaceAddress->ai_family == AF_INET;
}

in_addr sAddress(const addrinfo* a)
{
    return reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr;
}

bool sConfigure(aMulticast* m)
{
    const int off = 0;
    if (setsockopt(m->socket, SOL_SOCKET, SO_REUSEADDR, &off, sizeof off) != 0)
        return false;
    if (m->role == aMULTICAST_RECEIVER && bind(m->socket, m->bindAddress->ai_addr, m->bindAddress->ai_addrlen) != 0)
        return false;
    if (!sIPv4(m))
        return false;
    ip_mreq membership{};
    membership.imr_multiaddr = sAddress(m->group);
    membership.imr_interface = sAddress(m->interfaceAddress);
    if (setsockopt(m->socket, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0)
        return false;
    const in_addr out = sAddress(m->interfaceAddress);
    if (setsockopt(m->socket, IPPROTO_IP, IP_MULTICAST_IF, &out, sizeof out) != 0)
        return false;
    const unsigned char ttl = 1; // never beyond the local segment
    if (setsockopt(m->socket, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0)
        return false;
    timeval wait{1, 0};
    if (setsockopt(m->socket, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) != 0)
        return false;
    const unsigned char loop = 1;
    return setsockopt(m->socket, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) == 0;
}

} // namespace

aMulticast* aMulticast_Create(uint32_t interfaceAddress, uint32_t groupAddress, int port, int role)
{
    if (role != aMULTICAST_SENDER && role != aMULTICAST_RECEIVER)
        return nullptr;
    if (interfaceAddress == 0)
        interfaceAddress = htonl(INADDR_LOOPBACK);
    char interfaceText[INET_ADDRSTRLEN];
    char groupText[INET_ADDRSTRLEN];
    char portText[6];
    if (!aDiscovery_ConvertIPv4Interface(interfaceAddress, interfaceText, sizeof interfaceText)
        || !aDiscovery_ConvertIPv4Interface(groupAddress, groupText, sizeof groupText) || port < 0 || port > 65535)
        return nullptr;
    std::snprintf(portText, sizeof portText, "%d", port);

    aMulticast* m = new (std::nothrow) aMulticast;
    if (!m)
        return nullptr;
    m->role = role;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    m->group = sResolve(groupText, portText, hints);
    if (m->group) {
        addrinfo bindHints{};
        bindHints.ai_family = m->group->ai_family;
        bindHints.ai_socktype = m->group->ai_socktype;
        bindHints.ai_protocol = m->group->ai_protocol;
        if (role == aMULTICAST_SENDER) {
            m->bindAddress = sResolve(interfaceText, "0", bindHints);
        } else {
            bindHints.ai_flags = AI_PASSIVE;
            m->bindAddress = sResolve(nullptr, portText, bindHints);
        }
        m->interfaceAddress = sResolve(interfaceText, "0", bindHints);
    }
    if (m->group && m->bindAddress && m->interfaceAddress) {
        m->socket = ::socket(m->group->ai_family, m->group->ai_socktype | SOCK_CLOEXEC, m->group->ai_protocol);
        if (m->socket >= 0 && sConfigure(m))
            return m;
    }
    aMulticast_Destroy(&m);
    return nullptr;
}

int aMulticast_Send(aMulticast* m, const void* data, uint32_t length)
{
    if (!m)
        return aMULTICAST_NULL;
    if (m->role != aMULTICAST_SENDER)
        return aMULTICAST_WRONG_ROLE;
    const ssize_t n = sendto(m->socket, data, length, 0, m->group->ai_addr, m->group->ai_addrlen);
    return n < 0 ? aMULTICAST_FAILED : static_cast<int>(n);
}

int aMulticast_Receive(aMulticast* m, void* buffer, size_t size)
{
    if (!m)
        return aMULTICAST_NULL;
    if (m->role != aMULTICAST_RECEIVER)
        return aMULTICAST_WRONG_ROLE;
    const ssize_t n = recv(m->socket, buffer, size, 0);
    return n < 0 ? aMULTICAST_FAILED : static_cast<int>(n);
}

int aMulticast_Destroy(aMulticast** endpoint)
{
    if (!endpoint || !*endpoint)
        return aMULTICAST_NULL;
    aMulticast* m = *endpoint;
    if (m->group)
        freeaddrinfo(m->group);
    if (m->bindAddress)
        freeaddrinfo(m->bindAddress);
    if (m->interfaceAddress)
        freeaddrinfo(m->interfaceAddress);
    if (m->socket >= 0)
        close(m->socket);
    delete m;
    *endpoint = nullptr;
    return 0;
}
