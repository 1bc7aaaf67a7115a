// aTime: millisecond wall-clock ticks and millisecond sleeps. Used for
// time-outs, progress timing and pacing throughout the library.
#pragma once

#include <cstdint>

#include "common/aErr.h"

// Milliseconds since the epoch from the wall clock; 0 when it cannot be read.
uint64_t aTime_GetMSTicks();
// Sleeps for ms milliseconds.
aErr aTime_MSSleep(uint32_t ms);
