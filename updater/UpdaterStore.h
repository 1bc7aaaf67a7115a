// UpdaterStore: the directory tree under the store root in which the updater
// keeps, per module, the BIRD files it downloaded (base/SSSSSSSS/NNNN.bird)
// and a settings file (base/SSSSSSSS/.settings). Each updater flow opens it
// for its own duration to find or create a device's directory and list the
// builds kept there.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "updater/UpdaterStoreItem.h"

class UpdaterStore {
public:
    // The record a directory search hands to its listing callback.
    struct result_t {
        std::string search;
        bool found = false;
        UpdaterStoreItem* item = nullptr;
    };

    // Ensures the base directory exists; throws std::runtime_error when it
    // cannot be made or a plain file stands in its place.
    explicit UpdaterStore(const std::string& base);

    const std::string& BasePath() const { return base_; }

    // Ensures base/SSSSSSSS (or base/name) exists and returns its item, whose
    // settings are loaded or created. Throws like the constructor.
    UpdaterStoreItem AddDevice(uint32_t serial);
    UpdaterStoreItem AddDevice(const std::string& name);

    // Finds the first entry of the base directory whose name contains the
    // serial ("%08X") or name; fills item (when not null) on success.
    bool FindDevice(uint32_t serial, UpdaterStoreItem* item);
    bool FindDevice(const std::string& name, UpdaterStoreItem* item);

    // Appends an item for every entry of the device's directory whose name
    // does not begin with "." (in listing order). Nothing for an unknown device.
    bool FindLocalBuilds(uint32_t serial, std::vector<UpdaterStoreItem>& items);

private:
    static void ensureDirectory(const std::string& path);
    std::string base_;
};
