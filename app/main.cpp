// Updater: the command-line firmware update and maintenance tool. Reads the
// command line, creates the store root, builds the Updater and runs the
// requested commands; exits 0 or 1.
#include <cstdio>

#include "app/CLI_Display.h"
#include "app/CommandDispatch.h"
#include "app/Log.h"
#include "app/Parameters.h"
#include "app/Startup.h"
#include "updater/UpdateServerRequest.h"
#include "updater/Updater.h"

int main(int argc, char** argv)
{
    Parameters params;
    CLI_Display display;
    Log::SetOutput(stderr);

    StartUpResult start = _start_up(display, argc, argv, &params);
    if (!start.proceed)
        return start.exitStatus;

    Updater updater(params.serverUrl.c_str(), params.storeDirectory.c_str(), display);
    return _run_commands(params, updater, display, &UpdateServerRequest::SortBuildsByVersion);
}
