// Mutexes: names, exclusion between threads and the mapping of the system's
// answers (busy, relock by the owner, unlock by another thread, destroy
// while held).
#include "common/aMutex.h"

#include <atomic>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace {

// ThreadSanitizer reports an unlock by a thread that does not hold the mutex
// as a fault of its own before the mutex can refuse it, so those two checks
// run in the other builds only.
#if defined(__SANITIZE_THREAD__)
constexpr bool kUnlockMisuseChecks = false;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kUnlockMisuseChecks = false;
#else
constexpr bool kUnlockMisuseChecks = true;
#endif
#else
constexpr bool kUnlockMisuseChecks = true;
#endif

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
    if (kUnlockMisuseChecks) {
        EXPECT_EQ(aMutex_Unlock(mutex), aErrPermission);  // no longer held
    }

    // Destroying a mutex its own thread still holds reports it, releases
    // it and clears the handle.
    ASSERT_EQ(aMutex_Lock(mutex), aErrNone);
    EXPECT_EQ(aMutex_Destroy(&mutex), aErrBusy);
    EXPECT_EQ(mutex, nullptr);
}

TEST(aMutexTest, OnlyTheHolderReleases)
{
    aMutex* mutex = aMutex_Create("held elsewhere");
    ASSERT_NE(mutex, nullptr);
    std::atomic<bool> locked{false};
    std::atomic<bool> release{false};
    aErr holderUnlock = aErrUnknown;
    std::thread holder([&] {
        if (aMutex_Lock(mutex) != aErrNone)
            return;
        locked = true;
        while (!release)
            std::this_thread::yield();
        holderUnlock = aMutex_Unlock(mutex);
    });
    while (!locked)
        std::this_thread::yield();
    if (kUnlockMisuseChecks) {
        EXPECT_EQ(aMutex_Unlock(mutex), aErrPermission);
    }
    EXPECT_EQ(aMutex_TryLock(mutex), aErrBusy);  // still held by the holder
    release = true;
    holder.join();
    EXPECT_EQ(holderUnlock, aErrNone);
    EXPECT_EQ(aMutex_TryLock(mutex), aErrNone);
    EXPECT_EQ(aMutex_Unlock(mutex), aErrNone);
    EXPECT_EQ(aMutex_Destroy(&mutex), aErrNone);
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
