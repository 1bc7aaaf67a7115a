// Start-up of the command line: parse the options, print the version line,
// show the usage when nothing is to be done, and create the store root.
// Used by main before it builds the Updater and runs the commands.
#pragma once

#include "app/Parameters.h"
#include "app/UpdaterDisplayInterface.h"

struct StartUpResult {
    bool proceed;   // true: the commands are to be run
    int exitStatus; // the status to exit with when not proceeding
};

// On proceeding, params->storeDirectory holds the store root, which exists.
StartUpResult _start_up(UpdaterDisplayInterface& display, int argc, char** argv, Parameters* params);
