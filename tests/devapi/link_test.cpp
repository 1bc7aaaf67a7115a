// Link against the module simulator over TCP loopback: connection rules,
// request and reply primitives, byte blocks on the wire, reply waits, error
// replies and sharing a link. The simulator logs every packet it receives, so
// the tests check the bytes a module really gets.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "device_api/Link.h"
#include "tests/devapi/SimModule.h"

namespace {

using namespace devapitest;
using Veltrane::Corvantis::Link;
using Clock = std::chrono::steady_clock;

struct LinkSim : testing::Test {
    modsim::Simulator sim{SimModule::options("Simulated module")};
    Link link{"test"};

    void SetUp() override
    {
        sim.start();
        ASSERT_EQ(link.setConfig(directConfig()), aErrNone);
        ASSERT_EQ(link.setLinkSpecifier(loopbackSpec(kSerial, sim.port())), aErrNone);
    }

    uei getRequest(uint8_t option)
    {
        uei u{};
        u.module = kAddress;
        u.command = 3;
        u.option = static_cast<uint8_t>(0x40 | option);
        u.specifier = 0x20;
        u.type = aUEI_VOID;
        return u;
    }

    static uei replyKey(uint8_t option)
    {
        uei u{};
        u.module = kAddress;
        u.command = 3;
        u.option = option;
        u.specifier = 0;
        u.type = 3;
        return u;
    }

