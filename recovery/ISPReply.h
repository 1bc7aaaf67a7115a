// Parsing of the text lines an LPC serial ISP boot ROM answers: the return
// code of a command and the numbers of query answers. Pure functions over
// the received bytes, used by NXPSerialClass and by the reply fuzz harness.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ispreply {

// Highest return code with a name of its own; ERROR_NAMES has one row more
// ("Unknown error").
constexpr int MAX_ERROR = 20;
extern const char* const ERROR_NAMES[MAX_ERROR + 1];

// Name of a return code; negative codes and codes above MAX_ERROR give
// "Unknown error".
const char* errorName(long code);

// Where the status character sits in a return-code line of count characters:
// with echo on and more than 2 characters, the last character before the
// closing CR LF (count - 3); otherwise the first.
size_t statusIndex(size_t count, bool echo);

// The return code a line carries, or -1 when it holds none. The code is the
// run of decimal digits that ends at statusIndex (so an echo remnant in front
// of it is passed over); a line of 0 CR LF gives 0, 19 CR LF gives 19.
long statusCode(const char* line, size_t count, bool echo);

// Reads a number with automatic base (0x for hex, leading 0 for octal) from
// the start of a line, skipping leading blanks. False when no digits are there.
bool parseNumber(const char* line, int64_t* value);

} // namespace ispreply
