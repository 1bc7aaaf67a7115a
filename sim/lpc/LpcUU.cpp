// UU-encoding of ISP data lines for the simulator; see LpcUU.h.
#include "sim/lpc/LpcUU.h"

namespace lpcsim {

namespace {
char enc(unsigned v)
{
    v &= 0x3F;
    return v ? static_cast<char>(v + 0x20) : '`';
}
} // namespace

std::string uuEncodeLine(const uint8_t* data, size_t count)
{
    std::string line(1, enc(static_cast<unsigned>(count)));
    for (size_t i = 0; i < count; i += 3) {
        const unsigned a = data[i], b = i + 1 < count ? data[i + 1] : 0, c = i + 2 < count ? data[i + 2] : 0;
        const unsigned group = (a << 16) | (b << 8) | c;
        for (int shift = 18; shift >= 0; shift -= 6)
            line += enc(group >> shift);
    }
    return line;
}

std::optional<std::vector<uint8_t>> uuDecodeLine(const std::string& line)
{
    if (line.empty())
        return std::nullopt;
    for (char ch : line)
        if (ch < 0x20 || ch > 0x60)
            return std::nullopt;
    const size_t n = (static_cast<unsigned>(line[0]) - 0x20) & 0x3F;
    if (n == 0 || n > 45 || line.size() < 1 + 4 * ((n + 2) / 3))
        return std::nullopt;
    std::vector<uint8_t> out;
    for (size_t at = 1; out.size() < n; at += 4) {
        unsigned group = 0;
        for (int k = 0; k < 4; ++k)
            group = (group << 6) | ((static_cast<unsigned>(line[at + k]) - 0x20) & 0x3F);
        for (int shift = 16; shift >= 0 && out.size() < n; shift -= 8)
            out.push_back(static_cast<uint8_t>(group >> shift));
    }
    return out;
}

} // namespace lpcsim
