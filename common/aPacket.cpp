// Packet records: creation, copying, field getters, byte-by-byte assembly
// from a stream and the wire form.
#include "common/aPacket.h"

#include <cstring>
#include <new>

static const aPacket kTemplate = {aPACKET_CHECK, 0, 0, 0, {}};

aPacket* aPacket_Create()
{
    aPacket* packet = new (std::nothrow) aPacket;
    if (packet)
        *packet = kTemplate;
    return packet;
}

aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data)
{
    if (data == nullptr || length > aPACKET_MAX_DATA)
        return nullptr;
    aPacket* packet = aPacket_Create();
    if (packet == nullptr)
        return nullptr;
    packet->address = address;
    packet->dataSize = length;
    std::memcpy(packet->data, data, length);
    packet->count = static_cast<uint8_t>(length + 2);
    return packet;
}

aPacket* aPacket_Copy(const aPacket* source)
{
    if (!aVALIDPACKET(source))
        return nullptr;
    aPacket* packet = aPacket_Create();
    if (packet == nullptr)
        return nullptr;
    packet->count = source->count;
    packet->address = source->address;
    packet->dataSize = source->dataSize;
    std::memcpy(packet->data, source->data, sizeof packet->data);
    return packet;
}

aErr aPacket_Destroy(aPacket** packet)
{
    if (packet == nullptr || *packet == nullptr)
        return aErrParam;
    aPacket* p = *packet;
    *packet = nullptr;
    // A record without the tag is not ours to free (already destroyed or
    // never made here).
    if (p->check != aPACKET_CHECK)
        return aErrParam;
    p->check = 0;
    delete p;
    return aErrNone;
}

static aErr sGetDataByte(const aPacket* packet, uint8_t index, uint8_t mask, uint8_t* out)
{
    if (out == nullptr)
        return aErrParam;
    if (!aVALIDPACKET(packet) || packet->dataSize <= index || index >= aPACKET_MAX_DATA)
        return aErrPacket;
    *out = static_cast<uint8_t>(packet->data[index] & mask);
    return aErrNone;
}

aErr aPacket_GetCmd(const aPacket* packet, uint8_t* out)
{
    return sGetDataByte(packet, 0, 0xFF, out);
}

aErr aPacket_GetOption(const aPacket* packet, uint8_t* out)
{
    return sGetDataByte(packet, 1, 0x3F, out);
}

aErr aPacket_GetIndex(const aPacket* packet, uint8_t* out)
{
    return sGetDataByte(packet, 2, 0x1F, out);
}

aErr aPacket_Reset(aPacket* packet)
{
    if (!aVALIDPACKET(packet))
        return aErrParam;
    packet->count = 0;
    packet->address = 0;
    packet->dataSize = 0;
    std::memset(packet->data, 0, sizeof packet->data);
    return aErrNone;
}

aErr aPacket_AddByte(aPacket* packet, uint8_t byte)
{
    if (!aVALIDPACKET(packet))
        return aErrParam;
    if (packet->count >= aPACKET_MAX_WIRE) {
        // Count what was offered, but never let the counter wrap round.
        packet->count = aPACKET_MAX_WIRE + 1;
        return aErrOverrun;
    }
    packet->count++;

    if (packet->address == 0) {
        if (byte == 0)
            return aErrPacket;
        packet->address = byte;
        return aErrNone;
    }
    if (packet->dataSize == 0) {
        packet->dataSize = byte;
        return byte > aPACKET_MAX_DATA ? aErrPacket : aErrNone;
    }
    if (packet->count > packet->dataSize + 2)
        return aErrPacket;
    // count is at most 30 here, so the index stays below 28.
    packet->data[packet->count - 3] = byte;
    return aErrNone;
}

bool aPacket_IsComplete(const aPacket* packet)
{
    return aVALIDPACKET(packet) && packet->count == packet->dataSize + 2;
}

aErr aPacket_GetBytes(const aPacket* packet, uint8_t* buffer, size_t size, size_t* written)
{
    if (!aVALIDPACKET(packet) || buffer == nullptr)
        return aErrParam;
    // A size byte refused during assembly stays stored; such a packet has
    // no wire form.
    if (packet->dataSize > aPACKET_MAX_DATA)
        return aErrPacket;
    const size_t length = packet->dataSize + 2u;
    if (size < length) {
        if (written)
            *written = 0;
        return aErrOverrun;
    }
    buffer[0] = packet->address;
    buffer[1] = packet->dataSize;
    std::memcpy(buffer + 2, packet->data, packet->dataSize);
    if (written)
        *written = length;
    return aErrNone;
}
