// Updater::_createUpdaterStore: opens the store for one flow and turns a
// failure to open it into one error message naming the flow.
#include <stdexcept>

#include "updater/Updater.h"
#include "updater/UpdaterStore.h"

std::unique_ptr<UpdaterStore> Updater::_createUpdaterStore(UpdaterDisplayInterface& display,
                                                           const std::string& root,
                                                           const char* caller)
{
    try {
        return std::make_unique<UpdaterStore>(root);
    } catch (const std::runtime_error& e) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Failed to Create UpdaterStore in: %s - Exception: %s",
                        caller ? caller : "", e.what());
        return nullptr;
    }
}
