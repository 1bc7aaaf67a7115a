// The link engine against a scripted peer on a real TCP connection: route
// control at start and stop, synchronisation, heartbeat answers, the user
// filter, resynchronisation, pooled writes and waits while out of step.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include "common/aLinkTable.h"
#include "tests/link/LinkTestSupport.h"
#include "tests/link/LoopbackPeer.h"

namespace {

using namespace linktest;
using Clock = std::chrono::steady_clock;

const Bytes kRouteOn = {175, 1, 1};
const Bytes kRouteOff = {175, 1, 0};
const Bytes kQuery = {173, 0};

// A link over a caller-supplied socket stream, its peer already accepted and
// the start-up route-control packet already read.
class ScriptedLink : public ::testing::Test {
protected:
    LoopbackPeer peer;
    uint32_t id = 0;

    void SetUp() override
    {
        aStream* stream = nullptr;
        ASSERT_EQ(aStream_CreateSocket(LoopbackPeer::address(), peer.port(), &stream), aErrNone);
        ASSERT_TRUE(peer.accept());
        id = aLink_Create(stream);
        ASSERT_NE(id, 0u);
        ASSERT_EQ(peer.read(3), kRouteOn) << "route control comes first";
        ASSERT_EQ(aLink_GetStatus(id), RUNNING);
    }
    void TearDown() override
    {
        if (id)
            aLink_Destroy(&id);
    }
    // Knocks the link out of step with an odd address and reads the first six queries.
    void goOutOfStep()
    {
        peer.write({7});
        ASSERT_EQ(peer.read(12), repeat(kQuery, 6));
        ASSERT_EQ(aLink_GetStatus(id), SYNCING);
    }
};

TEST_F(ScriptedLink, StopWritesRouteOffLastAndIsIdempotent)
{
    ASSERT_EQ(put(id, 4, {1, 2}), aErrNone);
    EXPECT_EQ(peer.read(4), (Bytes{4, 2, 1, 2}));
    peer.write({4, 2, 0, 0});
    EXPECT_EQ(peer.read(4), (Bytes{4, 2, 0, 2}));
    ASSERT_EQ(put(id, 4, {3}), aErrNone); // still queued or in flight at the stop
    aLink* link = aLinkTable_GetLink(id);
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(aLink_Stop(link), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), STOPPED);
    EXPECT_EQ(peer.readUntilQuiet(), (Bytes{4, 1, 3, 175, 1, 0}));

    EXPECT_EQ(aLink_Stop(link), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), STOPPED);
    EXPECT_TRUE(peer.readUntilQuiet(150).empty()) << "a second stop writes nothing";
    // Started again, it announces the route again.
    EXPECT_EQ(aLink_Start(id), aErrNone);
    EXPECT_EQ(peer.read(3), kRouteOn);
}

TEST_F(ScriptedLink, HeartbeatsAreAnsweredAndNotQueued)
{
    struct Case {
        Bytes in;
        Bytes answer; // empty: queued instead
    };
    const std::vector<Case> cases = {
        {{4, 2, 0, 0}, {4, 2, 0, 2}},
        {{4, 2, 0, 1}, {4, 2, 0, 3}},
        {{6, 2, 0, 7}, {6, 2, 0, 9}},
        {{4, 2, 5, 0}, {}},
        {{4, 3, 0, 0, 0}, {}},
    };
    for (const auto& c : cases) {
        peer.write(c.in);
        if (!c.answer.empty()) {
            EXPECT_EQ(peer.read(4), c.answer);
            EXPECT_EQ(aLink_AwaitPacket(id, 100), nullptr);
        } else {
            OwnedPacket got(aLink_AwaitPacket(id, 2000));
            ASSERT_TRUE(got);
            EXPECT_EQ(got.wire(), c.in);
            EXPECT_TRUE(peer.readUntilQuiet(100).empty());
        }
    }
}

uint8_t sConsumeAll(const aPacket*, const void* reference)
{
    ++*static_cast<std::atomic<int>*>(const_cast<void*>(reference));
    return 1;
}

