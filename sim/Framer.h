// Framer: turns the host's byte stream into packets (or rejections) and the
// module's packets into bytes. Two framings exist: plain wire bytes (TCP, a
// plain serial line) and COBS frames with CRC-8 (packetized serial line).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/Packet.h"

namespace modsim {

struct FrameEvent {
    bool ok = false;            // true: packet is valid; false: rejected
    Packet packet;              // the packet when ok
    std::string reason;         // rejection reason when !ok
    std::vector<uint8_t> bytes; // the rejected bytes when !ok
};

class Framer {
public:
    virtual ~Framer() = default;
    // Takes the next bytes from the host; appends one event per packet or
    // rejection completed by them.
    virtual void feed(const uint8_t* p, size_t n, std::vector<FrameEvent>& out) = 0;
    // Appends the line form of a packet sent by the module.
    virtual void encode(const Packet& p, std::vector<uint8_t>& out) const = 0;
    // Forgets any partly received packet (new connection).
    virtual void reset() = 0;
    virtual const char* name() const = 0;
};

// Plain framing: address, size, data. A refused byte is dropped and
// framing starts again at the next byte.
std::unique_ptr<Framer> makeRawFramer();
// COBS framing: packet bytes + CRC-8, stuffed, ended by a zero byte.
std::unique_ptr<Framer> makeCobsFramer();

} // namespace modsim
