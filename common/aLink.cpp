// The link engine: the input and output pipe threads of a link, the
// synchronisation handshake, heartbeat answers, the user filter, pooled
// writes, start, stop, sync, route control and reset.
#include "common/aLink.h"

#include <chrono>
#include <cstdio>
#include <cstring>

#include "common/aLinkTable.h"
#include "common/aStream_USB.h"
#include "common/aTime.h"

namespace {

constexpr int kStartupPolls = 200; // of 10 ms each
constexpr int kSyncPolls = 200;
constexpr int kSyncQueries = 6;
constexpr uint64_t kOutWaitMs = 1000;
constexpr int kIOErrorPauseMs = 100;
constexpr int kResetAttempts = 20;
constexpr size_t kPoolSize = 4096;
constexpr size_t kPoolLimit = kPoolSize - aPACKET_MAX_WIRE;

enum SyncState { kSyncIdle = 0, kSyncStateStart = 1, kSyncStateByte1, kSyncStateByte2, kSyncStateByte3,
                 kSyncStateByte4 };

uint8_t sAcceptAll(const aPacket*, const void*) { return 1; }

aErr sQueue(uint64_t fifo, uint8_t address, uint8_t length, const uint8_t* data)
{
    static const uint8_t none = 0;
    aPacket* packet = aPacket_CreateWithData(address, length, data ? data : &none);
    if (!packet)
        return aErrMemory;
    const aErr err = aPacketFifo_Put(fifo, packet);
    aPacket_Destroy(&packet);
    return err;
}

aErr sQueueRoute(aLink* link, uint8_t on)
{
    return sQueue(link->outFifo, aLINK_ROUTE_CONTROL, 1, &on);
}

// Puts the handshake back to its start and asks the module for its address
// six times; each answer is an empty packet from the module's address.
void sStartSync(aLink* link)
{
    link->status = SYNCING;
    link->syncState = kSyncStateStart;
    aPacket_Reset(link->packet);
    aErr err = aErrNone;
    for (int i = 0; i < kSyncQueries; ++i)
        err = sQueue(link->outFifo, aLINK_ADDRESS_QUERY, 0, nullptr);
    if (err == aErrNone)
        link->syncState = kSyncStateByte1;
}

// In step after two consecutive empty packets from one even address: A, 0, A, 0.
void sSyncByte(aLink* link, uint8_t byte)
{
    switch (link->syncState) {
    case kSyncStateByte1:
        if (byte != 0 && (byte & 1) == 0) {
            link->syncAddress = byte;
            link->syncState = kSyncStateByte2;
        } else {
            sStartSync(link);
        }
        break;
    case kSyncStateByte2:
        link->syncState = byte == 0 ? kSyncStateByte3 : kSyncStateStart;
        break;
    case kSyncStateByte3:
        link->syncState = byte == link->syncAddress ? kSyncStateByte4 : kSyncStateStart;
        break;
    case kSyncStateByte4:
        if (byte == 0) {
            link->syncState = kSyncIdle;
            aPacket_Reset(link->packet);
            link->status = RUNNING;
        } else {
            link->syncState = kSyncStateStart;
        }
        break;
    default: // kSyncStateStart and idle: begin again
        sStartSync(link);
        break;
    }
}

// A heartbeat (data 0, code) is answered at once with (0, code + 2) and not queued.
bool sHandleHBBackChannel(aLink* link, const aPacket* packet)
{
    if (packet->dataSize != 2 || packet->data[0] != 0 || link->hbState >= 2)
        return false;
    const uint8_t code = packet->data[1];
    if (code == 0)
        link->hbState = 2;
    else if (code == 1)
        link->hbState = 3;
    const uint8_t answer[2] = {0, static_cast<uint8_t>(code + 2)};
    sQueue(link->outFifo, packet->address, 2, answer);
    link->hbState = 0;
    return true;
}

aErr sHandlePacket(aLink* link)
{
    aErr err = aErrNone;
    bool consumed = false;
    aMutex_Lock(link->userFilterSema);
    if (link->userFilter)
        consumed = link->userFilter(link->packet, link->userFilterRef) == 1;
    aMutex_Unlock(link->userFilterSema);
    if (!consumed && !sHandleHBBackChannel(link, link->packet))
        err = aPacketFifo_Put(link->inFifo, link->packet);
    aPacket_Reset(link->packet);
    return err;
}

void sInPipeProcess(void* reference)
{
    aLink* link = static_cast<aLink*>(reference);
    link->hbState = 0;
    link->syncAddress = 1;
    link->inReady = true;
    link->status = RUNNING;
    link->syncState = kSyncIdle;
    while (link->running) {
        uint8_t byte = 0;
        const aErr err = aStream_Read(link->stream, &byte, 1);
        if (err == aErrNotReady) {
            const uint32_t status = link->status;
            if (status == SYNCING || status == IO_ERROR)
                sStartSync(link);
            continue;
        }
        if (err != aErrNone) {
            link->status = IO_ERROR;
            aTime_MSSleep(kIOErrorPauseMs);
            continue;
        }
        if (link->status == SYNCING) {
            sSyncByte(link, byte);
            continue;
        }
        if (aPacket_AddByte(link->packet, byte) != aErrNone || (link->packet->address & 1)) {
            sStartSync(link); // out of step: the partial packet is dropped
            continue;
        }
        if (aPacket_IsComplete(link->packet) && sHandlePacket(link) != aErrNone)
            link->status = UNKNOWN_ERROR;
    }
}

void sWritePacket(aLink* link, const aPacket* packet)
{
    uint8_t wire[aPACKET_MAX_WIRE];
    size_t length = 0;
    if (aPacket_GetBytes(packet, wire, sizeof(wire), &length) == aErrNone)
        aStream_Write(link->stream, wire, length);
}

// Writes every packet still queued, one by one, without pooling.
void sWriteRemaining(aLink* link)
{
    while (aPacket* packet = aPacketFifo_Get(link->outFifo)) {
        sWritePacket(link, packet);
        aPacket_Destroy(&packet);
    }
}

void sOutPipeProcess(void* reference)
{
    aLink* link = static_cast<aLink*>(reference);
    link->outReady = true;
    uint8_t pool[kPoolSize];
    while (link->outRunning) {
        aPacket* packet = aPacketFifo_Await(link->outFifo, kOutWaitMs);
        if (!packet)
            continue;
        if (!link->pooled) {
            sWritePacket(link, packet);
        } else {
            // Fill one write with whole packets only; a packet never straddles two writes.
            size_t used = 0;
            size_t length = 0;
            aPacket_GetBytes(packet, pool, kPoolSize, &length);
            used = length;
            while (used <= kPoolLimit) {
                aPacket* next = aPacketFifo_Get(link->outFifo);
                if (!next)
                    break;
                if (aPacket_GetBytes(next, pool + used, kPoolSize - used, &length) == aErrNone)
                    used += length;
                aPacket_Destroy(&next);
            }
            aStream_Write(link->stream, pool, used);
        }
        aPacket_Destroy(&packet);
    }
    sWriteRemaining(link);
}

} // namespace

