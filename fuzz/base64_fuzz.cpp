// Fuzz harness for base64_decode: any text either is refused or decodes to the
// announced length with a terminating NUL, and what it decodes to survives an
// encode and decode unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cctype>
#include <cstring>
#include <memory>

#include "updater/base64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t length = 0;
    std::unique_ptr<unsigned char[]> bytes(base64_decode(reinterpret_cast<const char*>(data), size, &length));
    if (!bytes) {
        if (size % 4 == 0 && size > 0) {
            // Refused with a valid length: some character must be outside the alphabet.
            bool foreign = false;
            for (size_t i = 0; i < size; ++i) {
                const unsigned char c = data[i];
                if (!std::isalnum(c) && c != '+' && c != '/' && c != '=') foreign = true;
            }
            if (!foreign) std::abort();
        }
        return 0;
    }
    if (size % 4 != 0 || length > size / 4 * 3 || length + 2 < size / 4 * 3 || bytes[length] != 0) std::abort();

    size_t textLength = 0;
    std::unique_ptr<char[]> text(base64_encode(bytes.get(), length, &textLength));
    if (!text) std::abort();
    size_t again = 0;
    std::unique_ptr<unsigned char[]> back(base64_decode(text.get(), textLength, &again));
    if (!back || again != length || std::memcmp(back.get(), bytes.get(), length) != 0) std::abort();
    return 0;
}
