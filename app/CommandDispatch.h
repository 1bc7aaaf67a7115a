// The command dispatch: runs the commands a command line asked for, in their
// fixed order (-N, then -G, then the first of -D, -U, -B, -L, -J), against
// the flows of an UpdaterApi, and decides the exit status. Used by main.
#pragma once

#include "app/Parameters.h"
#include "app/Printers.h"
#include "app/UpdaterApi.h"
#include "app/UpdaterDisplayInterface.h"

// Returns the process exit status, 0 or 1. sorter orders build lists for
// printing (null prints them in key order).
int _run_commands(Parameters& params, UpdaterApi& updater, UpdaterDisplayInterface& display, BuildSorter sorter);