linkStatus aLink_GetStatus(uint32_t id)
{
    aLink* link = aLinkTable_GetLink(id);
    return link ? static_cast<linkStatus>(link->status.load()) : INVALID_LINK_STREAM;
}

aErr aLink_PutPacket(uint32_t id, const aPacket* packet)
{
    aLink* link = aLinkTable_GetLink(id);
    if (!link)
        return aErrParam;
    return aPacketFifo_Put(link->outFifo, packet);
}

aPacket* aLink_GetPacket(uint32_t id)
{
    aLink* link = aLinkTable_GetLink(id);
    return link ? aPacketFifo_Get(link->inFifo) : nullptr;
}

aPacket* aLink_AwaitPacket(uint32_t id, uint64_t timeoutMs)
{
    aLink* link = aLinkTable_GetLink(id);
    return link ? aPacketFifo_Await(link->inFifo, timeoutMs) : nullptr;
}

aPacket* aLink_GetFirst(uint32_t id, aPacketFilter filter, const void* reference)
{
    aLink* link = aLinkTable_GetLink(id);
    return link ? aPacketFifo_GetFirst(link->inFifo, filter, reference) : nullptr;
}

aPacket* aLink_AwaitFirst(uint32_t id, aPacketFilter filter, const void* reference, uint64_t timeoutMs)
{
    aLink* link = aLinkTable_GetLink(id);
    if (!link)
        return nullptr;
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    aPacket* found = nullptr;
    while (!found && link->running && link->status == RUNNING) {
        const uint64_t elapsed =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        if (elapsed >= timeoutMs)
            break;
        found = aPacketFifo_AwaitFirst(link->inFifo, filter, reference, timeoutMs - elapsed);
    }
    return found;
}

