// UpdaterStore: see UpdaterStore.h.
#include "updater/UpdaterStore.h"

#include <cstdio>
#include <stdexcept>
#include <sys/stat.h>

#include "app/Log.h"
#include "common/aDirectory.h"
#include "updater/BuildPath.h"

namespace {

std::string serialName(uint32_t serial)
{
    char text[16];
    std::snprintf(text, sizeof text, "%08X", serial);
    return text;
}

// Splits a listed entry's full path at its last separator.
void splitEntry(const char* fullPath, std::string& directory, std::string& name)
{
    std::string path = fullPath;
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        directory.clear();
        name = path;
    } else {
        directory = path.substr(0, slash);
        name = path.substr(slash + 1);
    }
}

bool findItem(const aDirectoryListData* entry, void* ref)
{
    auto* result = static_cast<UpdaterStore::result_t*>(ref);
    Log::log(DEBUG_Updater, "%s([%s], %d, %d) searching for %s\n", "_find_item", entry->fullPath,
             int(entry->isDir), int(entry->fileSize), result->search.c_str());
    std::string directory, name;
    splitEntry(entry->fullPath, directory, name);
    if (name == "." || name == ".." || name.find(result->search) == std::string::npos)
        return true;
    result->found = true;
    if (result->item)
        *result->item = UpdaterStoreItem(directory, name,
                                         entry->isDir ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
    return false;
}

struct BuildListing {
    std::string directory;
    std::vector<UpdaterStoreItem>* items;
};

bool findItems(const aDirectoryListData* entry, void* ref)
{
    auto* listing = static_cast<BuildListing*>(ref);
    Log::log(DEBUG_Updater, "%s([%s], %d, %d)\n", "_find_items", entry->fullPath,
             int(entry->isDir), int(entry->fileSize));
    std::string directory, name;
    splitEntry(entry->fullPath, directory, name);
    if (name.empty() || name[0] == '.')
        return true;
    listing->items->emplace_back(listing->directory, name,
                                 entry->isDir ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
    return true;
}

} // namespace

UpdaterStore::UpdaterStore(const std::string& base) : base_(base) { ensureDirectory(base_); }

void UpdaterStore::ensureDirectory(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        aErr err = aDirectory_Ensure(path.c_str(), 0755);
        if (err != aErrNone)
            throw std::runtime_error("UpdaterStore: Could not create directory " + path +
                                     " error " + std::to_string(int(err)));
        Log::log(DEBUG_Updater, "UpdaterStore: Created directory [%s].\n", path.c_str());
    } else if (!S_ISDIR(st.st_mode)) {
        throw std::runtime_error("UpdaterStore: " + path + " exists and is a file");
    } else {
        Log::log(DEBUG_Updater, "UpdaterStore: [%s] already exists.\n", path.c_str());
    }
}

UpdaterStoreItem UpdaterStore::AddDevice(uint32_t serial) { return AddDevice(serialName(serial)); }

UpdaterStoreItem UpdaterStore::AddDevice(const std::string& name)
{
    ensureDirectory(BuildPath(base_, name, nullptr));
    return UpdaterStoreItem(base_, name, STORE_ITEM_DIRECTORY);
}

bool UpdaterStore::FindDevice(uint32_t serial, UpdaterStoreItem* item)
{
    return FindDevice(serialName(serial), item);
}

bool UpdaterStore::FindDevice(const std::string& name, UpdaterStoreItem* item)
{
    result_t result;
    result.search = name;
    result.item = item;
    aDirectory_List(base_.c_str(), findItem, &result);
    Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n",
             result.found ? "Found" : "Not Found", name.c_str());
    return result.found;
}

bool UpdaterStore::FindLocalBuilds(uint32_t serial, std::vector<UpdaterStoreItem>& items)
{
    UpdaterStoreItem device;
    if (!FindDevice(serial, &device))
        return true;
    BuildListing listing{device.Path(), &items};
    aDirectory_List(listing.directory.c_str(), findItems, &listing);
    return true;
}
