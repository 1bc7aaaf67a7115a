// Links against the module simulator: over TCP loopback and over a
// pseudo-terminal carrying COBS frames. The simulator is strict and logs
// what it receives, so these tests also show that the host never sends what
// a module would refuse.
#include <gtest/gtest.h>

#include "sim/Simulator.h"
#include "tests/link/LinkTestSupport.h"
#include "tests/link/LoopbackPeer.h"

namespace {

using namespace linktest;
using std::chrono::milliseconds;

constexpr uint32_t kSerial = 0x00C0FFEE;
constexpr uint8_t kAddress = 4;
constexpr uint8_t kModel = 17;

modsim::SimOptions sOptions(modsim::TransportKind transport = modsim::TransportKind::Tcp)
{
    modsim::SimOptions o;
    o.transport = transport;
    o.module.serial = kSerial;
    o.module.address = kAddress;
    o.module.model = kModel;
    return o;
}

// A UEI get of a system entity option; returns the reply's data (empty on time-out).
Bytes sGetSystem(uint32_t id, uint8_t option, uint64_t timeoutMs = 2000)
{
    if (put(id, kAddress, {3, static_cast<uint8_t>(0x40 | option), 0x20}) != aErrNone)
        return {};
    ReplyMatch match{kAddress, 3, option};
    OwnedPacket reply(aLink_AwaitFirst(id, replyFilter, &match, timeoutMs));
    return reply ? Bytes(reply->data, reply->data + reply->dataSize) : Bytes{};
}

void sExpectSystemValues(uint32_t id)
{
    EXPECT_EQ(sGetSystem(id, 9), (Bytes{3, 9, 0, 0x00, 0xC0, 0xFF, 0xEE}));
    EXPECT_EQ(sGetSystem(id, 8), (Bytes{3, 8, 0, kModel}));
    EXPECT_EQ(sGetSystem(id, 1), (Bytes{3, 1, 0, kAddress}));
}

void sExpectNothingRejected(modsim::Simulator& sim)
{
    EXPECT_TRUE(sim.log().matching("reject").empty()) << sim.log().matching("reject").front();
}

struct TcpLink {
    modsim::Simulator sim;
    uint32_t id = 0;
    explicit TcpLink(modsim::SimOptions o = sOptions()) : sim(o)
    {
        sim.start();
        id = aLink_CreateTCPIP(kSerial, LoopbackPeer::address(), sim.port());
    }
    ~TcpLink()
    {
        if (id)
            aLink_Destroy(&id);
        sim.stop();
    }
};

TEST(LinkWithSimulator, TcpLinkSynchronisesAndCarriesUeiTraffic)
{
    TcpLink t;
    ASSERT_NE(t.id, 0u);
    EXPECT_TRUE(t.sim.log().waitFor("route on", milliseconds(2000)));
    ASSERT_EQ(aLink_Sync(t.id), aErrNone);
    sExpectSystemValues(t.id);

    t.sim.sendHeartbeat(0);
    t.sim.sendHeartbeat(1);
    EXPECT_TRUE(t.sim.log().waitFor("hb-answer 3", milliseconds(2000), 0, true));
    EXPECT_EQ(t.sim.heartbeatAnswers(), (Bytes{2, 3}));
    EXPECT_EQ(aLink_GetPacket(t.id), nullptr) << "heartbeats are not queued";

    aLink_Destroy(&t.id);
    EXPECT_TRUE(t.sim.log().waitFor("route off", milliseconds(2000)));
    sExpectNothingRejected(t.sim);
}

TEST(LinkWithSimulator, SyncSucceedsDespiteGarbageBeforeTheFirstAnswer)
{
    modsim::SimOptions o = sOptions();
    o.faults.garbage = {0x07, 0x00, 0x03, 0x1D, 0x04};
    TcpLink t(o);
    ASSERT_NE(t.id, 0u);
    EXPECT_EQ(aLink_Sync(t.id), aErrNone);
    EXPECT_TRUE(t.sim.log().waitFor("fault garbage", milliseconds(1000), 0, true));
    sExpectSystemValues(t.id);
}

TEST(LinkWithSimulator, ResynchronisesOnItsOwnAfterBytesOutOfStep)
{
    TcpLink t;
    ASSERT_NE(t.id, 0u);
    ASSERT_EQ(aLink_Sync(t.id), aErrNone);
    const std::vector<Bytes> faults = {{5, 0}, {4, 29}, {0}};
    for (const Bytes& f : faults) {
        SCOPED_TRACE(testing::PrintToString(f));
        const size_t mark = t.sim.log().size();
        ASSERT_TRUE(t.sim.sendRaw(f));
        EXPECT_TRUE(t.sim.log().waitFor("rx 173 0", milliseconds(2000), mark)) << "no address query";
        EXPECT_TRUE(waitForStatus(t.id, RUNNING, 2000));
        aLink_DrainPackets(t.id, [](const aPacket* p, const void*) -> uint8_t { return p->dataSize == 0; }, nullptr);
        sExpectSystemValues(t.id);
    }
    sExpectNothingRejected(t.sim);
}

TEST(LinkWithSimulator, SyncGivesUpOnASilentModule)
{
    // Silent from its first packet on: muting after the link is up would race
    // with the link getting in step on its own.
    modsim::SimOptions o = sOptions();
    o.faults.muteAfter = 0;
    TcpLink t(o);
    ASSERT_NE(t.id, 0u);
    EXPECT_EQ(aLink_Sync(t.id), aErrNotReady);
    EXPECT_NE(aLink_GetStatus(t.id), RUNNING);
    t.sim.setFaults(modsim::FaultPlan{});
    EXPECT_TRUE(waitForStatus(t.id, RUNNING, 2000)) << "the link keeps trying on its own";
}

TEST(LinkWithSimulator, ResetReconnectsToTheModule)
{
    TcpLink t;
    ASSERT_NE(t.id, 0u);
    ASSERT_TRUE(t.sim.log().waitFor("route on", milliseconds(2000)));
    ASSERT_EQ(aLink_Reset(t.id), aErrNone);
    EXPECT_TRUE(t.sim.log().waitFor("route off", milliseconds(2000)));
    const auto lines = t.sim.log().lines();
    EXPECT_TRUE(t.sim.log().waitFor("conn-open 2", milliseconds(2000), 0, true));
    EXPECT_EQ(aLink_GetStatus(t.id), RUNNING);
    sExpectSystemValues(t.id);
}

TEST(LinkWithSimulator, ConnectionClosedByTheModuleIsMadeAgainInPlace)
{
    TcpLink t;
    ASSERT_NE(t.id, 0u);
    ASSERT_EQ(aLink_Sync(t.id), aErrNone);
    sExpectSystemValues(t.id);
    t.sim.closeConnection();
    // The first request after the close may be lost; the stream then finds
    // the connection gone, connects again and later requests are answered.
    Bytes serial;
    for (int attempt = 0; attempt < 5 && serial.empty(); ++attempt)
        serial = sGetSystem(t.id, 9, 500);
    EXPECT_EQ(serial, (Bytes{3, 9, 0, 0x00, 0xC0, 0xFF, 0xEE}));
    EXPECT_EQ(t.sim.connections(), 2u);
    EXPECT_TRUE(waitForStatus(t.id, RUNNING, 2000));
}

TEST(LinkWithSimulator, LinkOverACallersPlainSerialStream)
{
    modsim::Simulator sim(sOptions(modsim::TransportKind::PtyRaw));
    sim.start();
    aStream* stream = nullptr;
    ASSERT_EQ(aStream_CreateSerial(sim.ptyPath().c_str(), 6, 0, 0, 0, &stream), aErrNone);
    uint32_t id = aLink_Create(stream);
    ASSERT_NE(id, 0u);
    ASSERT_EQ(aLink_Sync(id), aErrNone);
    sExpectSystemValues(id);
    aLink_Destroy(&id);
    EXPECT_TRUE(sim.log().waitFor("route off", milliseconds(2000)));
    sExpectNothingRejected(sim);
    sim.stop();
}

TEST(LinkWithSimulator, SerialLinkOverAPseudoTerminal)
{
    modsim::Simulator sim(sOptions(modsim::TransportKind::PtyCobs));
    sim.start();
    uint32_t id = aLink_CreateSerial(kSerial, sim.ptyPath().c_str(), 115200);
    ASSERT_NE(id, 0u);
    EXPECT_TRUE(sim.log().waitFor("route on", milliseconds(2000)));
    sExpectSystemValues(id);
    ASSERT_EQ(aLink_Sync(id), aErrNone) << "the handshake also works through COBS frames";
    sExpectSystemValues(id);
    sim.sendHeartbeat(0);
    EXPECT_TRUE(sim.log().waitFor("hb-answer 2", milliseconds(2000), 0, true));
    aLink_Destroy(&id);
    EXPECT_TRUE(sim.log().waitFor("route off", milliseconds(2000)));
    sExpectNothingRejected(sim);
    sim.stop();
}

} // namespace
