// UpdaterStoreItem: one entry of the updater store, usually a device
// directory (base/SSSSSSSS) or a file in one, with the entry's settings. The
// updater flows read and write BIRD files through it and record downloads
// and transfers in its settings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/aErr.h"
#include "updater/BirdFile.h"
#include "updater/KeyValueStore.h"

enum store_item_t : int {
    STORE_ITEM_FILE = 0,
    STORE_ITEM_DIRECTORY = 1,
    STORE_ITEM_NOT_SET = 2,
};

class UpdaterStoreItem {
public:
    // An empty item: no directory or name, kind not set, nothing loaded.
    UpdaterStoreItem();
    // Loads (or creates) the settings file directory/name/.settings.
    UpdaterStoreItem(const std::string& directory, const std::string& name, store_item_t kind);

    // The entry's own path, directory/name.
    std::string Path() const;
    // True when the entry's directory holds an entry whose name contains
    // fileName (a substring test, as the store's device search uses).
    bool FileExists(const std::string& fileName) const;
    // Writes the bytes to directory/name/fileName, replacing any old file
    // only once the new one is complete. aErrNotFound for null data or a file
    // that cannot be created; aErrIO when writing fails.
    aErr WriteFile(const std::string& fileName, const void* data, size_t length);
    // Loads directory/name/fileName. Throws std::runtime_error "Invalid bird
    // <path>" when the header check fails, "Failed to load bird data" when
    // the file does not load.
    BirdFile ReadBirdFile(const std::string& fileName) const;
    bool IsValid() const { return !directory.empty() && !name.empty(); }

    std::string directory;
    std::string name;
    store_item_t kind = STORE_ITEM_NOT_SET;
    KeyValueStore settings;
};
