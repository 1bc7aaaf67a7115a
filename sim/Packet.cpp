// Packet helpers for the simulated module: construction, wire form, log text
// and the host-packet acceptance rules.
#include "sim/Packet.h"

#include <algorithm>
#include <stdexcept>

namespace modsim {

Packet Packet::make(uint8_t address, const uint8_t* bytes, size_t n) {
    if (n > kMaxData) throw std::length_error("packet data longer than 28 bytes");
    Packet p;
    p.address = address;
    p.size = static_cast<uint8_t>(n);
    if (n) std::copy(bytes, bytes + n, p.data.begin());
    return p;
}

Packet Packet::make(uint8_t address, std::initializer_list<uint8_t> bytes) {
    return make(address, bytes.begin(), bytes.size());
}

void Packet::appendWire(std::vector<uint8_t>& out) const {
    out.push_back(address);
    out.push_back(size);
    out.insert(out.end(), data.begin(), data.begin() + size);
}

std::vector<uint8_t> Packet::wire() const {
    std::vector<uint8_t> v;
    appendWire(v);
    return v;
}

std::string Packet::text() const {
    auto w = wire();
    return bytesText(w.data(), w.size());
}

bool Packet::operator==(const Packet& o) const {
    return address == o.address && size == o.size &&
           std::equal(data.begin(), data.begin() + size, o.data.begin());
}

std::string bytesText(const uint8_t* p, size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        if (i) s += ' ';
        s += std::to_string(p[i]);
    }
    return s;
}

const char* hostPacketFault(const Packet& p) {
    if (p.address == 0) return "zero-address";
    if (p.size > kMaxData) return "oversize-length";
    if (p.address == kQueryAddress) return p.size == 0 ? nullptr : "query-with-data";
    if (p.address == kRouteAddress) {
        if (p.size != 1) return "route-length";
        return p.data[0] <= 1 ? nullptr : "route-value";
    }
    if (p.address & 1) return "odd-address";
    return nullptr;
}

} // namespace modsim
