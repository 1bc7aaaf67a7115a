// Fuzz harness: arbitrary line bytes into the COBS/CRC-8 frame decoder of the
// packetized serial stream, and the delivered bytes into packet assembly as
// the link engine does it. Also checks that every delivered frame is a whole
// packet and that encoding any delivered packet gives the frame back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/COBS.h"
#include "common/CRC8.h"
#include "common/aPacket.h"
#include "common/aStream.h"

namespace {

struct Line {
    const uint8_t* data;
    size_t size;
    size_t at;
    std::vector<uint8_t> written;
};

aErr sGet(uint8_t* byte, void* reference)
{
    Line* line = static_cast<Line*>(reference);
    if (line->at >= line->size)
        return aErrNotReady;
    *byte = line->data[line->at++];
    return aErrNone;
}

aErr sWrite(const uint8_t* data, size_t length, void* reference)
{
    Line* line = static_cast<Line*>(reference);
    line->written.insert(line->written.end(), data, data + length);
    return aErrNone;
}

aErr sPut(const uint8_t* byte, void* reference) { return sWrite(byte, 1, reference); }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Line line{data, size, 0, {}};
    aStream* stream = nullptr;
    if (aStream_CreateCobsEncoding(sGet, sPut, sWrite, nullptr, &line, &stream) != aErrNone)
        return 0;
    aPacket* packet = aPacket_Create();
    std::vector<uint8_t> delivered;
    // Each get consumes at least one line byte or delivers one; bound the loop by that.
    for (size_t guard = 0; guard < 4 * size + 64; ++guard) {
        uint8_t byte;
        const aErr err = aStream_Read(stream, &byte, 1);
        if (err == aErrNotReady && line.at >= line.size)
            break;
        if (err != aErrNone)
            continue;
        delivered.push_back(byte);
        if (aPacket_AddByte(packet, byte) != aErrNone || (packet->address & 1)) {
            aPacket_Reset(packet);
            continue;
        }
        if (aPacket_IsComplete(packet)) {
            // A decoded frame always carries whole packets: send it back out
            // and the frame written must decode to the same bytes with a good CRC.
            uint8_t wire[aPACKET_MAX_WIRE];
            size_t length = 0;
            if (aPacket_GetBytes(packet, wire, sizeof(wire), &length) != aErrNone)
                abort();
            line.written.clear();
            if (aStream_Write(stream, wire, length) != aErrNone || line.written.empty()
                || line.written.back() != 0)
                abort();
            uint8_t body[64];
            const size_t n = cobs_decode(line.written.data(), line.written.size() - 1, body);
            if (n != length + 1 || std::memcmp(body, wire, length) != 0 || !crc8_check(body, length, body[length]))
                abort();
            aPacket_Reset(packet);
        }
    }
    aPacket_Destroy(&packet);
    aStream_Destroy(&stream);

    // Round trip of arbitrary bodies through the encoder.
    if (size <= 300) {
        std::vector<uint8_t> encoded(size + size / 254 + 2);
        const size_t e = cobs_encode(data, size, encoded.data());
        if (std::memchr(encoded.data(), 0, e))
            abort();
        std::vector<uint8_t> decoded(e);
        if (cobs_decode(encoded.data(), e, decoded.data()) != size || std::memcmp(decoded.data(), data, size) != 0)
            abort();
    }
    return 0;
}