uint64_t aLink_DrainPackets(uint32_t id, aPacketFilter filter, const void* reference)
{
    aLink* link = aLinkTable_GetLink(id);
    return link ? aPacketFifo_DrainPackets(link->inFifo, filter, reference) : 0;
}

aErr aLink_InstallUserPacketFilter(uint32_t id, aPacketFilter filter, const void* reference)
{
    aLink* link = aLinkTable_GetLink(id);
    if (!link || !link->userFilterSema)
        return aErrParam;
    aMutex_Lock(link->userFilterSema);
    link->userFilter = filter;
    link->userFilterRef = filter ? reference : nullptr;
    aMutex_Unlock(link->userFilterSema);
    return aErrNone;
}

aErr aLink_EnablePooledPackets(uint32_t id, bool enable)
{
    aLink* link = aLinkTable_GetLink(id);
    if (!link)
        return aErrParam;
    link->pooled = enable;
    return aErrNone;
}

uint32_t aLink_Init(uint32_t id, aStream* stream)
{
    aLink* link = aLinkTable_GetLink(id);
    if (!link)
        return 0;
    link->linkId = id;
    link->check = aLINK_CHECK;
    link->running = false;
    link->outRunning = false;
    link->stream = stream;
    link->status = stream ? STOPPED : INVALID_LINK_STREAM;
    link->inThread = nullptr;
    link->outThread = nullptr;
    link->inFifo = aPacketFifo_Create();
    link->outFifo = aPacketFifo_Create();
    link->inProc = sInPipeProcess;
    link->outProc = sOutPipeProcess;
    link->inReady = false;
    link->outReady = false;
    link->hbState = 0;
    link->syncState = kSyncIdle;
    aPacket_Destroy(&link->packet); // from an earlier life of the record, if any
    link->packet = aPacket_Create();
    link->pooled = false;
    link->userFilter = nullptr;
    link->userFilterRef = nullptr;
    if (link->userFilterSema)
        aMutex_Destroy(&link->userFilterSema);
    char name[64];
    std::snprintf(name, sizeof(name), "aLink(%p)->userFilterSema", static_cast<void*>(link));
    link->userFilterSema = aMutex_Create(name);
    return id;
}

aErr aLink_Start(uint32_t id)
{
    aLink* link = aLinkTable_GetLink(id);
    if (!link)
        return aErrParam;
    if (link->running)
        return aErrNone;
    if (link->check != aLINK_CHECK || !aVALIDSTREAM(link->stream) || !link->inFifo || !link->outFifo
        || !link->packet || !link->userFilterSema)
        return aErrInitialization; // the threads never run without a stream and queues
    link->running = true;
    link->outRunning = true;
    link->status = INITIALIZING;
    link->hbState = 0;
    link->inReady = false;
    link->outReady = false;
    link->inThread = aThread_Create(link->inProc, link);
    link->outThread = link->inThread ? aThread_Create(link->outProc, link) : nullptr;
    if (!link->inThread || !link->outThread) {
        // Do not leave a half-started link with a thread nobody can stop.
        link->running = false;
        link->outRunning = false;
        aThread_Destroy(&link->inThread);
        aThread_Destroy(&link->outThread);
        link->inReady = false;
        link->outReady = false;
        link->status = STOPPED;
        return aErrResource;
    }
    bool ready = false;
    for (int poll = 0; poll < kStartupPolls && !ready; ++poll) {
        ready = link->inReady && link->outReady && link->status == RUNNING;
        if (!ready)
            aTime_MSSleep(10);
    }
    if (!ready)
        return aErrIndexRange;
    return sQueueRoute(link, 1);
}

