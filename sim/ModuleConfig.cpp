// Version packing and defaults of a simulated module's configuration.
#include "sim/ModuleConfig.h"

namespace modsim {

uint32_t packVersion(unsigned major, unsigned minor, unsigned patch) {
    major &= 0xFF;
    minor &= 0xFF;
    patch &= 0xFF;
    if (major > 2 || (major == 2 && minor > 14))
        return (0x2Fu << 24) | (major << 16) | (minor << 8) | patch;
    return ((major & 0xF) << 28) | ((minor & 0xF) << 24) | patch;
}

uint32_t ModuleConfig::packedVersion() const {
    return version ? version : packVersion(2, 15, 0);
}

} // namespace modsim
