// UEI request encoding and reply matching (see UEICodec.h).
#include "device_api/UEICodec.h"

#include <algorithm>

namespace Veltrane::Corvantis {

namespace {

void sAppendValue(const uei& u, std::vector<uint8_t>* data)
{
    switch (u.type) {
    case aUEI_BYTE:
        data->push_back(u.byteVal);
        break;
    case aUEI_SHORT:
        data->push_back(static_cast<uint8_t>(u.shortVal >> 8));
        data->push_back(static_cast<uint8_t>(u.shortVal));
        break;
    case aUEI_INT:
        for (int shift = 24; shift >= 0; shift -= 8)
            data->push_back(static_cast<uint8_t>(u.intVal >> shift));
        break;
    default:
        break;
    }
}

bool sScalarType(uint32_t type)
{
    return type == aUEI_VOID || type == aUEI_BYTE || type == aUEI_SHORT || type == aUEI_INT;
}

} // namespace

aErr ueiRequestData(const uei& request, std::vector<std::vector<uint8_t>>* packets)
{
    packets->clear();
    const std::vector<uint8_t> head{request.command, request.option, request.specifier};
    if (sScalarType(request.type)) {
        packets->push_back(head);
        sAppendValue(request, &packets->back());
        return aErrNone;
    }
    if (request.type != aUEI_BYTES || (!request.bytes && request.bytesSize > 0))
        return aErrParam;
    uint64_t sent = 0;
    uint8_t counter = 0;
    bool more = true;
    while (more) {
        const uint64_t chunk = std::min<uint64_t>(aUEI_BYTES_CHUNK, request.bytesSize - sent);
        more = sent + chunk < request.bytesSize;
        std::vector<uint8_t> data = head;
        data.insert(data.end(), request.bytes + sent, request.bytes + sent + chunk);
        data.push_back(static_cast<uint8_t>((more ? aUEI_BYTES_CONTINUE : 0) | (counter & aUEI_BYTES_SEQUENCE_MASK)));
        packets->push_back(std::move(data));
        sent += chunk;
        ++counter;
    }
    return aErrNone;
}

aErr ueiSubindexRequestData(const uei& request, uint8_t subindex, std::vector<uint8_t>* data)
{
    if (!sScalarType(request.type))
        return aErrParam;
    *data = {request.command, request.option, request.specifier, subindex};
    sAppendValue(request, data);
    return aErrNone;
}

bool ueiReplyMatches(const aPacket* packet, const uei& key)
{
    return aVALIDPACKET(packet) && packet->address == key.module && packet->dataSize >= 3
        && packet->data[0] == key.command && packet->data[1] == key.option
        && (packet->data[2] & aUEI_INDEX_MASK) == key.specifier;
}

void ueiDecodeReply(const aPacket* packet, uei* reply)
{
    const uint8_t* d = packet->data;
    if (d[2] & aUEI_SPECIFIER_ERROR) {
        reply->specifier = d[2];
        // An error reply without its code byte is still an error.
        reply->byteVal = packet->dataSize >= 4 ? d[3] : static_cast<uint8_t>(aErrUnknown);
        return;
    }
    switch (packet->dataSize) {
    case 3:
        reply->type = aUEI_VOID;
        break;
    case 4:
        reply->type = aUEI_BYTE;
        reply->byteVal = d[3];
        break;
    case 5:
        reply->type = aUEI_SHORT;
        reply->shortVal = aUEI_RetrieveShort(d + 3);
        break;
    case 7:
        reply->type = aUEI_INT;
        reply->intVal = aUEI_RetrieveInt(d + 3);
        break;
    default:
        break;
    }
}

} // namespace Veltrane::Corvantis
