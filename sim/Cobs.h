// COBS byte stuffing and the Dallas/Maxim CRC-8 used on packetized serial
// lines, written for the simulated module (the serial framer uses them).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace modsim {

// CRC-8/MAXIM: reflected polynomial 0x8C, initial value 0, no final xor.
uint8_t crc8(const uint8_t* data, size_t n, uint8_t crc = 0);

// Encodes n bytes; the result never contains 0 and has n + 1 bytes for
// inputs shorter than 254 bytes (link frames are at most 31). The frame
// delimiter is not appended.
std::vector<uint8_t> cobsEncode(const uint8_t* data, size_t n);

// Strict decoding of one encoded body (without its delimiter): an embedded
// zero or a code byte that points past the end gives nullopt.
std::optional<std::vector<uint8_t>> cobsDecode(const uint8_t* data, size_t n);

} // namespace modsim
