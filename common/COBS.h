// Consistent Overhead Byte Stuffing: turns a body into bytes free of 0x00 so
// that a zero can end each frame. Used by the packetized serial stream.
#pragma once

#include <cstddef>
#include <cstdint>

// Encodes length bytes from source into destination, which needs room for
// length + length / 254 + 1 bytes. Returns the encoded length.
size_t cobs_encode(const uint8_t* source, size_t length, uint8_t* destination);
// Encodes within buffer, which needs room for the encoded length.
size_t cobs_encode_inplace(uint8_t* buffer, size_t length);
// Decodes length encoded bytes into destination (at most length bytes).
// Returns the decoded length, or 0 when the input is not valid COBS (a zero
// byte inside it, or a code byte that points beyond its end).
size_t cobs_decode(const uint8_t* source, size_t length, uint8_t* destination);
size_t cobs_decode_inplace(uint8_t* buffer, size_t length);
