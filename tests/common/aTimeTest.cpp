// Millisecond ticks and sleeps. usleep is replaced at link time (see
// CMakeLists.txt) by a recorder, so the pieces of a sleep can be counted
// without sleeping.
#include "common/aTime.h"

#include <chrono>
#include <cstdint>
#include <gtest/gtest.h>
#include <unistd.h>
#include <vector>

namespace {

std::vector<useconds_t> gPieces;
uint64_t gTotalUs = 0;
bool gRecordPieces = true;

} // namespace

extern "C" int __wrap_usleep(useconds_t us)
{
    if (gRecordPieces)
        gPieces.push_back(us);
    gTotalUs += us;
    return 0;
}

namespace {

TEST(aTimeTest, SleepIsCutIntoPiecesUsleepAccepts)
{
    struct SleepCase {
        uint32_t ms;
        std::vector<useconds_t> pieces;
    };
    const SleepCase cases[] = {
        {0, {}},
        {1, {1000}},
        {999, {999000}},
        {1000, {999999, 1}},
        {2500, {999999, 999999, 500002}},
    };
    for (const SleepCase& c : cases) {
        gPieces.clear();
        EXPECT_EQ(aTime_MSSleep(c.ms), aErrNone);
        EXPECT_EQ(gPieces, c.pieces) << c.ms << " ms";
    }
}

TEST(aTimeTest, LongSleepAddsUpWithoutOverflow)
{
    struct Restore {
        ~Restore() { gRecordPieces = true; }
    } restore;
    gRecordPieces = false;
    gTotalUs = 0;
    EXPECT_EQ(aTime_MSSleep(UINT32_MAX), aErrNone);
    EXPECT_EQ(gTotalUs, uint64_t{UINT32_MAX} * 1000);
}

TEST(aTimeTest, TicksAreWallClockMilliseconds)
{
    using namespace std::chrono;
    const auto before = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    const uint64_t ticks = aTime_GetMSTicks();
    const auto after = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    EXPECT_GE(ticks, static_cast<uint64_t>(before));
    EXPECT_LE(ticks, static_cast<uint64_t>(after));
}

} // namespace

