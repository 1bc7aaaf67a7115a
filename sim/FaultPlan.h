// FaultPlan: the faults a simulated module injects into one connection:
// byte faults on what it sends (positions count from 0 per connection, after
// framing), garbage sent before its first answer to an address query, and
// going silent or closing after a number of received packets.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace modsim {

struct FaultPlan {
    std::vector<uint64_t> dropBytes;                       // output positions not sent
    std::vector<std::pair<uint64_t, int>> corruptBytes;    // position, value (-1: xor 0xFF)
    std::vector<std::pair<uint64_t, uint8_t>> insertBytes; // insert value before position
    std::vector<uint8_t> garbage;                          // before the first query answer
    std::optional<uint64_t> muteAfter;                     // answer this many packets, then nothing
    std::optional<uint64_t> closeAfter;                    // answer this many packets, then close
    bool everyConnection = false;                          // false: only the first connection

    bool empty() const {
        return dropBytes.empty() && corruptBytes.empty() && insertBytes.empty() &&
               garbage.empty() && !muteAfter && !closeAfter;
    }
};

} // namespace modsim
