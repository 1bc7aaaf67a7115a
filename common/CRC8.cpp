// CRC-8 over a 256-entry table built at compile time.
#include "common/CRC8.h"

#include <array>

namespace {

constexpr std::array<uint8_t, 256> sMakeTable()
{
    std::array<uint8_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        uint8_t crc = static_cast<uint8_t>(i);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<uint8_t>((crc >> 1) ^ 0x8C) : static_cast<uint8_t>(crc >> 1);
        table[i] = crc;
    }
    return table;
}

constexpr std::array<uint8_t, 256> sTable = sMakeTable();

} // namespace

uint8_t crc8_update(uint8_t crc, uint8_t byte)
{
    return sTable[crc ^ byte];
}

uint8_t crc8_create(const uint8_t* data, size_t length)
{
    uint8_t crc = 0;
    for (size_t i = 0; data && i < length; ++i)
        crc = crc8_update(crc, data[i]);
    return crc;
}

bool crc8_check(const uint8_t* data, size_t length, uint8_t expected)
{
    return crc8_create(data, length) == expected;
}
