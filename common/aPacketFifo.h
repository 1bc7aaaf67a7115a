// aPacketFifo: process-wide registry of packet queues addressed by number.
// Each link owns an inbound and an outbound queue; callers take packets in
// arrival order or the first one a filter accepts, at once or with a time-out.
#pragma once

#include <cstdint>

#include "common/aErr.h"
#include "common/aPacket.h"

// A filter accepts a packet by returning non-zero. It runs with the queue
// locked and sees the queue's own packet: it must not block or call back into
// the same queue, and must copy what it wants to keep.
typedef uint8_t (*aPacketFilter)(const aPacket* packet, const void* reference);

// New queue id (never 0, never reused), or 0 when the queue could not be made.
uint64_t aPacketFifo_Create();
// aErrParam for a null pointer, aErrNotFound for an unknown id (left as is);
// on success the caller's id is set to 0 and every waiter wakes with null.
aErr aPacketFifo_Destroy(uint64_t* id);
// Packets held; 0 for an unknown id.
uint64_t aPacketFifo_GetLength(uint64_t id);
// Queues a copy of the packet (the caller keeps its own). A put that would
// make the queue hold more than 1000 packets empties it instead.
aErr aPacketFifo_Put(uint64_t id, const aPacket* packet);
// The getters hand out fresh copies that the caller releases with aPacket_Destroy.
aPacket* aPacketFifo_Get(uint64_t id);
aPacket* aPacketFifo_Await(uint64_t id, uint64_t timeoutMs);
aPacket* aPacketFifo_GetFirst(uint64_t id, aPacketFilter filter, const void* reference);
// Shows each packet to the filter at most once per call, waiting for new
// packets up to the time-out.
aPacket* aPacketFifo_AwaitFirst(uint64_t id, aPacketFilter filter, const void* reference,
                                uint64_t timeoutMs);
// Discards every packet the filter accepts; returns how many.
uint64_t aPacketFifo_DrainPackets(uint64_t id, aPacketFilter filter, const void* reference);