aErr aLink_Stop(aLink* link)
{
    if (!link)
        return aErrParam;
    if (link->status == STOPPING || link->status == STOPPED)
        return aErrNone;
    link->status = STOPPING;
    aErr result = aErrNone;
    if (link->inThread && link->outThread) {
        // The input thread goes first, so that no heartbeat answer can follow
        // the route-control packet. The output thread is told to finish before
        // the route-control packet is queued: queueing it wakes the thread at
        // once, and whatever the thread leaves is written here after the join,
        // the route-control packet last of all.
        link->running = false;
        if (aThread_Destroy(&link->inThread) != 0)
            result = aErrUnknown;
        link->outRunning = false;
        const aErr route = sQueueRoute(link, 0);
        if (aThread_Destroy(&link->outThread) != 0)
            result = aErrUnknown;
        else if (result == aErrNone)
            result = route;
        sWriteRemaining(link);
        link->inReady = false;
        link->outReady = false;
        aPacket_Reset(link->packet);
        link->status = STOPPED;
        link->hbState = 0;
    }
    return result;
}

aErr aLink_Sync(uint32_t id)
{
    aLink* link = aLinkTable_GetLink(id);
    if (!link)
        return aErrParam;
    link->status = SYNCING;
    aErr result = aErrNotReady;
    for (int poll = 0; poll < kSyncPolls; ++poll) {
        if (link->status == RUNNING) {
            result = aErrNone;
            break;
        }
        aTime_MSSleep(10);
    }
    // Drop the surplus queries, then the late answers to them.
    aPacketFifo_DrainPackets(link->outFifo, sAcceptAll, nullptr);
    aTime_MSSleep(100);
    aPacketFifo_DrainPackets(link->inFifo, sAcceptAll, nullptr);
    return result;
}

aErr aLink_ForceRoute(uint32_t id, uint8_t on)
{
    aLinkItem* item = aLinkTable_Find(id);
    if (!item)
        return aErrNotFound;
    if (item->link.check != aLINK_CHECK)
        return aErrParam;
    return sQueueRoute(&item->link, on);
}

aErr aLink_Reset(uint32_t id)
{
    aLinkItem* item = aLinkTable_Find(id);
    if (!item || item->link.check != aLINK_CHECK)
        return aErrParam;
    aLink* link = &item->link;
    aLink_Stop(link);
    aPacketFifo_Destroy(&link->inFifo);
    aPacketFifo_Destroy(&link->outFifo);
    aStream_Destroy(&link->stream);
    link->status = INVALID_LINK_STREAM;

    aStream* stream = nullptr;
    aErr err = aErrParam;
    for (int attempt = 0; attempt < kResetAttempts; ++attempt) {
        switch (item->type) {
        case TCPIP:
            err = aStream_CreateSocket(item->ident1, static_cast<uint16_t>(item->ident2), &stream);
            break;
        case USB:
            err = aStream_CreateUSB(item->ident0, &stream);
            break;
        default:
            err = aErrParam; // no way to open this transport again
            break;
        }
        if (err == aErrNone || err == aErrParam)
            break;
        aTime_MSSleep(100);
    }
    if (err != aErrNone)
        return err; // stays stopped without stream or queues
    aLink_Init(id, stream);
    return aLink_Start(id);
}
