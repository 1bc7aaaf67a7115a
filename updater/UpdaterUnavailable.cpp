// Flows of Updater that this build does not contain yet. Each reports that
// its command is not available and fails, so no command pretends to have
// worked. A flow that gets built moves to its own file and its stub here goes.
#include "updater/Updater.h"

bool Updater::Recover_Firmware(std::string, uint32_t, uint32_t, uint32_t, std::string, bool)
{
    display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                    "Recover firmware (-U -t RECOVER) is not available in this build");
    return false;
}

bool Updater::Get_Fingerprint(Fingerprint&, std::string, uint32_t, std::string, uint32_t, bool)
{
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Read fingerprint (-N) is not available in this build");
    return false;
}
