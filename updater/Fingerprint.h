// Fingerprint: a chip's 128-bit identity as four 32-bit words. Read by the
// recovery flows, printed by the command line, sent to the update server and
// used as the key that unscrambles recovery firmware.
#pragma once

#include <cstdint>

struct Fingerprint {
    uint32_t words[4] = {0, 0, 0, 0};
};

// The serial number that stands for no module in particular.
constexpr uint32_t DEFAULT_RECOVERY_SERIAL = 0xBDDEADFA;
