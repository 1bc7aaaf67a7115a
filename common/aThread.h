// aThread: a started system thread running a procedure with one opaque
// argument, joined by its destroy. Used by the link engine and the
// updater's download worker.
#pragma once

struct aThread;

typedef void (*aThreadProc)(void* ref);

// A handle of a started thread, or null when it could not be started.
aThread* aThread_Create(aThreadProc proc, void* ref);
// Waits for the thread to end, frees the handle and clears it; returns the
// system's join result (0 on success).
int aThread_Destroy(aThread** thread);
// Gives up the processor briefly (sleeps 5 microseconds).
void aThread_Yield();
