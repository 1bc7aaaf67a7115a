// COBS encoding/decoding and CRC-8/MAXIM for the simulated serial module.
#include "sim/Cobs.h"

#include <array>

namespace modsim {
namespace {

constexpr std::array<uint8_t, 256> makeCrcTable() {
    std::array<uint8_t, 256> t{};
    for (int i = 0; i < 256; ++i) {
        uint8_t c = static_cast<uint8_t>(i);
        for (int b = 0; b < 8; ++b)
            c = (c & 1) ? static_cast<uint8_t>((c >> 1) ^ 0x8C) : static_cast<uint8_t>(c >> 1);
        t[i] = c;
    }
    return t;
}
constexpr auto kCrcTable = makeCrcTable();

} // namespace

uint8_t crc8(const uint8_t* data, size_t n, uint8_t crc) {
    for (size_t i = 0; i < n; ++i)
        crc = kCrcTable[crc ^ data[i]];
    return crc;
}

std::vector<uint8_t> cobsEncode(const uint8_t* data, size_t n) {
    std::vector<uint8_t> out;
    out.reserve(n + n / 254 + 2);
    size_t codePos = out.size();
    out.push_back(0);
    uint8_t code = 1;
    for (size_t i = 0; i < n; ++i) {
        if (data[i] == 0) {
            out[codePos] = code;
            codePos = out.size();
            out.push_back(0);
            code = 1;
            continue;
        }
        out.push_back(data[i]);
        if (++code == 0xFF) {
            out[codePos] = code;
            codePos = out.size();
            out.push_back(0);
            code = 1;
        }
    }
    out[codePos] = code;
    return out;
}

std::optional<std::vector<uint8_t>> cobsDecode(const uint8_t* data, size_t n) {
    std::vector<uint8_t> out;
    out.reserve(n);
    size_t i = 0;
    while (i < n) {
        uint8_t code = data[i++];
        if (code == 0) return std::nullopt;
        if (i + code - 1 > n) return std::nullopt;
        for (int k = 1; k < code; ++k) {
            if (data[i] == 0) return std::nullopt;
            out.push_back(data[i++]);
        }
        if (code != 0xFF && i < n) out.push_back(0);
    }
    return out;
}

} // namespace modsim
