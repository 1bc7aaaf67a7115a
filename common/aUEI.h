// uei: one entity value request or reply, and the helpers that read the UEI
// payload of a packet (value byte order, byte-block trailers, payload and
// stream-sample tests). Used by the Link and entity classes, the upgrade
// entity and the stream cache.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/aPacket.h"

// Value types of a uei (3 is not used).
constexpr uint32_t aUEI_VOID = 0;
constexpr uint32_t aUEI_BYTE = 1;
constexpr uint32_t aUEI_SHORT = 2;
constexpr uint32_t aUEI_INT = 4;
constexpr uint32_t aUEI_BYTES = 5;

// Option byte: bits 0-5 option code, bit 6 get request, bit 7 set request;
// a reply to a set carries both bits.
constexpr uint8_t aUEI_OPTION_MASK = 0x3F;
constexpr uint8_t aUEI_OPTION_GET = 0x40;
constexpr uint8_t aUEI_OPTION_SET = 0x80;
constexpr uint8_t aUEI_OPTION_SET_REPLY = 0xC0;
// Specifier byte: bits 0-4 entity index, bit 5 set in requests, bit 6 in
// stream samples, bit 7 in error replies.
constexpr uint8_t aUEI_INDEX_MASK = 0x1F;
constexpr uint8_t aUEI_SPECIFIER_REQUEST = 0x20;
constexpr uint8_t aUEI_SPECIFIER_STREAM = 0x40;
constexpr uint8_t aUEI_SPECIFIER_ERROR = 0x80;
// Byte blocks: up to 24 block bytes per packet, then a trailer byte with
// bit 7 "more follows" and bits 0-6 the sequence number.
constexpr uint8_t aUEI_BYTES_CHUNK = 24;
constexpr uint8_t aUEI_BYTES_CONTINUE = 0x80;
constexpr uint8_t aUEI_BYTES_SEQUENCE_MASK = 0x7F;

struct uei {
    uint8_t module;     // module address (even, non-zero)
    uint8_t command;    // entity class
    uint8_t option;     // option code with request/reply bits
    uint8_t specifier;  // entity index with flag bits
    union {
        uint8_t byteVal;
        uint16_t shortVal;
        uint32_t intVal;
        struct {
            uint8_t* bytes;           // caller's buffer
            uint8_t bytesSequence;    // expected sequence number while receiving
            uint8_t bytesContinue;    // more packets of the block expected
            uint64_t bytesSize;       // bytes to send, or capacity when receiving
            uint64_t* bytesReceived;  // receives the number of bytes received
        };
    };
    uint32_t type;      // aUEI_VOID, aUEI_BYTE, aUEI_SHORT, aUEI_INT or aUEI_BYTES
};

// Big-endian (most significant byte first) value access.
uint16_t aUEI_RetrieveShort(const uint8_t* bytes);
void aUEI_StoreShort(uint8_t* bytes, uint16_t value);
uint32_t aUEI_RetrieveInt(const uint8_t* bytes);
void aUEI_StoreInt(uint8_t* bytes, uint32_t value);
// Converts n words in place from big-endian byte order to host values.
void aUEI_ModifyIntBuffer(uint32_t* words, size_t n);

// Byte-block trailer of a chunk packet (its last data byte).
uint8_t aUEI_getBytesSequence(const aPacket* packet);
bool aUEI_getBytesContinue(const aPacket* packet);
// True for a full chunk packet (data size 27 or 28).
bool aUEI_getBytesFullPacket(const aPacket* packet);

// Whether data byte 0 is a link or system command rather than a UEI command.
bool aUEI_isNotUEIPayload(const aPacket* packet);
bool aUEI_isUEIPayload(const aPacket* packet);
// Whether the packet is a value pushed by a streaming module.
bool aUEI_isStreamPacket(const aPacket* packet);
