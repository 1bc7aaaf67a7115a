// UU-encoding of the boot-ROM data lines of the LPC serial ISP: one count
// character, then every 3 bytes as 4 six-bit characters (zero written as a
// backquote), and the plain byte sum sent after each group of lines.
// Used by NXPSerialClass and by the reply fuzz harness.
#pragma once

#include <cstddef>
#include <cstdint>

namespace uu {

// Longest data run one line carries, and the characters such a line needs
// (count character, 4 per 3-byte group, terminating NUL).
constexpr size_t MAX_LINE_BYTES = 45;
constexpr size_t LINE_BUFFER = 1 + 4 * ((MAX_LINE_BYTES + 2) / 3) + 1;

// The character for a 6-bit value: value + 32, but 0 becomes '`'.
char uuchar(uint8_t value);
// Encodes count bytes (at most MAX_LINE_BYTES; more are cut) into a
// NUL-terminated line; line needs LINE_BUFFER characters. Returns its length.
size_t uuencode(char* line, const uint8_t* data, size_t count);
// Decodes one line into out. When the count character asks for more than
// room bytes, nothing is stored and 0 is returned. A line shorter than its
// count says stops decoding (the rest of out is left as it was) and sets
// *overrun when given. Returns the count the line announces.
size_t uudecode(uint8_t* out, size_t room, const char* line, bool* overrun = nullptr);
// Plain unsigned 32-bit sum of the bytes.
uint32_t sum(const uint8_t* data, size_t count);

} // namespace uu
