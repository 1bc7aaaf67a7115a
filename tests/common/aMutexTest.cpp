// Mutexes: names, exclusion between threads and the mapping of the system's
// answers (busy, relock by the owner, unlock by another thread, destroy
// while held).
#include "common/aMutex.h"

#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(aMutexTest, Names)
{
    const std::string longest(255, 'n');
    aMutex* mutex = aMutex_Create(longest.c_str());
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(aMutex_Identifier(mutex), longest);
    EXPECT_EQ(aMutex_Destroy(&mutex), aErrNone);
    EXPECT_EQ(mutex, nullptr);

    EXPECT_EQ(aMutex_Create(std::string(256, 'n').c_str()), nullptr);

    mutex = aMutex_Create(nullptr);
    ASSERT_NE(mutex, nullptr);
    EXPECT_STREQ(aMutex_Identifier(mutex), "");
    aMutex_Destroy(&mutex);
}

TEST(aMutexTest, ExcludesOtherThreads)
{
    aMutex* mutex = aMutex_Create("counter");
    ASSERT_NE(mutex, nullptr);
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                ASSERT_EQ(aMutex_Lock(mutex), aErrNone);
                long seen = counter;
                counter = seen + 1;
                ASSERT_EQ(aMutex_Unlock(mutex), aErrNone);
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(counter, 80000);
    aMutex_Destroy(&mutex);
}

TEST(aMutexTest, BusyAndOwnership)
{
    aMutex* mutex = aMutex_Create("owned");
    ASSERT_NE(mutex, nullptr);
    ASSERT_EQ(aMutex_Lock(mutex), aErrNone);
    EXPECT_EQ(aMutex_Lock(mutex), aErrDuplicate);  // not recursive, and no hang

    aErr tryResult = aErrNone;
    std::thread([&] { tryResult = aMutex_TryLock(mutex); }).join();
    EXPECT_EQ(tryResult, aErrBusy);

    ASSERT_EQ(aMutex_Unlock(mutex), aErrNone);
    EXPECT_EQ(aMutex_Unlock(mutex), aErrPermission);  // no longer held

    // Held by another thread: this thread may not release it.
    std::thread([&] { tryResult = aMutex_TryLock(mutex); }).join();
    ASSERT_EQ(tryResult, aErrNone);
    aErr unlockResult = aMutex_Unlock(mutex);
    EXPECT_EQ(unlockResult, aErrPermission);
    EXPECT_EQ(aMutex_TryLock(mutex), aErrBusy);

    // Destroying a held mutex reports it and still clears the handle.
    EXPECT_EQ(aMutex_Destroy(&mutex), aErrBusy);
    EXPECT_EQ(mutex, nullptr);
}

TEST(aMutexTest, NullHandles)
{
    EXPECT_EQ(aMutex_Lock(nullptr), aErrParam);
    EXPECT_EQ(aMutex_TryLock(nullptr), aErrParam);
    EXPECT_EQ(aMutex_Unlock(nullptr), aErrParam);
    aMutex* none = nullptr;
    EXPECT_EQ(aMutex_Destroy(&none), aErrParam);
    EXPECT_EQ(aMutex_Destroy(nullptr), aErrParam);
    EXPECT_STREQ(aMutex_Identifier(nullptr), "");
}

} // namespace
