// Packet queues: ordering, copies, filters, waits, destruction and the
// overflow rule, with real threads where waiting is involved.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

#include "common/aPacketFifo.h"

namespace {

using Clock = std::chrono::steady_clock;

struct PacketPtr {
    aPacket* p;
    explicit PacketPtr(aPacket* packet) : p(packet) {}
    ~PacketPtr() { aPacket_Destroy(&p); }
    aPacket* operator->() const { return p; }
    explicit operator bool() const { return p != nullptr; }
};

struct Fifo {
    uint64_t id = aPacketFifo_Create();
    ~Fifo()
    {
        if (id)
            aPacketFifo_Destroy(&id);
    }
    void put(uint8_t address, std::vector<uint8_t> data = {})
    {
        data.push_back(0); // never a null data pointer, also for an empty packet
        PacketPtr p(aPacket_CreateWithData(address, static_cast<uint8_t>(data.size() - 1), data.data()));
        ASSERT_EQ(aPacketFifo_Put(id, p.p), aErrNone);
    }
};

uint8_t sAddressIs(const aPacket* packet, const void* reference)
{
    return packet->address == *static_cast<const uint8_t*>(reference);
}

uint8_t sAll(const aPacket*, const void*) { return 1; }

TEST(PacketFifo, IdsAreDistinctAndDeadAfterDestroy)
{
    uint64_t a = aPacketFifo_Create();
    uint64_t b = aPacketFifo_Create();
    ASSERT_NE(a, 0u);
    ASSERT_NE(b, 0u);
    EXPECT_NE(a, b);
    const uint64_t old = a;
    EXPECT_EQ(aPacketFifo_Destroy(&a), aErrNone);
    EXPECT_EQ(a, 0u);
    PacketPtr p(aPacket_CreateWithData(2, 0, reinterpret_cast<const uint8_t*>("")));
    EXPECT_EQ(aPacketFifo_Put(old, p.p), aErrParam);
    EXPECT_EQ(aPacketFifo_Get(old), nullptr);
    EXPECT_EQ(aPacketFifo_GetLength(old), 0u);
    uint64_t again = old;
    EXPECT_EQ(aPacketFifo_Destroy(&again), aErrNotFound);
    EXPECT_EQ(again, old);
    EXPECT_EQ(aPacketFifo_Destroy(nullptr), aErrParam);
    EXPECT_NE(aPacketFifo_Create(), old) << "ids are never reused";
    aPacketFifo_Destroy(&b);
}

TEST(PacketFifo, KeepsOrderAndHandsOutIndependentCopies)
{
    Fifo f;
    uint8_t data[3] = {7, 8, 9};
    aPacket* mine = aPacket_CreateWithData(4, 3, data);
    ASSERT_EQ(aPacketFifo_Put(f.id, mine), aErrNone);
    mine->data[0] = 99; // the queue holds its own copy
    f.put(6);
    f.put(8);
    EXPECT_EQ(aPacketFifo_GetLength(f.id), 3u);

    PacketPtr first(aPacketFifo_Get(f.id));
    ASSERT_TRUE(first);
    EXPECT_NE(first.p, mine);
    EXPECT_EQ(first->address, 4);
    EXPECT_EQ(first->dataSize, 3);
    EXPECT_EQ(first->data[0], 7);
    EXPECT_TRUE(aPacket_IsComplete(first.p));
    aPacket_Destroy(&mine);
    PacketPtr second(aPacketFifo_Get(f.id));
    PacketPtr third(aPacketFifo_Get(f.id));
    EXPECT_EQ(second->address, 6);
    EXPECT_EQ(third->address, 8);
    EXPECT_EQ(aPacketFifo_Get(f.id), nullptr);
    EXPECT_EQ(aPacketFifo_Put(f.id, nullptr), aErrParam);
}

TEST(PacketFifo, OverflowEmptiesTheQueueAndReportsSuccess)
{
    Fifo f;
    for (int i = 0; i < 1000; ++i)
        f.put(2, {static_cast<uint8_t>(i)});
    EXPECT_EQ(aPacketFifo_GetLength(f.id), 1000u);
    PacketPtr p(aPacket_CreateWithData(2, 0, reinterpret_cast<const uint8_t*>("")));
    EXPECT_EQ(aPacketFifo_Put(f.id, p.p), aErrNone);
    EXPECT_EQ(aPacketFifo_GetLength(f.id), 0u);
    // The queue goes on working afterwards.
    f.put(4);
    PacketPtr got(aPacketFifo_Get(f.id));
    ASSERT_TRUE(got);
    EXPECT_EQ(got->address, 4);
}

TEST(PacketFifo, FilteredTakesLeaveTheRestInOrder)
{
    Fifo f;
    for (uint8_t a : {2, 4, 6, 4, 8})
        f.put(a, {a});
    const uint8_t four = 4;
    PacketPtr got(aPacketFifo_GetFirst(f.id, sAddressIs, &four));
    ASSERT_TRUE(got);
    EXPECT_EQ(got->address, 4);
    const uint8_t ten = 10;
    EXPECT_EQ(aPacketFifo_GetFirst(f.id, sAddressIs, &ten), nullptr);
    EXPECT_EQ(aPacketFifo_DrainPackets(f.id, sAddressIs, &four), 1u);
    std::vector<uint8_t> left;
    while (aPacket* p = aPacketFifo_Get(f.id)) {
        left.push_back(p->address);
        aPacket_Destroy(&p);
    }
    EXPECT_EQ(left, (std::vector<uint8_t>{2, 6, 8}));

    for (uint8_t a : {2, 4, 6})
        f.put(a);
    EXPECT_EQ(aPacketFifo_DrainPackets(f.id, sAll, nullptr), 3u);
    EXPECT_EQ(aPacketFifo_GetLength(f.id), 0u);
    EXPECT_EQ(aPacketFifo_DrainPackets(0, sAll, nullptr), 0u);
}

TEST(PacketFifo, AwaitTimesOutAndZeroTimeoutTakesOnlyWhatIsThere)
{
    Fifo f;
    const auto start = Clock::now();
    EXPECT_EQ(aPacketFifo_Await(f.id, 150), nullptr);
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(140));
    EXPECT_LT(waited, std::chrono::milliseconds(1000));

