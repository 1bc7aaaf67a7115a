// Named, non-recursive mutexes on POSIX mutexes, with system answers mapped
// to aErr codes.
#include "common/aMutex.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <pthread.h>
#include <ctime>

struct aMutex {
    pthread_mutex_t mutex;
    char name[aMUTEX_NAME_SIZE];
};

static aErr sMap(int result, int alsoCode, aErr alsoErr)
{
    if (result == 0)
        return aErrNone;
    if (result == alsoCode)
        return alsoErr;
    if (result == EINVAL)
        return aErrParam;
    return aErrUnknown;
}

aMutex* aMutex_Create(const char* name)
{
    if (name == nullptr)
        name = "";
    const size_t length = std::strlen(name);
    if (length >= aMUTEX_NAME_SIZE)
        return nullptr;
    aMutex* mutex = new (std::nothrow) aMutex;
    if (mutex == nullptr)
        return nullptr;
    std::memcpy(mutex->name, name, length + 1);

    // Error checking keeps the lock non-recursive but makes a second lock by
    // the owner and an unlock by another thread fail instead of hanging or
    // corrupting the lock.
    pthread_mutexattr_t attr;
    bool made = pthread_mutexattr_init(&attr) == 0;
    if (made) {
        made = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK) == 0
            && pthread_mutex_init(&mutex->mutex, &attr) == 0;
        pthread_mutexattr_destroy(&attr);
    }
    if (!made) {
        delete mutex;
        return nullptr;
    }
    return mutex;
}

const char* aMutex_Identifier(const aMutex* mutex)
{
    return mutex ? mutex->name : "";
}

aErr aMutex_Destroy(aMutex** mutex)
{
    if (mutex == nullptr || *mutex == nullptr)
        return aErrParam;
    aMutex* m = *mutex;
    *mutex = nullptr;

    // Find out first whether the mutex is held, without waiting: a deadline
    // in the past makes the probe return at once, and an error-checking
    // mutex reports its own holder as a deadlock.
    const struct timespec past = {0, 0};
    const int probe = pthread_mutex_timedlock(&m->mutex, &past);
    if (probe == ETIMEDOUT || probe == EBUSY) {
        // Held by another thread, which will unlock it later: the memory
        // must stay, so it is leaked rather than freed under its holder.
        return aErrBusy;
    }
    if (probe == 0 || probe == EDEADLK)
        pthread_mutex_unlock(&m->mutex);
    const int result = pthread_mutex_destroy(&m->mutex);
    if (result == EBUSY)
        return aErrBusy;  // taken again since the probe: leave it as above
    delete m;
    if (probe == EDEADLK)
        return aErrBusy;  // this thread still held it
    if (result == EAGAIN)
        return aErrResource;
    return sMap(result, 0, aErrNone);
}

aErr aMutex_Lock(aMutex* mutex)
{
    if (mutex == nullptr)
        return aErrParam;
    return sMap(pthread_mutex_lock(&mutex->mutex), EDEADLK, aErrDuplicate);
}

aErr aMutex_TryLock(aMutex* mutex)
{
    if (mutex == nullptr)
        return aErrParam;
    return sMap(pthread_mutex_trylock(&mutex->mutex), EBUSY, aErrBusy);
}

aErr aMutex_Unlock(aMutex* mutex)
{
    if (mutex == nullptr)
        return aErrParam;
    return sMap(pthread_mutex_unlock(&mutex->mutex), EPERM, aErrPermission);
}
