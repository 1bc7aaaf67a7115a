// Firmware and library version numbers packed into 32 bits (legacy and
// current formats), their comparison, and the library's own version and
// feature list. Used by discovery, the updater's device table and Module.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/aErr.h"

// True when the word is in the legacy format (top byte below 0x2F).
bool aVersion_IsLegacyFormat(uint32_t version);
uint8_t aVersion_ParseMajor(uint32_t version);
uint8_t aVersion_ParseMinor(uint32_t version);
uint32_t aVersion_ParsePatch(uint32_t version);
// Writes "major.minor.patch" (truncated to size); returns what snprintf does.
int aVersion_ParseString(uint32_t version, char* buffer, size_t size);
uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch);

// The library's own version.
uint8_t aVersion_GetMajor();
uint8_t aVersion_GetMinor();
uint8_t aVersion_GetPatch();
const char* aVersion_GetString();

// True when a1.a2.a3 >= b1.b2.b3.
bool aVersion_IsAtLeastCompare(uint8_t a1, uint8_t a2, uint8_t a3,
                               uint8_t b1, uint8_t b2, uint8_t b3);
// True when the library version is at least major.minor.patch.
bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch);

bool aVersion_HasFeature(const char* name);
// A new text, one "name - description" line per feature; free it with
// aVersion_DestroyFeatureList. Null when memory runs out.
char* aVersion_GetFeatureList();
aErr aVersion_DestroyFeatureList(char** list);