    EXPECT_EQ(aPacketFifo_Await(f.id, 0), nullptr);
    f.put(2);
    PacketPtr got(aPacketFifo_Await(f.id, 0));
    EXPECT_TRUE(got);

    const uint8_t four = 4;
    const auto start2 = Clock::now();
    f.put(2);
    EXPECT_EQ(aPacketFifo_AwaitFirst(f.id, sAddressIs, &four, 100), nullptr);
    EXPECT_GE(Clock::now() - start2, std::chrono::milliseconds(90));
    EXPECT_EQ(aPacketFifo_GetLength(f.id), 1u);
}

struct CountingFilter {
    std::multiset<uint8_t> seen; // data byte 0 of every packet shown
    uint8_t wanted;
};

uint8_t sCountingFilter(const aPacket* packet, const void* reference)
{
    auto* c = const_cast<CountingFilter*>(static_cast<const CountingFilter*>(reference));
    c->seen.insert(packet->data[0]);
    return packet->address == c->wanted;
}

TEST(PacketFifo, AwaitFirstShowsEachPacketOnceAndTakesTheMatch)
{
    Fifo f;
    f.put(2, {0});
    f.put(6, {1});
    CountingFilter filter{{}, 4};
    std::thread producer([&] {
        for (uint8_t i = 2; i < 12; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            f.put(i == 11 ? 4 : 8, {i});
        }
    });
    PacketPtr got(aPacketFifo_AwaitFirst(f.id, sCountingFilter, &filter, 5000));
    producer.join();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->address, 4);
    EXPECT_EQ(got->data[0], 11);
    // Every packet was shown exactly once although the waiter woke per put.
    for (uint8_t i = 0; i < 12; ++i)
        EXPECT_EQ(filter.seen.count(i), 1u) << "packet " << int(i);
    // The others stay, in order.
    std::vector<uint8_t> left;
    while (aPacket* p = aPacketFifo_Get(f.id)) {
        left.push_back(p->data[0]);
        aPacket_Destroy(&p);
    }
    EXPECT_EQ(left, (std::vector<uint8_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
}

TEST(PacketFifo, DestroyWakesEveryWaiter)
{
    uint64_t id = aPacketFifo_Create();
    std::atomic<int> returned{0};
    std::atomic<bool> gotPacket{false};
    const uint8_t four = 4;
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i) {
        waiters.emplace_back([&, i] {
            aPacket* p = (i % 2) ? aPacketFifo_Await(id, 10000) : aPacketFifo_AwaitFirst(id, sAddressIs, &four, 10000);
            if (p)
                gotPacket = true;
            aPacket_Destroy(&p);
            ++returned;
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto start = Clock::now();
    ASSERT_EQ(aPacketFifo_Destroy(&id), aErrNone);
    for (auto& t : waiters)
        t.join();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(returned, 4);
    EXPECT_FALSE(gotPacket);
}

TEST(PacketFifo, ConcurrentProducersAndConsumersLoseNothing)
{
    Fifo f;
    constexpr int kProducers = 4;
    constexpr int kPerProducer = 200; // stays far below the overflow bound with consumers running
    std::atomic<int> taken{0};
    std::vector<std::vector<int>> seenPerProducer(kProducers);
    std::mutex seenMutex;
    std::vector<std::thread> threads;
    for (int p = 0; p < kProducers; ++p) {
        threads.emplace_back([&, p] {
            for (int i = 0; i < kPerProducer; ++i) {
                const uint8_t d[2] = {static_cast<uint8_t>(p), static_cast<uint8_t>(i)};
                aPacket* packet = aPacket_CreateWithData(2, 2, d);
                EXPECT_EQ(aPacketFifo_Put(f.id, packet), aErrNone);
                aPacket_Destroy(&packet);
            }
        });
    }
    for (int c = 0; c < 3; ++c) {
        threads.emplace_back([&] {
            while (taken < kProducers * kPerProducer) {
                aPacket* packet = aPacketFifo_Await(f.id, 50);
                if (!packet)
                    continue;
                {
                    std::lock_guard<std::mutex> lock(seenMutex);
                    seenPerProducer[packet->data[0]].push_back(packet->data[1]);
                }
                ++taken;
                aPacket_Destroy(&packet);
            }
        });
    }
    for (auto& t : threads)
        t.join();
    for (int p = 0; p < kProducers; ++p) {
        auto& seen = seenPerProducer[p];
        std::sort(seen.begin(), seen.end());
        ASSERT_EQ(seen.size(), size_t(kPerProducer));
        for (int i = 0; i < kPerProducer; ++i)
            EXPECT_EQ(seen[i], i);
    }
}

} // namespace
