// Packet queues: a registry of reference-counted queues, each with its own
// mutex and condition variable. The registry mutex is never held together
// with a queue's mutex.
#include "common/aPacketFifo.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include <sched.h>

namespace {

constexpr size_t kMaxQueued = 1000;

struct aPacketDeleter {
    void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};
using OwnedPacket = std::unique_ptr<aPacket, aPacketDeleter>;
using SerialPacket = std::pair<int64_t, OwnedPacket>;

struct packetFifo {
    std::deque<SerialPacket> queue;
    std::condition_variable signal;
    std::mutex mutex;
    std::atomic<bool> alive{true};
    std::atomic<int64_t> windowStart{0};
    std::atomic<int64_t> nextId{0};

    void syncWindow()
    {
        windowStart = queue.empty() ? nextId.load() : queue.front().first;
    }
    void clearAndSyncWindow()
    {
        queue.clear();
        syncWindow();
    }
    void eraseAndSyncWindow(std::deque<SerialPacket>::iterator it)
    {
        queue.erase(it);
        syncWindow();
    }
};

using FifoRef = std::shared_ptr<packetFifo>;

// The registry lives for the whole process and is never destroyed, so that
// link threads still running while the process exits find it intact.
struct Registry {
    std::mutex mutex;
    std::map<uint64_t, FifoRef> fifos;
    uint64_t sequentialId = 1;
};
Registry& sRegistry()
{
    static Registry* registry = new Registry;
    return *registry;
}

FifoRef sGetFifo(uint64_t id)
{
    std::lock_guard<std::mutex> lock(sRegistry().mutex);
    auto it = sRegistry().fifos.find(id);
    return it == sRegistry().fifos.end() ? nullptr : it->second;
}

FifoRef sExtractFifo(uint64_t id)
{
    std::lock_guard<std::mutex> lock(sRegistry().mutex);
    auto it = sRegistry().fifos.find(id);
    if (it == sRegistry().fifos.end())
        return nullptr;
    FifoRef fifo = std::move(it->second);
    sRegistry().fifos.erase(it);
    return fifo;
}

// Takes the entry out as a fresh copy; on a failed copy the entry stays.
aPacket* _stealPacketFromFifo(packetFifo& fifo, std::deque<SerialPacket>::iterator it)
{
    aPacket* copy = aPacket_Copy(it->second.get());
    if (!copy)
        return nullptr;
    fifo.eraseAndSyncWindow(it);
    return copy;
}

// A reply usually follows its request within tens of microseconds, far less
// than what putting a thread to sleep and waking it again costs. So a waiter
// first watches the queue's put counter for a short while, giving its core
// away on every look, and sleeps on the condition variable only after that.
constexpr auto kSpin = std::chrono::microseconds(100);

// Returns once a packet was put after `seen`, the queue is destroyed, or the
// spin time (or the deadline, whichever is first) is over.
void sSpinForPut(const packetFifo& fifo, int64_t seen, std::chrono::steady_clock::time_point deadline)
{
    const auto until = std::min(deadline, std::chrono::steady_clock::now() + kSpin);
    do {
        if (fifo.nextId.load(std::memory_order_acquire) != seen || !fifo.alive)
            return;
        sched_yield();
    } while (std::chrono::steady_clock::now() < until);
}

std::chrono::steady_clock::time_point sDeadline(uint64_t timeoutMs)
{
    // Clamp so that "wait practically forever" cannot overflow the clock.
    constexpr uint64_t kMaxMs = 1000ull * 60 * 60 * 24 * 365;
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs > kMaxMs ? kMaxMs : timeoutMs);
}

} // namespace

uint64_t aPacketFifo_Create()
{
    try {
        auto fifo = std::make_shared<packetFifo>();
        std::lock_guard<std::mutex> lock(sRegistry().mutex);
        uint64_t id = 0;
        while (id == 0)
            id = sRegistry().sequentialId++;
        sRegistry().fifos.emplace(id, std::move(fifo));
        return id;
    } catch (...) {
        return 0;
    }
}

aErr aPacketFifo_Destroy(uint64_t* id)
{
    if (!id)
        return aErrParam;
    try {
        FifoRef fifo = sExtractFifo(*id);
        if (!fifo)
            return aErrNotFound;
        {
            std::lock_guard<std::mutex> lock(fifo->mutex);
            fifo->clearAndSyncWindow();
            fifo->alive = false;
        }
        fifo->signal.notify_all();
        *id = 0;
        return aErrNone;
    } catch (...) {
        return aErrUnknown;
    }
}

uint64_t aPacketFifo_GetLength(uint64_t id)
{
    FifoRef fifo = sGetFifo(id);
    if (!fifo)
        return 0;
    std::lock_guard<std::mutex> lock(fifo->mutex);
    return fifo->queue.size();
}

