// base64: encoder and decoder of the RFC 4648 alphabet. See base64.h.
#include "updater/base64.h"

#include <array>
#include <cstdint>
#include <new>

namespace {

constexpr char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr unsigned char INVALID = 0xFF;

// Inverse of the alphabet; "=" decodes as zero bits, everything else is INVALID.
constexpr std::array<unsigned char, 256> makeTable() {
    std::array<unsigned char, 256> table{};
    for (auto& entry : table) entry = INVALID;
    for (unsigned char i = 0; i < 64; ++i) table[static_cast<unsigned char>(ALPHABET[i])] = i;
    table[static_cast<unsigned char>('=')] = 0;
    return table;
}

constexpr std::array<unsigned char, 256> DECODE = makeTable();

}  // namespace

unsigned char* base64_decode(const char* text, size_t length, size_t* outLength) {
    if (length % 4 != 0 || (length > 0 && !text)) return nullptr;
    size_t size = length / 4 * 3;
    if (length > 0 && text[length - 1] == '=') --size;
    if (length > 1 && text[length - 2] == '=') --size;

    unsigned char* out = new (std::nothrow) unsigned char[size + 1];
    if (!out) return nullptr;

    size_t o = 0;
    for (size_t i = 0; i < length; i += 4) {
        uint32_t group = 0;
        for (size_t k = 0; k < 4; ++k) {
            const unsigned char value = DECODE[static_cast<unsigned char>(text[i + k])];
            if (value == INVALID) {
                delete[] out;
                return nullptr;
            }
            group = group << 6 | value;
        }
        const unsigned char bytes[3] = {static_cast<unsigned char>(group >> 16),
                                        static_cast<unsigned char>(group >> 8),
                                        static_cast<unsigned char>(group)};
        for (size_t k = 0; k < 3 && o < size; ++k) out[o++] = bytes[k];
    }
    out[size] = 0;
    if (outLength) *outLength = size;
    return out;
}

char* base64_encode(const unsigned char* bytes, size_t length, size_t* outLength) {
    if (length > 0 && !bytes) return nullptr;
    const size_t size = (length + 2) / 3 * 4;
    char* out = new (std::nothrow) char[size + 1];
    if (!out) return nullptr;

    size_t o = 0;
    for (size_t i = 0; i < length; i += 3) {
        const size_t n = length - i < 3 ? length - i : 3;
        uint32_t group = static_cast<uint32_t>(bytes[i]) << 16;
        if (n > 1) group |= static_cast<uint32_t>(bytes[i + 1]) << 8;
        if (n > 2) group |= bytes[i + 2];
        out[o++] = ALPHABET[group >> 18 & 0x3F];
        out[o++] = ALPHABET[group >> 12 & 0x3F];
        out[o++] = n > 1 ? ALPHABET[group >> 6 & 0x3F] : '=';
        out[o++] = n > 2 ? ALPHABET[group & 0x3F] : '=';
    }
    out[size] = 0;
    if (outLength) *outLength = size;
    return out;
}
