// Start-up of the command line (see Startup.h).
#include "app/Startup.h"

#include "app/CommandLine.h"
#include "app/Log.h"
#include "app/Printers.h"
#include "common/aDirectory.h"
#include "updater/BuildPath.h"

StartUpResult _start_up(UpdaterDisplayInterface& display, int argc, char** argv, Parameters* params)
{
    if (_get_params(display, argc, argv, params) != 0) {
        _display_app_version(display);
        _display_rights(display);
        _display_usage(false, false);
        _release_params(params);
        return {false, 1};
    }

    _display_app_version(display);
    if (params->commands.IsSet(CMD_HELP) || !params->commands.IsSet(CMD_ANY_COMMAND)) {
        _display_rights(display);
        _display_usage(params->logMaskGiven, params->helpRequested);
        _release_params(params);
        return {false, 0};
    }

    std::string root = params->storeDirectory;
    if (root.empty()) {
        char home[2048] = "";
        aErr err = aDirectory_GetHomeDirectory(home, sizeof home);
        if (err != aErrNone) {
            Log::log(DEBUG_APP, "Updater: FailedaDirectory_GetHomeDirectory()==> %d\n", int(err));
            return {false, 1};
        }
        root = BuildPath(home, ".veltrane");
    }
    root = BuildPath(root, "updater");
    if (aDirectory_Ensure(root.c_str(), 0755) != aErrNone) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Could not find updater directory at %s", root.c_str());
        return {false, 1};
    }
    params->storeDirectory = root;
    return {true, 0};
}
