// Threads on POSIX threads: start with a procedure and its argument, join on
// destroy.
#include "common/aThread.h"

#include <cerrno>
#include <ctime>
#include <new>
#include <pthread.h>

struct aThread {
    pthread_t id;
    aThreadProc proc;
    void* ref;
};

static void* sThreadMain(void* arg)
{
    const aThread* thread = static_cast<const aThread*>(arg);
    thread->proc(thread->ref);
    return nullptr;
}

aThread* aThread_Create(aThreadProc proc, void* ref)
{
    if (proc == nullptr)
        return nullptr;
    aThread* thread = new (std::nothrow) aThread;
    if (thread == nullptr)
        return nullptr;
    thread->proc = proc;
    thread->ref = ref;
    if (pthread_create(&thread->id, nullptr, sThreadMain, thread) != 0) {
        delete thread;
        return nullptr;
    }
    return thread;
}

int aThread_Destroy(aThread** thread)
{
    if (thread == nullptr || *thread == nullptr)
        return EINVAL;
    aThread* t = *thread;
    *thread = nullptr;
    const int result = pthread_join(t->id, nullptr);
    if (result == EDEADLK && pthread_equal(t->id, pthread_self())) {
        // A thread destroying its own handle cannot wait for itself; let the
        // system reclaim it when its procedure returns. The record is no
        // longer needed: the procedure and argument were read at the start.
        pthread_detach(t->id);
    }
    delete t;
    return result;
}

void aThread_Yield()
{
    const struct timespec pause = {0, 5000};
    nanosleep(&pause, nullptr);
}
