// aMutex: the device library's named, non-recursive lock. Used by the link
// table, the link engine and the object layer.
#pragma once

#include "common/aErr.h"

struct aMutex;

constexpr unsigned aMUTEX_NAME_SIZE = 256;  // name and terminator

// A new unlocked mutex; null for a name of 256 characters or more, or when
// the mutex cannot be made. A null name gives an empty name.
aMutex* aMutex_Create(const char* name);
// The mutex's name ("" for a null mutex).
const char* aMutex_Identifier(const aMutex* mutex);
// Destroys the mutex and clears the caller's handle.
aErr aMutex_Destroy(aMutex** mutex);
aErr aMutex_Lock(aMutex* mutex);
aErr aMutex_TryLock(aMutex* mutex);
aErr aMutex_Unlock(aMutex* mutex);
