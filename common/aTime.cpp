// Millisecond wall-clock ticks and sleeps.
#include "common/aTime.h"

#include <sys/time.h>
#include <unistd.h>

// usleep accepts at most 999,999 microseconds per call.
static constexpr uint64_t kMaxSleepPieceUs = 999999;

static void osMSSleep(uint32_t ms)
{
    if (ms == 0)
        return;
    uint64_t remaining = static_cast<uint64_t>(ms) * 1000;
    while (remaining > 0) {
        const uint64_t piece = remaining < kMaxSleepPieceUs ? remaining : kMaxSleepPieceUs;
        usleep(static_cast<useconds_t>(piece));
        remaining -= piece;
    }
}

uint64_t aTime_GetMSTicks()
{
    struct timeval now;
    if (gettimeofday(&now, nullptr) != 0)
        return 0;
    return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_usec) / 1000;
}

aErr aTime_MSSleep(uint32_t ms)
{
    osMSSleep(ms);
    return aErrNone;
}
