// CRC-8 of the packetized serial framing: polynomial x^8 + x^5 + x^4 + 1,
// reflected (0x8C), initial value 0, no final inversion. Used by the COBS
// stream to seal and check every frame.
#pragma once

#include <cstddef>
#include <cstdint>

uint8_t crc8_update(uint8_t crc, uint8_t byte);
uint8_t crc8_create(const uint8_t* data, size_t length);
bool crc8_check(const uint8_t* data, size_t length, uint8_t expected);
