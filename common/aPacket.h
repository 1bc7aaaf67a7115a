// aPacket: one link packet (module address, data size, up to 28 data bytes)
// and its byte-by-byte assembly from a stream. Built by the link engine's
// input thread, queued by the packet FIFOs, filled and read by the entity
// classes. On the wire a packet is address, size, then the data bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/aErr.h"

constexpr uint16_t aPACKET_CHECK = 0xBEEF;   // validity tag of a live packet
constexpr uint8_t aPACKET_MAX_DATA = 28;     // data bytes in the largest packet
constexpr uint8_t aPACKET_MAX_WIRE = aPACKET_MAX_DATA + 2;  // its wire length

struct aPacket {
    uint16_t check;    // aPACKET_CHECK while valid, 0 once destroyed
    uint8_t count;     // wire bytes taken in so far (address and size included)
    uint8_t address;   // module address
    uint8_t dataSize;  // data bytes, 0 to 28
    uint8_t data[aPACKET_MAX_DATA];
};

inline bool aVALIDPACKET(const aPacket* packet)
{
    return packet != nullptr && packet->check == aPACKET_CHECK;
}

// A new, valid, empty packet; null when memory runs out.
aPacket* aPacket_Create();
// A complete packet holding a copy of the data; null when data is null or
// length is above 28.
aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data);
// A new packet equal to the source; null when the source is not valid.
aPacket* aPacket_Copy(const aPacket* packet);
// Frees the packet and clears the caller's pointer.
aErr aPacket_Destroy(aPacket** packet);

// Data byte 0 (command), byte 1 & 0x3F (option) and byte 2 & 0x1F (index).
aErr aPacket_GetCmd(const aPacket* packet, uint8_t* out);
aErr aPacket_GetOption(const aPacket* packet, uint8_t* out);
aErr aPacket_GetIndex(const aPacket* packet, uint8_t* out);

// Clears count, address, size and data so the packet can be assembled anew.
aErr aPacket_Reset(aPacket* packet);
// Takes the next wire byte of a packet under assembly.
aErr aPacket_AddByte(aPacket* packet, uint8_t byte);
// True when the packet is valid and all its announced bytes have arrived.
bool aPacket_IsComplete(const aPacket* packet);
// Writes the wire form into buffer; written (optional) gets its length.
aErr aPacket_GetBytes(const aPacket* packet, uint8_t* buffer, size_t size, size_t* written);