TEST_F(ScriptedLink, UserFilterThatConsumesEverything)
{
    std::atomic<int> seen{0};
    ASSERT_EQ(aLink_InstallUserPacketFilter(id, sConsumeAll, &seen), aErrNone);
    peer.write({4, 2, 0, 0, 4, 1, 9});
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    while (seen < 2 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(seen, 2);
    EXPECT_TRUE(peer.readUntilQuiet(150).empty()) << "the heartbeat went to the filter";
    EXPECT_EQ(aLink_GetPacket(id), nullptr);

    ASSERT_EQ(aLink_InstallUserPacketFilter(id, nullptr, nullptr), aErrNone);
    peer.write({4, 2, 0, 0});
    EXPECT_EQ(peer.read(4), (Bytes{4, 2, 0, 2}));
    EXPECT_EQ(aLink_InstallUserPacketFilter(0, sConsumeAll, &seen), aErrParam);
}

TEST_F(ScriptedLink, SyncBringsTheLinkIntoStep)
{
    aErr result = aErrUnknown;
    std::thread sync([&] { result = aLink_Sync(id); });
    EXPECT_EQ(peer.read(12), repeat(kQuery, 6));
    peer.write(repeat({6, 0}, 6));
    sync.join();
    EXPECT_EQ(result, aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), RUNNING);
    EXPECT_EQ(aLink_GetPacket(id), nullptr) << "late answers are discarded";
    // Packets flow normally afterwards.
    peer.write({6, 1, 42});
    OwnedPacket got(aLink_AwaitPacket(id, 2000));
    ASSERT_TRUE(got);
    EXPECT_EQ(got.wire(), (Bytes{6, 1, 42}));
}

