// UEI payload helpers: big-endian values, byte-block trailers and the tests
// that tell UEI payloads and stream samples from link and system commands.
#include "common/aUEI.h"

uint16_t aUEI_RetrieveShort(const uint8_t* bytes)
{
    return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

void aUEI_StoreShort(uint8_t* bytes, uint16_t value)
{
    bytes[0] = static_cast<uint8_t>(value >> 8);
    bytes[1] = static_cast<uint8_t>(value);
}

uint32_t aUEI_RetrieveInt(const uint8_t* bytes)
{
    return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16)
         | (static_cast<uint32_t>(bytes[2]) << 8) | static_cast<uint32_t>(bytes[3]);
}

void aUEI_StoreInt(uint8_t* bytes, uint32_t value)
{
    bytes[0] = static_cast<uint8_t>(value >> 24);
    bytes[1] = static_cast<uint8_t>(value >> 16);
    bytes[2] = static_cast<uint8_t>(value >> 8);
    bytes[3] = static_cast<uint8_t>(value);
}

void aUEI_ModifyIntBuffer(uint32_t* words, size_t n)
{
    if (words == nullptr)
        return;
    for (size_t i = 0; i < n; ++i)
        words[i] = aUEI_RetrieveInt(reinterpret_cast<const uint8_t*>(&words[i]));
}

// The trailer byte of a byte-block chunk, or nothing for an empty packet.
static bool sTrailer(const aPacket* packet, uint8_t* trailer)
{
    if (!aVALIDPACKET(packet) || packet->dataSize == 0 || packet->dataSize > aPACKET_MAX_DATA)
        return false;
    *trailer = packet->data[packet->dataSize - 1];
    return true;
}

uint8_t aUEI_getBytesSequence(const aPacket* packet)
{
    uint8_t trailer = 0;
    return sTrailer(packet, &trailer) ? static_cast<uint8_t>(trailer & aUEI_BYTES_SEQUENCE_MASK) : 0;
}

bool aUEI_getBytesContinue(const aPacket* packet)
{
    uint8_t trailer = 0;
    return sTrailer(packet, &trailer) && (trailer & aUEI_BYTES_CONTINUE) != 0;
}

bool aUEI_getBytesFullPacket(const aPacket* packet)
{
    return aVALIDPACKET(packet)
        && (packet->dataSize == aPACKET_MAX_DATA - 1 || packet->dataSize == aPACKET_MAX_DATA);
}

bool aUEI_isNotUEIPayload(const aPacket* packet)
{
    if (!aVALIDPACKET(packet))
        return false;
    // A packet without data carries no UEI command.
    if (packet->dataSize == 0)
        return true;
    switch (packet->data[0]) {
    case 0: case 1: case 2: case 4: case 8: case 9: case 23: case 24:
    case 73: case 94: case 95: case 173: case 175:
        return true;
    default:
        return false;
    }
}

bool aUEI_isUEIPayload(const aPacket* packet)
{
    // No packet is no payload of either kind.
    return aVALIDPACKET(packet) && !aUEI_isNotUEIPayload(packet);
}

bool aUEI_isStreamPacket(const aPacket* packet)
{
    return aVALIDPACKET(packet) && packet->dataSize > 4 && packet->dataSize <= aPACKET_MAX_DATA
        && aUEI_isUEIPayload(packet)
        && (packet->data[1] & (aUEI_OPTION_GET | aUEI_OPTION_SET)) == 0
        && (packet->data[2] & aUEI_SPECIFIER_STREAM) != 0;
}
