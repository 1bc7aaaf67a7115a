// Parsing of LPC serial ISP reply lines; see ISPReply.h.
#include "recovery/ISPReply.h"

#include <cerrno>
#include <cstdlib>

namespace ispreply {

const char* const ERROR_NAMES[MAX_ERROR + 1] = {
    "CMD_SUCCESS",
    "INVALID_COMMAND",
    "SRC_ADDR_ERROR",
    "DST_ADDR_ERROR",
    "SRC_ADDR_NOT_MAPPED",
    "DST_ADDR_NOT_MAPPED",
    "COUNT_ERROR",
    "INVALID_SECTOR",
    "SECTOR_NOT_BLANK",
    "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION",
    "COMPARE_ERROR",
    "BUSY",
    "PARAM_ERROR",
    "ADDR_ERROR",
    "ADDR_NOT_MAPPED",
    "CMD_LOCKED",
    "INVALID_CODE",
    "INVALID_BAUD_RATE",
    "INVALID_STOP_BIT",
    "CODE_READ_PROTECTION_ENABLED",
    "Unknown error",
};

const char* errorName(long code)
{
    if (code < 0 || code > MAX_ERROR)
        return ERROR_NAMES[MAX_ERROR];
    return ERROR_NAMES[code];
}

size_t statusIndex(size_t count, bool echo) { return (echo && count > 2) ? count - 3 : 0; }

long statusCode(const char* line, size_t count, bool echo)
{
    if (!line || count == 0)
        return -1;
    const size_t at = statusIndex(count, echo);
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (!digit(line[at]))
        return -1;
    size_t first = at;
    if (at > 0) {
        // With echo the code ends the line; walk back over its digits.
        while (first > 0 && digit(line[first - 1]))
            --first;
    }
    long code = 0;
    for (size_t i = first; i < count && digit(line[i]); ++i) {
        if (code > 1000000)
            return MAX_ERROR + 1; // absurdly long: no code the chip has
        code = code * 10 + (line[i] - '0');
    }
    return code;
}

bool parseNumber(const char* line, int64_t* value)
{
    if (!line || !value)
        return false;
    char* end = nullptr;
    errno = 0;
    const long long parsed = std::strtoll(line, &end, 0);
    if (end == line)
        return false;
    if (errno == ERANGE) {
        // Words above the signed range still come as unsigned text.
        errno = 0;
        const unsigned long long u = std::strtoull(line, &end, 0);
        if (errno == ERANGE)
            return false;
        *value = static_cast<int64_t>(u);
        return true;
    }
    *value = parsed;
    return true;
}

} // namespace ispreply
