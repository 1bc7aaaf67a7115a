// The process-wide link table as the link engine sees it: items numbered by
// link id, each embedding its link record. Internal to the device library's
// procedural layer (link engine, link creation).
#pragma once

#include <cstdint>

#include "common/aLink.h"

struct aLinkItem {
    uint32_t id;
    uint32_t deviceId; // for a client link in front of a served module: that module's link
    void* server;      // sharing server serving this device link, if any
    uint32_t ident0;
    uint32_t ident1;
    uint32_t ident2;
    linkType type;
    int16_t use_count;
    aLink link;
    aLinkItem* next;
};

// Lookups take the table lock; the item stays valid until aLink_Destroy frees it.
aLinkItem* aLinkTable_Find(uint32_t id);
// The item's link record, or null for an unknown id.
aLink* aLinkTable_GetLink(uint32_t id);