    long long awaitNothingMs(uei key)
    {
        const auto start = Clock::now();
        EXPECT_EQ(link.receiveUEI(kAddress, 0, 0, 0, &key), aErrTimeout);
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    }
};

TEST_F(LinkSim, ConnectionRefusesChangesAndSecondConnectWhileConnected)
{
    ASSERT_EQ(link.connect(), aErrNone);
    EXPECT_TRUE(link.isConnected());
    EXPECT_EQ(link.getStatus(), RUNNING);
    const uint32_t id = link.getLinkId();

    EXPECT_EQ(link.connect(), aErrConnection);
    EXPECT_EQ(link.setConfig(directConfig()), aErrMode);
    EXPECT_EQ(link.setLinkSpecifier(loopbackSpec(1, 1)), aErrBusy);
    EXPECT_EQ(link.getLinkId(), id);
    uint8_t address = 0;
    EXPECT_EQ(link.getModuleAddress(&address), aErrNone); // the first link still works
    EXPECT_EQ(address, kAddress);

    EXPECT_EQ(link.disconnect(), aErrNone);
    EXPECT_FALSE(link.isConnected());
    EXPECT_EQ(link.getStatus(), UNKNOWN_ERROR);
    EXPECT_EQ(link.getModuleAddress(&address), aErrNotReady);
    EXPECT_EQ(link.setConfig(directConfig()), aErrNone);
    EXPECT_EQ(link.connect(), aErrNone); // and again after a disconnect
}

TEST(Link, ConnectWithoutUsableSpecifier)
{
    Link none("none");
    EXPECT_EQ(none.connect(), aErrConfiguration);
    linkSpec spec{};
    EXPECT_EQ(none.getLinkSpecifier(&spec), aErrNotFound);

    linkSpec odd = loopbackSpec(kSerial, 1);
    odd.type = static_cast<linkType>(9);
    Link unknownType(odd, "odd");
    EXPECT_EQ(unknownType.connect(), aErrMode);

    Link weave(loopbackSpec(kSerial, 1), "weave");
    linkSpec weaveSpec = loopbackSpec(kSerial, 1);
    weaveSpec.type = AWEAVE;
    ASSERT_EQ(weave.setLinkSpecifier(weaveSpec), aErrNone);
    ASSERT_EQ(weave.setConfig(directConfig()), aErrNone);
    EXPECT_EQ(weave.connect(), aErrConfiguration);
    EXPECT_FALSE(weave.isConnected());

    // Nothing listens on the port: link creation fails.
    Link closed(loopbackSpec(kSerial, 1), "closed");
    closed.setConfig(directConfig());
    EXPECT_EQ(closed.connect(), aErrConnection);
}

TEST(Link, DiscoverAndConnectConfigurationAndFallback)
{
    // None of these reach the network: serial lines are not enumerated, and
    // sharing-server discovery is not part of this build.
    Link link("discover");
    aWeaveConfig config = directConfig();
    link.setConfig(config);
    EXPECT_EQ(link.discoverAndConnect(SERIAL, kSerial, 0), aErrNotFound);
    EXPECT_EQ(link.discoverAndConnect(AWEAVE, kSerial, 0), aErrConfiguration);
    config.fallback = true;
    link.setConfig(config);
    // Sharing off and fallback on: the module is looked for on USB instead,
    // where this machine has none.
    EXPECT_EQ(link.discoverAndConnect(AWEAVE, kSerial, 0), aErrNotFound);
    EXPECT_FALSE(link.isConnected());
}

TEST(Link, PrimitivesNeedAConnection)
{
    Link link("idle");
    uei u{};
    u.module = kAddress;
    uint8_t buffer[28];
    uint8_t length = 1;
    const uint8_t match[] = {23};
    EXPECT_EQ(link.sendUEI(u), aErrConnection);
    EXPECT_EQ(link.sendUEI(u, 1), aErrConnection);
    EXPECT_EQ(link.receiveUEI(kAddress, 0, 0, 0, &u), aErrConnection);
    EXPECT_EQ(link.sendPacket(kAddress, 23, 0, nullptr), aErrConnection);
    EXPECT_EQ(link.receivePacket(kAddress, match, &length, buffer), aErrConnection);
    EXPECT_EQ(link.dropMatchingUEIPackets(kAddress, 3, 9, 0), aErrConnection);
}

TEST_F(LinkSim, AddressAndLengthChecks)
{
    ASSERT_EQ(link.connect(), aErrNone);
    const size_t from = sim.log().size();
    uint8_t data[28] = {};
    for (uint8_t bad : {uint8_t(0), uint8_t(5), uint8_t(255)}) {
        uei u = getRequest(9);
        u.module = bad;
        EXPECT_EQ(link.sendUEI(u), aErrPacket) << int(bad);
        EXPECT_EQ(link.sendPacket(bad, 23, 1, data), aErrPacket) << int(bad);
    }
    EXPECT_EQ(link.sendPacket(kAddress, 23, 28, data), aErrParam);
    EXPECT_EQ(link.sendPacket(kAddress, 23, 27, data), aErrNone); // 28 data bytes: the largest packet
    uint8_t reply[28];
    uint8_t length = 1;
    const uint8_t match[] = {23};
    ASSERT_EQ(link.receivePacket(kAddress, match, &length, reply), aErrNone);
    EXPECT_EQ(length, 28);
    EXPECT_EQ(sim.log().matching("rx 4 ", from).size(), 1u) << "refused packets must not reach the module";
    EXPECT_TRUE(sim.log().matching("reject", from).empty());
}

TEST_F(LinkSim, UEIRequestAndReplyOnTheWire)
{
    ASSERT_EQ(link.connect(), aErrNone);
    const size_t from = sim.log().size();
    ASSERT_EQ(link.sendUEI(getRequest(9)), aErrNone);
    uei reply = replyKey(9);
    ASSERT_EQ(link.receiveUEI(kAddress, 0, 0, 0, &reply), aErrNone);
    EXPECT_EQ(reply.type, aUEI_INT);
    EXPECT_EQ(reply.intVal, kSerial);
    EXPECT_EQ(sim.log().matching("rx 4 ", from), (std::vector<std::string>{"rx 4 3 3 73 32"}));
}

TEST_F(LinkSim, ErrorReplyCarriesTheModulesCode)
{
    ASSERT_EQ(link.connect(), aErrNone);
    ASSERT_EQ(link.sendUEI(getRequest(60)), aErrNone);
    uei reply = replyKey(60);
    EXPECT_EQ(link.receiveUEI(kAddress, 0, 0, 0, &reply), aErrNone);
    EXPECT_TRUE(reply.specifier & 0x80);
    EXPECT_EQ(reply.byteVal, aErrInvalidOption);
}

TEST_F(LinkSim, ByteBlockOf50BytesGoesAsThreePackets)
{
    ASSERT_EQ(link.connect(), aErrNone);
    std::string name(50, 'n');
    for (size_t i = 0; i < name.size(); ++i)
        name[i] = static_cast<char>('A' + i % 26);
    uei set{};
    set.module = kAddress;
    set.command = 3;
    set.option = 0x80 | 32;
    set.specifier = 0x20;
    set.type = aUEI_BYTES;
    set.bytes = reinterpret_cast<uint8_t*>(name.data());
    set.bytesSize = name.size();
    const size_t from = sim.log().size();
    ASSERT_EQ(link.sendUEI(set), aErrNone);
    uei ack = replyKey(0xC0 | 32);
    ack.type = aUEI_BYTES;
    ack.bytesSize = name.size();
    ASSERT_EQ(link.receiveUEI(kAddress, 0, 0, 0, &ack), aErrNone);
    EXPECT_FALSE(ack.specifier & 0x80) << "module refused the block: " << int(ack.byteVal);

    const auto rx = sim.log().matching("rx 4 ", from);
    ASSERT_EQ(rx.size(), 3u);
    auto expectPacket = [&](const std::string& line, size_t offset, size_t n, int trailer) {
        std::string expected = "rx 4 " + std::to_string(n + 4) + " 3 160 32";
        for (size_t i = 0; i < n; ++i)
            expected += " " + std::to_string(static_cast<int>(name[offset + i]));
        expected += " " + std::to_string(trailer);
        EXPECT_EQ(line, expected);
    };
    expectPacket(rx[0], 0, 24, 0x80);
    expectPacket(rx[1], 24, 24, 0x81);
    expectPacket(rx[2], 48, 2, 0x02);
}

TEST_F(LinkSim, ReplyWaitIsLongerOnlyForBlocksAbove1000Bytes)
{
    ASSERT_EQ(link.connect(), aErrNone);
    uei key = replyKey(0x3F); // nothing ever answers this
    key.type = aUEI_BYTES;
    key.bytesSize = 1000;
    const long long normal = awaitNothingMs(key);
    EXPECT_GE(normal, 950);
    EXPECT_LT(normal, 3000);
    key.bytesSize = 1001;
    const long long large = awaitNothingMs(key);
    EXPECT_GE(large, 3950);
    EXPECT_LT(large, 7000);
}

TEST_F(LinkSim, RawPacketsMatchByPrefixAndDropRemovesQueuedReplies)
{
    ASSERT_EQ(link.connect(), aErrNone);
    const uint8_t data[] = {1, 2, 3};
    ASSERT_EQ(link.sendPacket(kAddress, 23, sizeof data, data), aErrNone);
    const uint8_t wrongPrefix[] = {23, 9};
    uint8_t buffer[28] = {};
    uint8_t length = sizeof wrongPrefix;
    EXPECT_EQ(link.receivePacket(kAddress, wrongPrefix, &length, buffer), aErrTimeout);
    const uint8_t prefix[] = {23, 1};
    length = sizeof prefix;
    ASSERT_EQ(link.receivePacket(kAddress, prefix, &length, buffer), aErrNone);
    EXPECT_EQ(length, 4);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 4), (std::vector<uint8_t>{23, 1, 2, 3}));

    // Two queued replies for one key go; another key's reply stays.
    const size_t from = sim.log().size();
    ASSERT_EQ(link.sendUEI(getRequest(9)), aErrNone);
    ASSERT_EQ(link.sendUEI(getRequest(9)), aErrNone);
    ASSERT_EQ(link.sendUEI(getRequest(8)), aErrNone);
    for (int i = 0; i < 200 && sim.log().matching("tx 4", from).size() < 3; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // the input thread queues them
    EXPECT_EQ(link.dropMatchingUEIPackets(kAddress, 3, 9, 0), aErrNone);
    uei serial = replyKey(9);
    EXPECT_EQ(link.receiveUEI(kAddress, 0, 0, 0, &serial), aErrTimeout);
    uei model = replyKey(8);
    ASSERT_EQ(link.receiveUEI(kAddress, 0, 0, 0, &model), aErrNone);
    EXPECT_EQ(model.byteVal, kModel);
}

TEST_F(LinkSim, SecondLinkSharesTheRoutersLink)
{
    ASSERT_EQ(link.connect(), aErrNone);
    Link behind("behind");
    behind.setConfig(directConfig());
    Link idle("idle");
    EXPECT_EQ(behind.connectThroughLinkModule(&idle), aErrInitialization);
    ASSERT_EQ(behind.setLinkSpecifier(loopbackSpec(kSerial, sim.port())), aErrNone);
    ASSERT_EQ(behind.connectThroughLinkModule(&link), aErrNone);
    EXPECT_EQ(behind.getLinkId(), link.getLinkId());
    EXPECT_TRUE(sim.log().waitFor("conn-open 1", std::chrono::seconds(2)));
    EXPECT_TRUE(sim.log().matching("conn-open 2").empty()) << "one connection serves both";

    behind.disconnect(); // one use goes; the router's link stays up
    EXPECT_TRUE(link.isConnected());
    uint8_t address = 0;
    EXPECT_EQ(link.getModuleAddress(&address), aErrNone);
    EXPECT_EQ(address, kAddress);
}

} // namespace
