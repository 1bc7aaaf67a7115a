// Module model numbers and their names, as shown in the device table and
// checked against firmware files.
#pragma once

#include <cstdint>

// The model's name, or "Unknown" for a number outside the table. Never null.
const char* aDefs_GetModelName(uint32_t model);
