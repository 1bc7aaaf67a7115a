// Fuzz harness: arbitrary serial replies of an LPC boot ROM into the parsers
// the ISP client runs them through: return-code lines (with and without
// echo), code names, query numbers and UU-encoded data lines. Checks that a
// data line never fills more than its count or the room given, and that any
// bytes survive a round trip through a UU line.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "recovery/ISPReply.h"
#include "recovery/NXPSerialClass.h"
#include "recovery/UUEncoding.h"

namespace {

void parseLine(const std::string& line)
{
    for (bool echo : {false, true}) {
        const long code = ispreply::statusCode(line.c_str(), line.size(), echo);
        if (code < -1)
            abort();
        if (ispreply::statusIndex(line.size(), echo) >= (line.empty() ? 1 : line.size()))
            abort();
        if (!ispreply::errorName(code))
            abort();
    }
    if (!NXPSerialClass::GetErrorText(line.c_str()))
        abort();
    int64_t value = 0;
    ispreply::parseNumber(line.c_str(), &value);

    // Decoding into a buffer with guard bytes on both sides, at every room
    // from none to more than a line can carry.
    for (size_t room : {size_t(0), size_t(1), size_t(4), size_t(44), size_t(45), size_t(63)}) {
        std::vector<uint8_t> buffer(room + 16, 0xA5);
        const size_t n = NXPSerialClass::uudecode(buffer.data() + 8, room, line.c_str());
        if (n > room || n > 63)
            abort();
        for (size_t i = 0; i < 8; ++i)
            if (buffer[i] != 0xA5 || buffer[8 + room + i] != 0xA5)
                abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The reply as the client meets it: lines ending in LF, NUL-free text.
    std::string reply(reinterpret_cast<const char*>(data), size);
    size_t start = 0;
    while (start <= reply.size()) {
        size_t end = reply.find('\n', start);
        if (end == std::string::npos)
            end = reply.size();
        std::string line = reply.substr(start, end - start);
        line = line.substr(0, std::strlen(line.c_str()));
        parseLine(line);
        start = end + 1;
    }

    // Any bytes, a line at a time, come back unchanged through a UU line.
    for (size_t at = 0; at < size; at += uu::MAX_LINE_BYTES) {
        const size_t n = std::min(uu::MAX_LINE_BYTES, size - at);
        char line[uu::LINE_BUFFER];
        const size_t length = NXPSerialClass::uuencode(line, data + at, n);
        if (length != 1 + 4 * ((n + 2) / 3) || std::strlen(line) != length)
            abort();
        uint8_t back[uu::MAX_LINE_BYTES];
        if (NXPSerialClass::uudecode(back, sizeof(back), line) != n || std::memcmp(back, data + at, n) != 0)
            abort();
    }
    return 0;
}
