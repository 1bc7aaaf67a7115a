// aLink: the link engine. A link turns a byte stream to one module into a
// packet channel: an input thread reads the stream, keeps it in step with
// packet boundaries, answers heartbeats and queues received packets; an
// output thread writes queued packets. Callers name links by the ids of the
// process-wide link table (creation and destruction below) and exchange
// packets through the two queues. Used by the object layer (Link, Module),
// discovery and the sharing server.
#pragma once

#include <atomic>
#include <cstdint>

#include "common/aErr.h"
#include "common/aLinkSpec.h"
#include "common/aMutex.h"
#include "common/aPacket.h"
#include "common/aPacketFifo.h"
#include "common/aStream.h"
#include "common/aThread.h"

enum linkStatus : uint32_t {
    STOPPED = 0,             // initialised with a stream, threads not running
    INITIALIZING = 1,        // aLink_Start is starting the threads
    RUNNING = 2,             // in step, packets flow
    STOPPING = 3,            // aLink_Stop in progress
    SYNCING = 4,             // synchronisation requested or running
    INVALID_LINK_STREAM = 5, // no stream; also the status of an unknown id
    IO_ERROR = 6,            // the last stream read failed
    UNKNOWN_ERROR = 8,       // a received packet could not be queued
};

// Link-control addresses (odd, sent by the host only).
constexpr uint8_t aLINK_ADDRESS_QUERY = 173; // module-address query and sync request
constexpr uint8_t aLINK_ROUTE_CONTROL = 175; // route control, data 1 on start, 0 on stop

constexpr uint16_t aLINK_CHECK = 0xCEED;

// The link record, one per link table entry. The input thread alone touches
// the packet under assembly and the synchronisation fields; everything the
// caller threads and the pipe threads share is atomic or behind a lock.
struct aLink {
    uint16_t check;
    uint32_t linkId;
    std::atomic<bool> running;
    std::atomic<bool> outRunning; // the output thread's own stop signal (see aLink_Stop)
    std::atomic<uint32_t> status;
    uint64_t inFifo;
    aPacket* packet;
    uint64_t outFifo;
    aThread* inThread;
    aThread* outThread;
    aThreadProc inProc;
    aThreadProc outProc;
    std::atomic<bool> inReady;
    std::atomic<bool> outReady;
    aStream* stream;
    std::atomic<int> hbState;
    int syncState;
    uint8_t syncAddress;
    aPacketFilter userFilter;
    const void* userFilterRef;
    aMutex* userFilterSema;
    std::atomic<bool> pooled;
};

// Packet exchange. Packets returned are the caller's (aPacket_Destroy).
linkStatus aLink_GetStatus(uint32_t id);
aErr aLink_PutPacket(uint32_t id, const aPacket* packet);
aPacket* aLink_GetPacket(uint32_t id);
aPacket* aLink_AwaitPacket(uint32_t id, uint64_t timeoutMs);
aPacket* aLink_GetFirst(uint32_t id, aPacketFilter filter, const void* reference);
// Waits only while the link is RUNNING; any other state returns null at once.
aPacket* aLink_AwaitFirst(uint32_t id, aPacketFilter filter, const void* reference, uint64_t timeoutMs);
uint64_t aLink_DrainPackets(uint32_t id, aPacketFilter filter, const void* reference);

// The user filter runs on the input thread for every complete packet, before
// heartbeat handling; returning 1 consumes the packet.
aErr aLink_InstallUserPacketFilter(uint32_t id, aPacketFilter filter, const void* reference);
aErr aLink_EnablePooledPackets(uint32_t id, bool enable);

// Engine control.
uint32_t aLink_Init(uint32_t id, aStream* stream);
aErr aLink_Start(uint32_t id);
aErr aLink_Stop(aLink* link);
aErr aLink_Sync(uint32_t id);
aErr aLink_ForceRoute(uint32_t id, uint8_t on);
aErr aLink_Reset(uint32_t id);

// Link table and creation: each returns a link id, or 0 on failure.
// A USB link is shared per serial number and synchronised once started
// (aLinkTable.cpp); 0 also when the module is served by a sharing server.
uint32_t aLink_CreateUSB(uint32_t serialNumber);
uint32_t aLink_CreateTCPIP(uint32_t serialNumber, uint32_t ipAddress, uint32_t port);
uint32_t aLink_CreateSerial(uint32_t serialNumber, const char* portName, uint32_t baudRate);
// A link over a caller-supplied stream, which the link then owns.
uint32_t aLink_Create(aStream* stream);
// Removes one use; the last use stops the link and frees everything it owns.
// Always sets *id to 0.
aErr aLink_Destroy(uint32_t* id);
