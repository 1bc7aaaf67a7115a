// aWeaveConfig: the networked-sharing settings of one Link (whether a sharing
// server goes in front of a direct connection, whether the transport may fall
// back, and where the server listens). Kept by Link, copied by Module when it
// connects through a router, switched off by the updater on every module.
#pragma once

#include <cstdint>

namespace Veltrane::Corvantis {

struct aWeaveConfig {
    bool enabled = true;                   // sharing server in front of direct links; AWEAVE types allowed
    bool fallback = true;                  // try the other transport family when the first finds nothing
    bool localOnly = true;                 // a sharing server binds to the loopback address only
    uint16_t port = 0;                     // receives the TCP port of a sharing server this Link created
    uint32_t networkInterface = 0x0100007F; // IPv4 interface in network byte order (127.0.0.1: every interface)
};

} // namespace Veltrane::Corvantis
