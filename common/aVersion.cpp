// Version words in the legacy and current formats, their comparison, and the
// library's own version and feature table.
#include "common/aVersion.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace {

constexpr uint8_t kMajor = 2;
constexpr uint8_t kMinor = 12;
constexpr uint8_t kPatch = 2;
constexpr const char* kPhase = ".";

// Top byte of a word in the current format; any lower top byte is legacy.
constexpr uint32_t kCurrentMarker = 0x2F;

struct Feature {
    const char* name;
    const char* description;
};

constexpr Feature kFeatures[] = {
    {"VERSION", "Version Query API"},
};

} // namespace

bool aVersion_IsLegacyFormat(uint32_t version)
{
    return (version >> 24) < kCurrentMarker;
}

uint8_t aVersion_ParseMajor(uint32_t version)
{
    if (aVersion_IsLegacyFormat(version))
        return static_cast<uint8_t>(version >> 28);
    return static_cast<uint8_t>(version >> 16);
}

uint8_t aVersion_ParseMinor(uint32_t version)
{
    if (aVersion_IsLegacyFormat(version))
        return static_cast<uint8_t>((version >> 24) & 0x0F);
    return static_cast<uint8_t>(version >> 8);
}

uint32_t aVersion_ParsePatch(uint32_t version)
{
    if (aVersion_IsLegacyFormat(version))
        return version & 0x00FFFFFF;
    return version & 0xFF;
}

int aVersion_ParseString(uint32_t version, char* buffer, size_t size)
{
    if (buffer == nullptr && size != 0)
        return -1;
    return std::snprintf(buffer, size, "%u.%u.%u", unsigned{aVersion_ParseMajor(version)},
                         unsigned{aVersion_ParseMinor(version)}, aVersion_ParsePatch(version));
}

uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch)
{
    if (major > 2 || (major == 2 && minor > 14)) {
        return (kCurrentMarker << 24) | (static_cast<uint32_t>(major) << 16)
             | (static_cast<uint32_t>(minor) << 8) | patch;
    }
    return (static_cast<uint32_t>(major) << 28) | (static_cast<uint32_t>(minor & 0x0F) << 24) | patch;
}

uint8_t aVersion_GetMajor() { return kMajor; }
uint8_t aVersion_GetMinor() { return kMinor; }
uint8_t aVersion_GetPatch() { return kPatch; }

const char* aVersion_GetString()
{
    // Built once; the initialisation of a function-local static is
    // thread-safe, so concurrent first calls see the same finished text.
    static char buffer[15];
    static const bool built = [] {
        std::snprintf(buffer, sizeof buffer, "%d.%d%s%d", kMajor, kMinor, kPhase, kPatch);
        return true;
    }();
    (void)built;
    return buffer;
}

bool aVersion_IsAtLeastCompare(uint8_t a1, uint8_t a2, uint8_t a3,
                               uint8_t b1, uint8_t b2, uint8_t b3)
{
    if (a1 != b1)
        return a1 > b1;
    if (a2 != b2)
        return a2 > b2;
    return a3 >= b3;
}

bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch)
{
    return aVersion_IsAtLeastCompare(kMajor, kMinor, kPatch, major, minor, patch);
}

bool aVersion_HasFeature(const char* name)
{
    if (name == nullptr)
        return false;
    for (const Feature& f : kFeatures) {
        if (std::strcmp(f.name, name) == 0)
            return true;
    }
    return false;
}

char* aVersion_GetFeatureList()
{
    std::string text;
    try {
        for (const Feature& f : kFeatures) {
            if (!text.empty())
                text += "\n";
            text += f.name;
            text += " - ";
            text += f.description;
        }
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    char* list = static_cast<char*>(std::malloc(text.size() + 1));
    if (list)
        std::memcpy(list, text.c_str(), text.size() + 1);
    return list;
}

aErr aVersion_DestroyFeatureList(char** list)
{
    if (list == nullptr || *list == nullptr)
        return aErrParam;
    std::free(*list);
    *list = nullptr;
    return aErrNone;
}
