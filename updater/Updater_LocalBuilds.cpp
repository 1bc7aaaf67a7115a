// Updater::Get_BuildListLocal (-L): the builds kept in a module's store
// directory, each with the version read from its BIRD file. Entries that are
// not BIRD files are listed too, with an empty version.
#include <stdexcept>

#include "app/Log.h"
#include "updater/BirdFile.h"
#include "updater/Updater.h"
#include "updater/UpdaterStore.h"

BuildList Updater::Get_BuildListLocal(uint32_t serial)
{
    BuildList builds;
    std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, storeRoot, "Get_BuildListLocal");
    if (!store)
        return builds;

    std::vector<UpdaterStoreItem> items;
    store->FindLocalBuilds(serial, items);
    for (const UpdaterStoreItem& item : items) {
        std::string key = item.name.substr(0, item.name.find(".bird"));
        std::string version;
        if (item.IsValid()) {
            std::string path = item.directory + "/" + item.name;
            if (BirdFile::VerifyFile(path)) {
                try {
                    version = BirdFile(path).GetVersion();
                } catch (const std::runtime_error&) {
                    version.clear(); // passes the header check but does not load
                }
                if (!version.empty())
                    Log::log(DEBUG_Updater, "Found VERSION in birdfile: %s - Version: \n", path.c_str());
            } else {
                Log::log(DEBUG_Updater, "Could NOT file VERSION in birdfile: %s\n", path.c_str());
            }
        }
        builds.emplace(key, version);
    }
    return builds;
}