aErr aPacketFifo_Put(uint64_t id, const aPacket* packet)
{
    FifoRef fifo = sGetFifo(id);
    if (!fifo || !aVALIDPACKET(packet))
        return aErrParam;
    std::unique_lock<std::mutex> lock(fifo->mutex);
    const int64_t sequence = fifo->nextId++;
    OwnedPacket copy(aPacket_Copy(packet));
    if (!copy)
        return aErrParam;
    try {
        fifo->queue.emplace_back(sequence, std::move(copy));
    } catch (...) {
        return aErrResource;
    }
    fifo->syncWindow();
    if (fifo->queue.size() > kMaxQueued) {
        // Nobody is reading: drop everything rather than grow without bound.
        fifo->clearAndSyncWindow();
        return aErrNone;
    }
    lock.unlock();
    fifo->signal.notify_all();
    return aErrNone;
}

aPacket* aPacketFifo_Get(uint64_t id)
{
    FifoRef fifo = sGetFifo(id);
    if (!fifo)
        return nullptr;
    std::lock_guard<std::mutex> lock(fifo->mutex);
    if (fifo->queue.empty())
        return nullptr;
    return _stealPacketFromFifo(*fifo, fifo->queue.begin());
}

aPacket* aPacketFifo_Await(uint64_t id, uint64_t timeoutMs)
{
    FifoRef fifo = sGetFifo(id);
    if (!fifo)
        return nullptr;
    const auto deadline = sDeadline(timeoutMs);
    std::unique_lock<std::mutex> lock(fifo->mutex);
    if (fifo->queue.empty() && fifo->alive) {
        const int64_t seen = fifo->nextId;
        lock.unlock();
        sSpinForPut(*fifo, seen, deadline);
        lock.lock();
    }
    // _waitUntilNotEmpty
    fifo->signal.wait_until(lock, deadline, [&] { return !fifo->queue.empty() || !fifo->alive; });
    if (fifo->queue.empty())
        return nullptr;
    return _stealPacketFromFifo(*fifo, fifo->queue.begin());
}

aPacket* aPacketFifo_GetFirst(uint64_t id, aPacketFilter filter, const void* reference)
{
    FifoRef fifo = sGetFifo(id);
    if (!fifo || !filter)
        return nullptr;
    std::lock_guard<std::mutex> lock(fifo->mutex);
    for (auto it = fifo->queue.begin(); it != fifo->queue.end(); ++it)
        if (filter(it->second.get(), reference))
            return _stealPacketFromFifo(*fifo, it);
    return nullptr;
}

aPacket* aPacketFifo_AwaitFirst(uint64_t id, aPacketFilter filter, const void* reference,
                                uint64_t timeoutMs)
{
    FifoRef fifo = sGetFifo(id);
    if (!fifo || !filter)
        return nullptr;
    const auto deadline = sDeadline(timeoutMs);
    std::unique_lock<std::mutex> lock(fifo->mutex);
    // _waitUntilProcIsSatisfied: every packet is shown to the filter once.
    int64_t lastExamined = fifo->windowStart - 1;
    bool found = false;
    int64_t foundSequence = 0;
    const auto satisfied = [&] {
        for (const auto& entry : fifo->queue) {
            if (entry.first <= lastExamined)
                continue;
            lastExamined = entry.first;
            if (filter(entry.second.get(), reference)) {
                found = true;
                foundSequence = entry.first;
                return true;
            }
        }
        return !fifo->alive;
    };
    if (!satisfied()) {
        const int64_t seen = fifo->nextId;
        lock.unlock();
        sSpinForPut(*fifo, seen, deadline);
        lock.lock();
        fifo->signal.wait_until(lock, deadline, satisfied);
    }
    if (!found)
        return nullptr;
    for (auto it = fifo->queue.begin(); it != fifo->queue.end(); ++it)
        if (it->first == foundSequence)
            return _stealPacketFromFifo(*fifo, it);
    return nullptr;
}

uint64_t aPacketFifo_DrainPackets(uint64_t id, aPacketFilter filter, const void* reference)
{
    FifoRef fifo = sGetFifo(id);
    if (!fifo || !filter)
        return 0;
    try {
        std::lock_guard<std::mutex> lock(fifo->mutex);
        const size_t before = fifo->queue.size();
        for (auto it = fifo->queue.begin(); it != fifo->queue.end();) {
            if (filter(it->second.get(), reference))
                it = fifo->queue.erase(it);
            else
                ++it;
        }
        fifo->syncWindow();
        return before - fifo->queue.size();
    } catch (...) {
        return 0;
    }
}
