// The UEI payloads of the entity requests a host sends and the replies it
// matches: request packets of every value type (byte blocks split into
// 24-byte chunks with trailer bytes), and reply matching and decoding. Used by
// Link's request and reply primitives.
#pragma once

#include <cstdint>
#include <vector>

#include "common/aErr.h"
#include "common/aPacket.h"
#include "common/aUEI.h"

namespace Veltrane::Corvantis {

// Data bytes of the request packets for request (void, byte, short, int or
// bytes). aErrParam for another type or a null block with bytes to send.
aErr ueiRequestData(const uei& request, std::vector<std::vector<uint8_t>>* packets);
// The sub-indexed form: command, option, specifier, subindex, value (void,
// byte, short or int; aErrParam otherwise).
aErr ueiSubindexRequestData(const uei& request, uint8_t subindex, std::vector<uint8_t>* data);

// Whether packet is a reply for key's module, command, option (all 8 bits)
// and index (key.specifier against bits 0-4 of data byte 2).
bool ueiReplyMatches(const aPacket* packet, const uei& key);
// Fills reply from a matching packet: an error reply keeps its specifier byte
// (bit 7 set) and the module's error code in byteVal; otherwise type and value
// follow the data size (3 void, 4 byte, 5 short, 7 int; others change nothing).
void ueiDecodeReply(const aPacket* packet, uei* reply);

} // namespace Veltrane::Corvantis
