// base64: the standard alphabet of RFC 4648 with "=" padding. The update
// server delivers BIRD files as base64 text; the download flow decodes them.
#pragma once

#include <cstddef>

// Decodes length characters of text. Returns a new[]-allocated buffer of
// *outLength bytes followed by a NUL byte, or null when the length is not a
// multiple of 4, a character lies outside the alphabet and "=", or memory runs
// out. Each of the last two characters that is "=" shortens the output by one
// byte; an "=" elsewhere stands for zero bits. Empty input gives an empty
// buffer. The caller frees the buffer with delete[].
unsigned char* base64_decode(const char* text, size_t length, size_t* outLength);

// Encodes length bytes. Returns a new[]-allocated NUL-terminated text of
// *outLength characters, or null when memory runs out. Freed with delete[].
char* base64_encode(const unsigned char* bytes, size_t length, size_t* outLength);
