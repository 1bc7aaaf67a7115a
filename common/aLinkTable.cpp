// The process-wide link table and link creation. Links are shared: a second
// request for the same module adds a use to the existing link, and the last
// aLink_Destroy stops it and frees its stream and queues. Ids count up from 1
// and are never handed out twice.
#include "common/aLinkTable.h"

#include <mutex>
#include <new>

#include "common/aStream_USB.h"
#include "common/aUSBTrace.h"

namespace {

struct LinkTable {
    aLinkItem* head = nullptr;
    uint32_t nextID = 1;
    aMutex* mutex = nullptr;
};

LinkTable _links;
std::once_flag sTableOnce;

class TableLock {
public:
    TableLock()
    {
        std::call_once(sTableOnce, [] { _links.mutex = aMutex_Create("aLink_Managed"); });
        aMutex_Lock(_links.mutex);
    }
    ~TableLock() { aMutex_Unlock(_links.mutex); }
    TableLock(const TableLock&) = delete;
    TableLock& operator=(const TableLock&) = delete;
};

uint32_t sCreate2(uint32_t ident0, uint32_t ident1, uint32_t ident2, linkType type)
{
    aLinkItem* item = new (std::nothrow) aLinkItem{};
    if (!item)
        return 0;
    item->ident0 = ident0;
    item->ident1 = ident1;
    item->ident2 = ident2;
    item->type = type;
    TableLock lock;
    item->id = _links.nextID++;
    item->next = _links.head;
    _links.head = item;
    return item->id;
}

aLinkItem* sLookupEntryByID(uint32_t id)
{
    TableLock lock;
    for (aLinkItem* item = _links.head; item; item = item->next)
        if (item->id == id)
            return item;
    return nullptr;
}

aLinkItem* sLookupEntryByIdentifier(uint32_t ident0, linkType type)
{
    TableLock lock;
    for (aLinkItem* item = _links.head; item; item = item->next)
        if (item->ident0 == ident0 && item->type == type)
            return item;
    return nullptr;
}

int16_t sChangeUseCount(aLinkItem* item, int16_t delta)
{
    TableLock lock;
    item->use_count = static_cast<int16_t>(item->use_count + delta);
    return item->use_count;
}

// Removes one use of the link; when none remain the item is unlinked from the
// table (in the same locked step, so two last releases cannot both win) and
// handed back for teardown. *known tells whether the id existed.
aLinkItem* sReleaseUse(uint32_t id, bool* known)
{
    TableLock lock;
    *known = false;
    for (aLinkItem** at = &_links.head; *at; at = &(*at)->next) {
        aLinkItem* item = *at;
        if (item->id != id)
            continue;
        *known = true;
        item->use_count = static_cast<int16_t>(item->use_count - 1);
        if (item->use_count > 0)
            return nullptr;
        *at = item->next;
        item->next = nullptr;
        return item;
    }
    return nullptr;
}

// Reuses an existing link, adding one use. A device link served by a
// sharing server must be reached as its client: refused with 0.
uint32_t sReuse(aLinkItem* item, bool refuseServed)
{
    if (refuseServed && item->server)
        return 0;
    sChangeUseCount(item, 1);
    return item->id;
}

// Common tail of the direct creators once the item and (maybe) its stream
// exist. A USB link is synchronised as well; a module that has not answered
// by then keeps the link, whose input thread goes on synchronising, and the
// caller sees it in the link status.
uint32_t sFinishCreate(uint32_t id, aStream* stream, aErr err, bool sync = false)
{
    if (err == aErrNone && aLink_Init(id, stream) != id) {
        aStream_Destroy(&stream);
        err = aErrConnection;
    }
    if (err == aErrNone && stream) {
        sChangeUseCount(aLinkTable_Find(id), 1);
        err = aLink_Start(id);
        if (err == aErrNone && sync)
            aLink_Sync(id);
    }
    if (err != aErrNone || !stream) {
        aLink_Destroy(&id);
        return 0;
    }
    return id;
}

bool sBaudCode(uint32_t baudRate, int32_t* code)
{
    static const uint32_t rates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
    for (int32_t i = 0; i < 8; ++i) {
        if (rates[i] == baudRate) {
            *code = i;
            return true;
        }
    }
    return false;
}

} // namespace

