// What one simulated LPC17xx boot ROM is: its identity, memory sizes, echo
// state after reset, and the faults armed on it. Filled by lpcsim's options
// or directly by tests; read by LpcBootRom.
#pragma once

#include <array>
#include <cstdint>

namespace lpcsim {

struct LpcFaults {
    bool silent = false;    // answers nothing at all
    bool noSync = false;    // never answers the autobaud "?"
    bool garbage = false;   // answers every "?" and every line with noise
    int resendCount = 0;    // the first N write checksums are answered RESEND
    char refuseCommand = 0; // this command letter is refused ...
    int refuseCode = 1;     // ... with this return code
};

struct LpcConfig {
    uint32_t partId = 0x26013F37; // LPC1768
    std::array<uint32_t, 4> serial = {0x12345678u, 0x9ABCDEF0u, 0x0F1E2D3Cu, 0xA5A55A5Au};
    int bootMajor = 4;
    int bootMinor = 1;
    uint32_t flashSize = 512 * 1024;
    uint32_t ramBase = 0x10000000;
    uint32_t ramSize = 32 * 1024;
    bool echo = true;
    LpcFaults faults;
};

} // namespace lpcsim
