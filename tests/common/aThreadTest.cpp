// Threads: a started thread runs its procedure with its argument, and
// destroy waits for it.
#include "common/aThread.h"
#include "common/aTime.h"

#include <atomic>
#include <gtest/gtest.h>
#include <pthread.h>

namespace {

struct Work {
    std::atomic<bool> started{false};
    std::atomic<bool> release{false};
    int result = 0;
    pthread_t runner{};
};

void sWork(void* ref)
{
    Work* work = static_cast<Work*>(ref);
    work->runner = pthread_self();
    work->started = true;
    for (int i = 0; i < 10000 && !work->release; ++i)
        aThread_Yield();
    work->result = 42;
}

TEST(aThreadTest, RunsOnItsOwnThreadAndDestroyJoins)
{
    Work work;
    aThread* thread = aThread_Create(sWork, &work);
    ASSERT_NE(thread, nullptr);
    for (int i = 0; i < 10000 && !work.started; ++i)
        aThread_Yield();
    ASSERT_TRUE(work.started);
    work.release = true;
    EXPECT_EQ(aThread_Destroy(&thread), 0);
    EXPECT_EQ(thread, nullptr);
    // Joined: the procedure's writes are complete and visible.
    EXPECT_EQ(work.result, 42);
    EXPECT_FALSE(pthread_equal(work.runner, pthread_self()));
}

void sSlow(void* ref)
{
    aTime_MSSleep(50);
    static_cast<std::atomic<int>*>(ref)->store(1);
}

TEST(aThreadTest, DestroyWaitsForTheProcedure)
{
    std::atomic<int> done{0};
    aThread* threads[3];
    for (aThread*& t : threads)
        t = aThread_Create(sSlow, &done);
    for (aThread*& t : threads) {
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(aThread_Destroy(&t), 0);
    }
    EXPECT_EQ(done.load(), 1);
}

TEST(aThreadTest, Refusals)
{
    EXPECT_EQ(aThread_Create(nullptr, nullptr), nullptr);
    aThread* none = nullptr;
    EXPECT_NE(aThread_Destroy(&none), 0);
    EXPECT_NE(aThread_Destroy(nullptr), 0);
}

} // namespace
