// The link table: shared links and use counts, teardown, ids never reused,
// failed creations leaving nothing behind, serial baud-rate mapping, reset of
// a TCP link, and linkSpec records.
#include <gtest/gtest.h>

#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>

#include "common/aLinkTable.h"
#include "tests/link/LinkTestSupport.h"
#include "tests/link/LoopbackPeer.h"

namespace {

using namespace linktest;

const Bytes kRouteOn = {175, 1, 1};
const Bytes kRouteOff = {175, 1, 0};

uint16_t sRefusedPort()
{
    LoopbackPeer peer;
    return peer.port(); // nothing listens there once the peer is gone
}

// A link over a stream that goes nowhere: enough to see which id comes next.
uint32_t sRawLink()
{
    return aLink_Create(aStream_Create([](uint8_t*, void*) { return aErrNotReady; },
                                       [](const uint8_t*, void*) { return aErrNone; }, nullptr, nullptr, nullptr));
}

TEST(LinkTable, SameModuleSharesOneLinkUntilTheLastUseGoes)
{
    LoopbackPeer peer;
    uint32_t first = aLink_CreateTCPIP(0x1234, LoopbackPeer::address(), peer.port());
    ASSERT_NE(first, 0u);
    ASSERT_TRUE(peer.accept());
    EXPECT_EQ(peer.read(3), kRouteOn);

    uint32_t second = aLink_CreateTCPIP(0x1234, LoopbackPeer::address(), peer.port());
    EXPECT_EQ(second, first);
    EXPECT_FALSE(peer.pending()) << "a shared link opens no second connection";

    const uint32_t id = first;
    EXPECT_EQ(aLink_Destroy(&first), aErrNone);
    EXPECT_EQ(first, 0u);
    EXPECT_EQ(aLink_GetStatus(id), RUNNING) << "one use remains";
    ASSERT_EQ(put(second, 4, {9}), aErrNone);
    EXPECT_EQ(peer.read(3), (Bytes{4, 1, 9}));

    EXPECT_EQ(aLink_Destroy(&second), aErrNone);
    EXPECT_EQ(peer.readUntilQuiet(), kRouteOff) << "route control goes out before the stream closes";
    EXPECT_TRUE(peer.closedByHost());
    EXPECT_EQ(aLink_GetStatus(id), INVALID_LINK_STREAM);
    uint32_t stale = id;
    EXPECT_EQ(aLink_Destroy(&stale), aErrParam);
    EXPECT_EQ(stale, 0u);
}

TEST(LinkTable, IdsCountUpAndAreNeverReused)
{
    LoopbackPeer peer;
    uint32_t a = aLink_CreateTCPIP(0xA, LoopbackPeer::address(), peer.port());
    ASSERT_TRUE(peer.accept());
    uint32_t b = sRawLink();
    ASSERT_NE(a, 0u);
    ASSERT_NE(b, 0u);
    EXPECT_GT(b, a);
    const uint32_t oldA = a;
    aLink_Destroy(&a);
    uint32_t c = aLink_CreateTCPIP(0xA, LoopbackPeer::address(), peer.port());
    ASSERT_TRUE(peer.accept());
    EXPECT_GT(c, b) << "a new link for the same module gets a new id";
    EXPECT_NE(c, oldA);
    uint32_t d = aLink_CreateTCPIP(0xB, LoopbackPeer::address(), peer.port());
    EXPECT_NE(d, c) << "another serial number is another link";
    ASSERT_TRUE(peer.accept());
    for (uint32_t* id : {&b, &c, &d})
        aLink_Destroy(id);
    uint32_t none = 0;
    EXPECT_EQ(aLink_Destroy(&none), aErrParam);
    EXPECT_EQ(aLink_Destroy(nullptr), aErrParam);
    EXPECT_EQ(aLink_GetStatus(987654), INVALID_LINK_STREAM);
}

TEST(LinkTable, FailedCreationsLeaveNothingBehind)
{
    uint32_t probe = sRawLink();
    ASSERT_NE(probe, 0u);
    const uint32_t k = probe;
    aLink_Destroy(&probe);

    EXPECT_EQ(aLink_CreateTCPIP(0x77, LoopbackPeer::address(), sRefusedPort()), 0u);
    EXPECT_EQ(aLink_CreateSerial(0x78, "/dev/null", 1200), 0u);
    EXPECT_EQ(aLink_CreateSerial(0x79, "/dev/no-such-port", 115200), 0u);
    EXPECT_EQ(aLink_Create(nullptr), 0u);
    uint32_t after = sRawLink();
    ASSERT_NE(after, 0u);
    EXPECT_EQ(after, k + 4) << "each failed creation used up one id";
    for (uint32_t id = k + 1; id < after; ++id)
        EXPECT_EQ(aLinkTable_Find(id), nullptr) << id;
    aLink_Destroy(&after);
}

struct Pty {
    int master = -1, slave = -1;
    char path[256] = {};
    Pty() { openpty(&master, &slave, path, nullptr, nullptr); }
    ~Pty()
    {
        close(master);
        close(slave);
    }
};

TEST(LinkTable, SerialBaudRatesMapToTheLineSpeed)
{
    const std::vector<std::pair<uint32_t, speed_t>> rates = {
        {2400, B2400}, {4800, B4800}, {9600, B9600}, {19200, B19200},
        {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400},
    };
    for (const auto& [rate, speed] : rates) {
        SCOPED_TRACE(rate);
        Pty pty;
        ASSERT_GE(pty.master, 0);
        uint32_t id = aLink_CreateSerial(0x5000 + rate, pty.path, rate);
        ASSERT_NE(id, 0u);
        termios t;
        ASSERT_EQ(tcgetattr(pty.slave, &t), 0);
        EXPECT_EQ(cfgetospeed(&t), speed);
        uint32_t again = aLink_CreateSerial(0x5000 + rate, pty.path, rate);
        EXPECT_EQ(again, id) << "shared by serial number";
        EXPECT_EQ(aLink_Destroy(&again), aErrNone);
        EXPECT_EQ(aLink_Destroy(&id), aErrNone);
    }
    Pty pty;
    for (uint32_t bad : {0u, 1200u, 115201u, 460800u})
        EXPECT_EQ(aLink_CreateSerial(0x6000, pty.path, bad), 0u) << bad;
}

TEST(LinkTable, ResetOpensTheTcpConnectionAgain)
{
    LoopbackPeer peer;
    uint32_t id = aLink_CreateTCPIP(0x4242, LoopbackPeer::address(), peer.port());
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(peer.accept());
    EXPECT_EQ(peer.read(3), kRouteOn);
    ASSERT_EQ(put(id, 2, {1}), aErrNone);
    EXPECT_EQ(peer.read(3), (Bytes{2, 1, 1}));

    EXPECT_EQ(aLink_Reset(id), aErrNone);
    EXPECT_EQ(peer.readUntilQuiet(), kRouteOff);
    EXPECT_TRUE(peer.closedByHost());
    ASSERT_TRUE(peer.accept()) << "no new connection after the reset";
    EXPECT_EQ(peer.read(3), kRouteOn);
    EXPECT_EQ(aLink_GetStatus(id), RUNNING);
    peer.write({2, 1, 5});
    OwnedPacket got(aLink_AwaitPacket(id, 2000));
    ASSERT_TRUE(got);
    EXPECT_EQ(got.wire(), (Bytes{2, 1, 5}));
    aLink_Destroy(&id);
}

TEST(LinkTable, ResetWithoutAWayToReopenLeavesALinkThatCannotRun)
{
    uint32_t id = sRawLink();
    ASSERT_NE(id, 0u);
    EXPECT_EQ(aLink_Reset(id), aErrParam);
    EXPECT_EQ(aLink_GetStatus(id), INVALID_LINK_STREAM);
    EXPECT_NE(aLink_Start(id), aErrNone) << "no threads without a stream";
    EXPECT_NE(put(id, 2, {}), aErrNone);
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
    EXPECT_EQ(aLink_Reset(id), aErrParam);
}

TEST(LinkSpec, CreateCopyDestroy)
{
    linkSpec* spec = aLinkSpec_Create(SERIAL);
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->type, SERIAL);
    EXPECT_EQ(spec->serialNumber, 0u);
    spec->serialNumber = 0xCAFE;
    std::strcpy(spec->t.serial.portName, "/dev/ttyS0");
    linkSpec* copy = aLinkSpec_Copy(spec);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, spec);
    EXPECT_EQ(std::memcmp(copy, spec, sizeof(linkSpec)), 0);
    EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrNone);
    EXPECT_EQ(spec, nullptr);
    EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrParam);
    EXPECT_EQ(aLinkSpec_Copy(nullptr), nullptr);
    aLinkSpec_Destroy(&copy);
}

} // namespace
