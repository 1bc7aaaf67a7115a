// COBS encoder and decoder.
#include "common/COBS.h"

#include <vector>

size_t cobs_encode(const uint8_t* source, size_t length, uint8_t* destination)
{
    size_t out = 1;      // next output position
    size_t codeAt = 0;   // where the current code byte goes
    uint8_t code = 1;
    for (size_t i = 0; i < length; ++i) {
        if (source[i] == 0) {
            destination[codeAt] = code;
            codeAt = out++;
            code = 1;
            continue;
        }
        destination[out++] = source[i];
        if (++code == 0xFF) {
            destination[codeAt] = code;
            codeAt = out++;
            code = 1;
        }
    }
    destination[codeAt] = code;
    return out;
}

size_t cobs_encode_inplace(uint8_t* buffer, size_t length)
{
    // The output runs at most one byte ahead of the input for the frames of
    // this system, but a private copy keeps it right for any length.
    std::vector<uint8_t> copy(buffer, buffer + length);
    return cobs_encode(copy.data(), length, buffer);
}

size_t cobs_decode(const uint8_t* source, size_t length, uint8_t* destination)
{
    size_t in = 0;
    size_t out = 0;
    while (in < length) {
        const uint8_t code = source[in++];
        if (code == 0)
            return 0;
        const size_t run = code - 1u;
        if (in + run > length)
            return 0;
        for (size_t k = 0; k < run; ++k) {
            if (source[in] == 0)
                return 0;
            destination[out++] = source[in++];
        }
        if (code != 0xFF && in < length)
            destination[out++] = 0;
    }
    return out;
}

size_t cobs_decode_inplace(uint8_t* buffer, size_t length)
{
    // Decoding never writes ahead of the byte it reads, so one buffer is enough.
    return cobs_decode(buffer, length, buffer);
}