TEST_F(ScriptedLink, SynchronisationAnswers)
{
    struct Case {
        const char* name;
        Bytes answer;
        bool inStep;
    };
    const std::vector<Case> cases = {
        {"same address twice", {6, 0, 6, 0}, true},
        {"address must repeat", {6, 0, 8, 0}, false},
        {"zero restarts, then in step", {0, 6, 0, 6, 0}, true},
        {"odd byte restarts, then in step", {7, 6, 0, 6, 0}, true},
        {"data after the address", {6, 1, 6, 0}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        goOutOfStep();
        peer.write(c.answer);
        if (c.inStep) {
            EXPECT_TRUE(waitForStatus(id, RUNNING, 2000));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            EXPECT_EQ(aLink_GetStatus(id), SYNCING);
            // A quiet line keeps asking, six queries at a time.
            const Bytes more = peer.read(12);
            EXPECT_EQ(more, repeat(kQuery, 6));
            peer.write({4, 0, 4, 0});
            EXPECT_TRUE(waitForStatus(id, RUNNING, 2000));
        }
        peer.readUntilQuiet(100); // surplus queries
        aLink_DrainPackets(id, [](const aPacket*, const void*) -> uint8_t { return 1; }, nullptr);
    }
}

TEST_F(ScriptedLink, BytesOutOfStepMakeTheLinkResynchronise)
{
    struct Case {
        const char* name;
        Bytes bytes;
    };
    const std::vector<Case> cases = {
        {"odd address", {5, 0}},
        {"length above 28", {4, 29}},
        {"zero address", {0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        peer.write(c.bytes);
        EXPECT_EQ(peer.read(12), repeat(kQuery, 6));
        peer.write({6, 0, 6, 0});
        ASSERT_TRUE(waitForStatus(id, RUNNING, 2000));
        peer.readUntilQuiet(100);
        // The partial packet was dropped: the next packet arrives clean.
        peer.write({6, 2, 0xAA, 0xBB});
        uint8_t data0 = 0xAA;
        OwnedPacket got(aLink_AwaitFirst(id, [](const aPacket* p, const void* r) -> uint8_t {
            return p->dataSize == 2 && p->data[0] == *static_cast<const uint8_t*>(r);
        }, &data0, 2000));
        ASSERT_TRUE(got);
        EXPECT_EQ(got.wire(), (Bytes{6, 2, 0xAA, 0xBB}));
        while (aPacket* p = aLink_GetPacket(id))
            aPacket_Destroy(&p);
    }
}

TEST_F(ScriptedLink, AwaitFirstReturnsAtOnceWhileOutOfStep)
{
    goOutOfStep();
    const auto start = Clock::now();
    EXPECT_EQ(aLink_AwaitFirst(id, [](const aPacket*, const void*) -> uint8_t { return 1; }, nullptr, 3000),
              nullptr);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_EQ(aLink_AwaitFirst(9999999, [](const aPacket*, const void*) -> uint8_t { return 1; }, nullptr, 3000),
              nullptr);
}

TEST_F(ScriptedLink, AwaitFirstWaitsForTheMatchingReply)
{
    std::thread module([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        peer.write({6, 3, 3, 1, 0, 6, 3, 3, 9, 0});
    });
    ReplyMatch match{6, 3, 9};
    OwnedPacket got(aLink_AwaitFirst(id, replyFilter, &match, 3000));
    module.join();
    ASSERT_TRUE(got);
    EXPECT_EQ(got.wire(), (Bytes{6, 3, 3, 9, 0}));
    OwnedPacket other(aLink_GetPacket(id));
    ASSERT_TRUE(other);
    EXPECT_EQ(other.wire(), (Bytes{6, 3, 3, 1, 0}));
}

// A stream over one end of a socket pair that records the size of every block
// written, so the test can see where the link cut its writes.
struct RecordingStream {
    int fd = -1;
    std::mutex mutex;
    std::condition_variable opened;
    bool gateOpen = false; // writes wait until the test opens the gate
    std::atomic<int> writesStarted{0};
    std::vector<size_t> blocks;

    void openGate()
    {
        std::lock_guard<std::mutex> lock(mutex);
        gateOpen = true;
        opened.notify_all();
    }

    static aErr get(uint8_t* byte, void* reference)
    {
        auto* s = static_cast<RecordingStream*>(reference);
        pollfd p{s->fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            return aErrNotReady;
        return ::read(s->fd, byte, 1) == 1 ? aErrNone : aErrNotReady;
    }
    static aErr write(const uint8_t* data, size_t length, void* reference)
    {
        auto* s = static_cast<RecordingStream*>(reference);
        {
            ++s->writesStarted;
            std::unique_lock<std::mutex> lock(s->mutex);
            s->opened.wait_for(lock, std::chrono::seconds(5), [s] { return s->gateOpen; });
            s->blocks.push_back(length);
        }
        size_t sent = 0;
        while (sent < length) {
            const ssize_t n = ::send(s->fd, data + sent, length - sent, MSG_NOSIGNAL);
            if (n <= 0)
                return aErrIO;
            sent += static_cast<size_t>(n);
        }
        return aErrNone;
    }
    static aErr put(const uint8_t* byte, void* reference) { return write(byte, 1, reference); }
};

TEST(LinkPooling, PooledWritesNeverCutAPacket)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    RecordingStream rec;
    rec.fd = pair[0];
    uint32_t id = aLink_Create(aStream_Create(RecordingStream::get, RecordingStream::put, RecordingStream::write,
                                              nullptr, &rec));
    ASSERT_NE(id, 0u);
    // The output thread is now held in its write of the route-control packet,
    // so all 200 packets are queued before it takes the next one.
    for (int i = 0; i < 500 && rec.writesStarted == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_EQ(rec.writesStarted, 1);
    ASSERT_EQ(aLink_EnablePooledPackets(id, true), aErrNone);
    constexpr int kPackets = 200;
    Bytes expected;
    for (int i = 0; i < kPackets; ++i) {
        Bytes data(28);
        for (int k = 0; k < 28; ++k)
            data[k] = static_cast<uint8_t>(i + k);
        ASSERT_EQ(put(id, 2, data), aErrNone);
        expected.push_back(2);
        expected.push_back(28);
        expected.insert(expected.end(), data.begin(), data.end());
    }
    rec.openGate();
    // Read everything the link wrote: route control, then the 200 packets in order.
    Bytes got;
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (got.size() < 3 + expected.size() && Clock::now() < deadline) {
        pollfd p{pair[1], POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        uint8_t buf[8192];
        const ssize_t n = ::read(pair[1], buf, sizeof(buf));
        if (n > 0)
            got.insert(got.end(), buf, buf + n);
    }
    ASSERT_EQ(got.size(), 3 + expected.size());
    EXPECT_EQ(Bytes(got.begin() + 3, got.end()), expected);
    aLink_Destroy(&id);

    // Every write ends on a packet boundary: after route control (3 bytes),
    // after each 30-byte packet, or after the final route control.
    std::set<size_t> boundaries{3};
    for (int i = 1; i <= kPackets; ++i)
        boundaries.insert(3 + 30 * size_t(i));
    boundaries.insert(3 + 30 * size_t(kPackets) + 3);
    std::lock_guard<std::mutex> lock(rec.mutex);
    size_t position = 0;
    for (size_t block : rec.blocks) {
        EXPECT_LE(block, 4096u);
        position += block;
        EXPECT_TRUE(boundaries.count(position)) << "a write ends inside a packet at byte " << position;
    }
    EXPECT_EQ(position, 3 + expected.size() + 3);
    // Packets are added while the buffer holds at most 4066 bytes: 136 whole
    // packets (4080 bytes) in the first write, the other 64 in the second.
    EXPECT_EQ(rec.blocks, (std::vector<size_t>{3, 4080, 1920, 3}));
    close(pair[0]);
    close(pair[1]);
}

} // namespace
