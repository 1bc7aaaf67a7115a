// UU-encoding of LPC serial ISP data lines; see UUEncoding.h.
#include "recovery/UUEncoding.h"

#include <cstring>

namespace uu {

char uuchar(uint8_t value)
{
    value &= 0x3F;
    return value == 0 ? '`' : static_cast<char>(value + 32);
}

size_t uuencode(char* line, const uint8_t* data, size_t count)
{
    if (count > MAX_LINE_BYTES)
        count = MAX_LINE_BYTES;
    size_t at = 0;
    line[at++] = uuchar(static_cast<uint8_t>(count));
    for (size_t i = 0; i < count; i += 3) {
        const uint8_t b0 = data[i];
        const uint8_t b1 = i + 1 < count ? data[i + 1] : 0;
        const uint8_t b2 = i + 2 < count ? data[i + 2] : 0;
        line[at++] = uuchar(b0 >> 2);
        line[at++] = uuchar(static_cast<uint8_t>((b0 << 4) | (b1 >> 4)));
        line[at++] = uuchar(static_cast<uint8_t>((b1 << 2) | (b2 >> 6)));
        line[at++] = uuchar(b2);
    }
    line[at] = '\0';
    return at;
}

size_t uudecode(uint8_t* out, size_t room, const char* line, bool* overrun)
{
    if (overrun)
        *overrun = false;
    if (!line || !line[0])
        return 0;
    auto six = [](char c) { return static_cast<uint8_t>((static_cast<uint8_t>(c) - 32) & 0x3F); };
    const size_t n = six(line[0]);
    if (n > room)
        return 0;
    const size_t length = std::strlen(line);
    size_t stored = 0;
    for (size_t at = 1; stored < n; at += 4) {
        if (at + 4 > length) {
            if (overrun)
                *overrun = true;
            break;
        }
        const uint8_t c0 = six(line[at]), c1 = six(line[at + 1]), c2 = six(line[at + 2]), c3 = six(line[at + 3]);
        const uint8_t bytes[3] = {static_cast<uint8_t>((c0 << 2) | (c1 >> 4)),
                                  static_cast<uint8_t>((c1 << 4) | (c2 >> 2)),
                                  static_cast<uint8_t>((c2 << 6) | c3)};
        for (size_t k = 0; k < 3 && stored < n; ++k)
            out[stored++] = bytes[k];
    }
    return n;
}

uint32_t sum(const uint8_t* data, size_t count)
{
    uint32_t total = 0;
    for (size_t i = 0; i < count; ++i)
        total += data[i];
    return total;
}

} // namespace uu
