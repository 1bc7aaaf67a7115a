// Packet: one link packet as the simulated module sees it (module address,
// data size 0..28, data bytes). Used by the framers, the module model and the
// simulator's transports. Deliberately independent of the host library.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace modsim {

constexpr uint8_t kMaxData = 28;
constexpr uint8_t kQueryAddress = 173; // module-address query, no data
constexpr uint8_t kRouteAddress = 175; // route control, one byte 0 or 1

struct Packet {
    uint8_t address = 0;
    uint8_t size = 0;
    std::array<uint8_t, kMaxData> data{};

    // Throws std::length_error when more than 28 data bytes are given.
    static Packet make(uint8_t address, const uint8_t* bytes, size_t n);
    static Packet make(uint8_t address, std::initializer_list<uint8_t> bytes);

    // Wire form: address, size, data.
    void appendWire(std::vector<uint8_t>& out) const;
    std::vector<uint8_t> wire() const;
    // Wire bytes in decimal separated by spaces, e.g. "6 2 0 0" (the log form).
    std::string text() const;

    bool operator==(const Packet& o) const;
};

// Bytes in decimal separated by spaces.
std::string bytesText(const uint8_t* p, size_t n);
inline std::string bytesText(const std::vector<uint8_t>& v) {
    return bytesText(v.data(), v.size());
}

// Rules a module applies to every packet from the host once it is framed:
// a zero address, an odd address other than 173/175, a query with data and
// a route-control packet that is not exactly one byte 0 or 1 are refused.
// Returns the rejection reason, or nullptr when the packet is acceptable.
const char* hostPacketFault(const Packet& p);

} // namespace modsim
