// UpgradeConfig: how a simulated module takes a firmware update (load base,
// block size, simulated flash, restart delay, the identity of the firmware it
// runs after an update) and the faults it can inject into the conversation.
// Part of ModuleConfig; read by the upgrade handler and the transports.
#pragma once

#include <cstdint>
#include <string>

namespace modsim {

enum class NeverReturn { No, AfterLoad, AfterReboot };

struct UpgradeConfig {
    uint32_t loadBase = 0x10000000; // reported in the INIT reply
    uint16_t blockSize = 1024;      // reported in the PREPARE status; 0 is a fault
    uint32_t flashBase = 0;         // first flash address
    uint32_t flashSize = 4u << 20;  // flash bytes from flashBase
    std::string flashDump;          // file the flash is dumped to on reboot and at stop
    uint32_t newBuild = 0;          // build after an update; 0 keeps the old one
    uint32_t newVersion = 0;        // packed version after an update; 0 keeps the old one
    unsigned restartMs = 300;       // time away while restarting
    bool ueiData = true;            // the loader offers option 10 byte blocks

    // Faults.
    uint8_t initReplySize = 6; // data bytes of the INIT reply (less is a fault)
    bool noLoadReply = false;  // restart into the loader without answering LOAD
    uint64_t shortData = 0;    // the first N DATA chunks are refused with a short count
    uint64_t badSum = 0;       // the first N SUM answers carry a wrong sum
    uint64_t dropAtData = 0;   // drop the link on receiving DATA chunk number N (from 1)
    NeverReturn neverReturn = NeverReturn::No;
};

} // namespace modsim
