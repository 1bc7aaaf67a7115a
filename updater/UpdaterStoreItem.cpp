// UpdaterStoreItem: see UpdaterStoreItem.h.
#include "updater/UpdaterStoreItem.h"

#include <stdexcept>

#include "app/Log.h"
#include "common/aDirectory.h"
#include "updater/AtomicFileWrite.h"
#include "updater/BuildPath.h"

namespace {

struct FileSearch {
    const std::string* wanted;
    bool found;
};

bool findFile(const aDirectoryListData* entry, void* ref)
{
    auto* search = static_cast<FileSearch*>(ref);
    std::string path = entry->fullPath;
    size_t slash = path.find_last_of('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    Log::log(DEBUG_Updater, "%s([%s], %d, %d) searching for %s\n", "_find_item", entry->fullPath,
             int(entry->isDir), int(entry->fileSize), search->wanted->c_str());
    if (name == "." || name == ".." || name.find(*search->wanted) == std::string::npos)
        return true;
    search->found = true;
    return false;
}

} // namespace

UpdaterStoreItem::UpdaterStoreItem() = default;

UpdaterStoreItem::UpdaterStoreItem(const std::string& dir, const std::string& entryName,
                                   store_item_t entryKind)
    : directory(dir), name(entryName), kind(entryKind)
{
    std::string settingsPath = BuildPath(directory, name, KeyValueStore::DEFAULT_FILENAME, nullptr);
    settings.Load(settingsPath.c_str());
}

std::string UpdaterStoreItem::Path() const { return BuildPath(directory, name, nullptr); }

bool UpdaterStoreItem::FileExists(const std::string& fileName) const
{
    FileSearch search{&fileName, false};
    aDirectory_List(Path().c_str(), findFile, &search);
    Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n",
             search.found ? "Found" : "Not Found", fileName.c_str());
    return search.found;
}

aErr UpdaterStoreItem::WriteFile(const std::string& fileName, const void* data, size_t length)
{
    if (!data)
        return aErrNotFound;
    return AtomicFileWrite(BuildPath(Path(), fileName, nullptr), data, length);
}

BirdFile UpdaterStoreItem::ReadBirdFile(const std::string& fileName) const
{
    std::string path = BuildPath(Path(), fileName, nullptr);
    if (!BirdFile::VerifyFile(path))
        throw std::runtime_error("Invalid bird " + path);
    return BirdFile(path);
}