aLinkItem* aLinkTable_Find(uint32_t id)
{
    return id ? sLookupEntryByID(id) : nullptr;
}

aLink* aLinkTable_GetLink(uint32_t id)
{
    aLinkItem* item = aLinkTable_Find(id);
    return item ? &item->link : nullptr;
}

uint32_t aLink_CreateUSB(uint32_t serialNumber)
{
    if (aLinkItem* existing = sLookupEntryByIdentifier(serialNumber, USB)) {
        if (existing->server) {
            aUSB_Trace(aDEBUG_LINK, "This device is already being used as a \"SERVER\". \n"
                                    "You must connect by \"CLIENT\" \n");
            return 0;
        }
        return sReuse(existing, true);
    }
    const uint32_t id = sCreate2(serialNumber, 0, 0, USB);
    if (!id)
        return 0;
    aStream* stream = nullptr;
    const aErr err = aStream_CreateUSB(serialNumber, &stream);
    return sFinishCreate(id, stream, err, true);
}

uint32_t aLink_CreateTCPIP(uint32_t serialNumber, uint32_t ipAddress, uint32_t port)
{
    if (aLinkItem* existing = sLookupEntryByIdentifier(serialNumber, TCPIP))
        return sReuse(existing, true);
    if (port > 0xFFFF)
        return 0;
    const uint32_t id = sCreate2(serialNumber, ipAddress, port, TCPIP);
    if (!id)
        return 0;
    aStream* stream = nullptr;
    const aErr err = aStream_CreateSocket(ipAddress, static_cast<uint16_t>(port), &stream);
    return sFinishCreate(id, stream, err);
}

uint32_t aLink_CreateSerial(uint32_t serialNumber, const char* portName, uint32_t baudRate)
{
    if (aLinkItem* existing = sLookupEntryByIdentifier(serialNumber, SERIAL))
        return sReuse(existing, false);
    if (!portName)
        return 0;
    uint32_t id = sCreate2(serialNumber, 0, 0, SERIAL);
    if (!id)
        return 0;
    int32_t code = 0;
    if (!sBaudCode(baudRate, &code)) {
        aLink_Destroy(&id);
        return 0;
    }
    aStream* stream = nullptr;
    const aErr err = aStream_CreateSerial_Packetized(portName, code, 0, 0, 0, &stream);
    return sFinishCreate(id, stream, err);
}

uint32_t aLink_Create(aStream* stream)
{
    if (!aVALIDSTREAM(stream))
        return 0;
    uint32_t id = sCreate2(0xFFFFFFFF, 0, 0, INVALID);
    if (!id) {
        aStream_Destroy(&stream);
        return 0;
    }
    aLink_Init(id, stream);
    if (aLink_Start(id) != aErrNone) {
        aLink_Destroy(&id);
        return 0;
    }
    sChangeUseCount(aLinkTable_Find(id), 1);
    return id;
}

aErr aLink_Destroy(uint32_t* id)
{
    if (!id)
        return aErrParam;
    bool known = false;
    aLinkItem* item = sReleaseUse(*id, &known);
    *id = 0;
    if (!known)
        return aErrParam;
    if (!item)
        return aErrNone; // other holders remain
    aLink* link = &item->link;
    aErr result = aErrUnknown;
    if (link->check == aLINK_CHECK) {
        if (link->userFilterSema) {
            aMutex_Lock(link->userFilterSema);
            link->userFilter = nullptr;
            link->userFilterRef = nullptr;
            aMutex_Unlock(link->userFilterSema);
        }
        aLink_Stop(link);
        if (item->deviceId) {
            uint32_t device = item->deviceId;
            aLink_Destroy(&device);
        }
        aPacketFifo_Destroy(&link->inFifo);
        result = link->outFifo ? aPacketFifo_Destroy(&link->outFifo) : aErrNone;
        aPacket_Destroy(&link->packet);
        aMutex_Destroy(&link->userFilterSema);
        aStream_Destroy(&link->stream);
        link->check = 0;
    }
    delete item;
    return result;
}
