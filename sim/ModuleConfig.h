// ModuleConfig: the identity and behaviour settings of one simulated module
// (serial number, model, address, version, build, name, heartbeats, router
// role, upgrade behaviour), and
// packVersion, the 32-bit version packing a module reports.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "sim/UpgradeConfig.h"

namespace modsim {

struct ModuleConfig {
    uint32_t serial = 0x1A2B3C4D;
    uint8_t model = 19;
    uint8_t address = 6;  // even, non-zero
    uint32_t version = 0; // packed; 0 means packVersion(2, 15, 0)
    uint32_t build = 1000;
    std::string name = "Simulated module";
    unsigned heartbeatMs = 0;   // 0: no heartbeats
    uint8_t heartbeatCode = 0;  // 0 "up", 1 "down"
    bool router = false;        // routes packets to modules on its module network
    uint8_t routerAddress = 0;  // router address it reports; 0: its own address
    bool routeDefault = true;   // a router routes to a new connection until told otherwise
    uint8_t buildReplySize = 6; // data bytes of the build reply (less is a fault)
    uint32_t protocolFeatures = 0x80000000; // bit 31: pooled packets
    // The chip's unique id (system option 39, subindex 0..3).
    std::array<uint32_t, 4> uniqueId = {0x4B3C2D1Eu, 0x8778695Au, 0x0D15EA5Eu, 0x7E57AB1Eu};
    UpgradeConfig upgrade;

    uint32_t packedVersion() const;
};

// Current format (0x2F, major, minor, patch) when major > 2 or major == 2
// and minor > 14; else legacy (major:4, minor:4, patch in the low 24 bits,
// of which the low 8 are used).
uint32_t packVersion(unsigned major, unsigned minor, unsigned patch);

} // namespace modsim
