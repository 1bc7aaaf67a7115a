// DeviceInfo: one discovered module as the updater lists it. Produced by the
// discovery flows, printed by the command line's device table.
#pragma once

#include <cstdint>
#include <string>

#include "common/aLinkSpec.h"

struct DeviceInfo {
    linkSpec spec{};          // how to reach the module
    uint16_t i2cAddress = 0;  // address at which it answered a router scan, else 0
    uint32_t build = 0;       // firmware build number, 0 when unread
    uint8_t major = 0;
    uint8_t minor = 0;
    uint32_t patch = 0;
    std::string modelName;
    std::string deviceName;   // empty for firmware before 2.10.4 or when unread
    uint32_t error = 0;       // aErr of the step that failed, 0 when all succeeded
};
