// Module, EntityClass, SystemClass and I2CClass against the module
// simulator: auto-networking, module queries, system values, byte blocks,
// error replies and I2C transfers. Scripted handlers stand in for module
// behaviour the tests need to control exactly.
#include <gtest/gtest.h>

#include <atomic>

#include "device_api/EntityClass.h"
#include "device_api/I2CClass.h"
#include "device_api/SystemClass.h"
#include "tests/devapi/SimModule.h"

namespace {

using namespace devapitest;
using modsim::Packet;
using Veltrane::Corvantis::EntityClass;
using Veltrane::Corvantis::I2CClass;
using Veltrane::Corvantis::SystemClass;

const std::string kName30 = "Thirty bytes of module name...";

TEST(ModuleConnect, AutoNetworkingAdoptsTheReportedAddressOnlyWhenOn)
{
    SimModule on("x", 6, true);
    ASSERT_EQ(on.connect(), aErrNone);
    EXPECT_EQ(on.module.getModuleAddress(), kAddress);
    on.module.disconnect();
    EXPECT_EQ(on.module.getModuleAddress(), kAddress) << "kept after a disconnect";

    SimModule off("x", 6, false);
    ASSERT_EQ(off.connect(), aErrNone);
    EXPECT_EQ(off.module.getModuleAddress(), 6);
}

TEST(ModuleConnect, RulesWithoutAndWithAConnection)
{
    Module module(2, 0);
    EXPECT_EQ(module.connect(USB, 0), aErrParam);
    EXPECT_FALSE(module.isConnected());
    EXPECT_EQ(module.getStatus(), UNKNOWN_ERROR);

    SimModule sim;
    ASSERT_EQ(sim.connect(), aErrNone);
    const uint32_t id = sim.module.getLink()->getLinkId();
    EXPECT_EQ(sim.module.connectFromSpec(sim.spec()), aErrBusy);
    EXPECT_EQ(sim.module.setConfig(directConfig()), aErrMode);
    Module other(2, 0);
    EXPECT_EQ(sim.module.connectThroughLinkModule(&other), aErrNone) << "already connected: nothing to do";
    EXPECT_EQ(sim.module.getLink()->getLinkId(), id);

    sim.module.disconnect();
    EXPECT_EQ(sim.module.reconnect(), aErrNone);
    EXPECT_TRUE(sim.module.isConnected());
}

TEST(ModuleConnect, SilentModuleLeavesTheAddressUnknown)
{
    modsim::SimOptions o = SimModule::options("x");
    o.faults.muteAfter = 0;
    modsim::Simulator sim(o);
    sim.start();
    Module module(6, 0);
    module.setConfig(directConfig());
    EXPECT_EQ(module.connectFromSpec(loopbackSpec(kSerial, sim.port())), aErrNotReady);
    EXPECT_TRUE(module.isConnected()) << "the link itself stays up";
    EXPECT_EQ(module.getModuleAddress(), 6);
}

TEST(ModuleConnect, ThroughARouterSharesItsLinkAndKeepsItsOwnAddress)
{
    SimModule router;
    ASSERT_EQ(router.connect(), aErrNone);
    Module behind(kAddress, true, 0);
    ASSERT_EQ(behind.connectThroughLinkModule(&router.module), aErrNone);
    EXPECT_EQ(behind.getLink()->getLinkId(), router.module.getLink()->getLinkId());
    linkSpec spec{};
    ASSERT_EQ(behind.getLinkSpecifier(&spec), aErrNone);
    EXPECT_EQ(spec.type, TCPIP);
    EXPECT_EQ(spec.serialNumber, kSerial);
    SystemClass system;
    system.init(&behind, 0);
    uint32_t serial = 0;
    EXPECT_EQ(system.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, kSerial);
}

// Module-level queries against a scripted command-73 handler.
struct ModuleQueries : testing::Test {
    SimModule sim;
    std::atomic<int> buildReplySize{6};
    std::atomic<uint8_t> echoOffset{0};

    void SetUp() override
    {
        sim.script(73, [this](const Packet& in, std::vector<Packet>& out) {
            const uint8_t* d = in.data.data();
            switch (d[1]) {
            case 0xFF:
                if (buildReplySize == 6)
                    out.push_back(Packet::make(kAddress, {73, 0xFF, 0x00, 0x01, 0x02, 0x03}));
                else
                    out.push_back(Packet::make(kAddress, {73, 0xFF, 0x00, 0x01, 0x02}));
                break;
            case 1: // command, option, index echoed; answer 1 for get forms of class 3
                out.push_back(Packet::make(kAddress, {73, 1, static_cast<uint8_t>(d[2] + echoOffset), d[3], d[4],
                                                      static_cast<uint8_t>(d[2] == 3 && d[5] == 0x40)}));
                break;
            case 4:
                out.push_back(Packet::make(kAddress, {73, 4, d[2], static_cast<uint8_t>(d[2] == 3 ? 1 : 0)}));
                break;
            case 5:
                out.push_back(Packet::make(kAddress, {73, 5, d[2], d[3], 7}));
                break;
            case 6:
                out.push_back(Packet::make(kAddress, {73, 6, d[2], d[3], 9}));
                break;
            }
        });
        ASSERT_EQ(sim.connect(), aErrNone);
    }
};

TEST_F(ModuleQueries, BuildAndItsReplySize)
{
    uint32_t build = 0;
    EXPECT_EQ(sim.module.getBuild(nullptr), aErrParam);
    ASSERT_EQ(sim.module.getBuild(&build), aErrNone);
    EXPECT_EQ(build, 0x00010203u);
    EXPECT_EQ(sim.received().back(), "rx 4 2 73 255");
    buildReplySize = 5;
    EXPECT_EQ(sim.module.getBuild(&build), aErrSize);
}

TEST_F(ModuleQueries, CapabilityAndInventory)
{
    EXPECT_EQ(sim.module.hasUEI(3, 9, 0, 0x40), 1);
    EXPECT_EQ(sim.received().back(), "rx 4 6 73 1 3 9 0 64");
    EXPECT_EQ(sim.module.hasUEI(3, 9, 0, 0x80), 0);
    EXPECT_EQ(sim.module.hasUEI(3, 9, 0, 0xC0), aErrParam);
    EXPECT_EQ(sim.module.hasUEI(3, 9, 0, 0x41), aErrParam);
    echoOffset = 1;
    EXPECT_EQ(sim.module.hasUEI(3, 9, 0, 0x40), aErrUnknown) << "echo mismatch";

    uint8_t quantity = 99;
    ASSERT_EQ(sim.module.classQuantity(3, &quantity), aErrNone);
    EXPECT_EQ(quantity, 1);
    ASSERT_EQ(sim.module.subClassQuantity(3, 2, &quantity), aErrNone);
    EXPECT_EQ(quantity, 7);
    uint8_t group = 0;
    ASSERT_EQ(sim.module.entityGroup(3, 0, &group), aErrNone);
    EXPECT_EQ(group, 9);
}

TEST(ModuleDebug, EchoMustComeBackUnchanged)
{
    SimModule sim;
    ASSERT_EQ(sim.connect(), aErrNone);
    const uint8_t data[] = {1, 2, 3};
    EXPECT_EQ(sim.module.debug(data, sizeof data), aErrNone);
    EXPECT_EQ(sim.received().back(), "rx 4 4 23 1 2 3");

    sim.script(23, [](const Packet& in, std::vector<Packet>& out) {
        Packet reply = in;
        reply.data[in.size - 1] ^= 0xFF;
        out.push_back(reply);
    });
    EXPECT_EQ(sim.module.debug(data, sizeof data), aErrIO);
    sim.script(23, [](const Packet&, std::vector<Packet>& out) { out.push_back(Packet::make(kAddress, {23, 1, 2})); });
    EXPECT_EQ(sim.module.debug(data, sizeof data), aErrIO);
}

TEST(ModuleQueriesIdle, NeedAConnection)
{
    Module module(2, 0);
    uint32_t build = 0;
    uint8_t q = 0;
    EXPECT_EQ(module.getBuild(&build), aErrConnection);
    EXPECT_EQ(module.classQuantity(3, &q), aErrConnection);
    EXPECT_EQ(module.debug(nullptr, 0), aErrConnection);
}

struct SystemValues : testing::Test {
    SimModule sim{kName30};
    SystemClass system;
    void SetUp() override
    {
        ASSERT_EQ(sim.connect(), aErrNone);
        system.init(&sim.module, 0);
    }
};

TEST_F(SystemValues, GettersReadTheModulesValuesWithTheRightRequests)
{
    const size_t from = sim.mark();
    uint32_t serial = 0, version = 0, build = 0;
    uint8_t model = 0, address = 0;
    ASSERT_EQ(system.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, kSerial);
    ASSERT_EQ(system.getModel(&model), aErrNone);
    EXPECT_EQ(model, kModel);
    ASSERT_EQ(system.getModule(&address), aErrNone);
    EXPECT_EQ(address, kAddress);
    ASSERT_EQ(system.getVersion(&version), aErrNone);
    EXPECT_EQ(version, modsim::packVersion(2, 15, 3));
    ASSERT_EQ(system.getBuild(&build), aErrNone);
    EXPECT_EQ(build, 4242u);
    EXPECT_EQ(sim.received(from), (std::vector<std::string>{"rx 4 3 3 73 32", "rx 4 3 3 72 32", "rx 4 3 3 65 32",
                                                             "rx 4 3 3 71 32", "rx 4 3 3 107 32"}));
}

TEST_F(SystemValues, SetSendsTheSetFormAndAcceptsTheSetReply)
{
    const size_t from = sim.mark();
    ASSERT_EQ(system.setLED(1), aErrNone);
    EXPECT_EQ(sim.received(from), (std::vector<std::string>{"rx 4 4 3 132 32 1"}));
    uint8_t led = 0;
    ASSERT_EQ(system.getLED(&led), aErrNone);
    EXPECT_EQ(led, 1);
}

TEST_F(SystemValues, ModuleErrorsComeBackAsTheModulesCode)
{
    uint32_t value = 0;
    EXPECT_EQ(system.getUEI32(60, &value), aErrInvalidOption);
    EXPECT_EQ(system.setUEI8(1, 8), aErrPermission) << "module address is read-only";
    EntityClass unknown;
    unknown.init(&sim.module, 50, 0);
    EXPECT_EQ(unknown.getUEI32(1, &value), aErrInvalidEntity);
    uint8_t byte = 0;
    EXPECT_EQ(system.getUEI8(9, &byte), aErrSize) << "the serial number is not a byte";
    EXPECT_EQ(system.getUEI8(9, nullptr), aErrParam);
}

TEST_F(SystemValues, NameAsAByteBlockBothWays)
{
    uint8_t buffer[64] = {};
    uint64_t length = 0;
    ASSERT_EQ(system.getName(buffer, sizeof buffer, &length), aErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), length), kName30);
    EXPECT_EQ(system.getName(buffer, 10, &length), aErrMemory);
    EXPECT_EQ(system.getName(buffer, 0, &length), aErrParam);

    std::string longer(50, ' ');
    for (size_t i = 0; i < longer.size(); ++i)
        longer[i] = static_cast<char>('a' + i % 26);
    ASSERT_EQ(system.setName(reinterpret_cast<const uint8_t*>(longer.data()), longer.size()), aErrNone);
    ASSERT_EQ(system.getName(buffer, sizeof buffer, &length), aErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), length), longer);
}

TEST(EntityBlocks, ChunksAreTakenInSequenceAndAMissingOneTimesOut)
{
    SimModule sim;
    ASSERT_EQ(sim.connect(), aErrNone);
    // Entity class 40 option 1 answers with its chunks out of order (1, 0,
    // 2); option 2 announces a second chunk that never comes.
    sim.script(40, [](const Packet& in, std::vector<Packet>& out) {
        std::vector<uint8_t> first{40, static_cast<uint8_t>(in.data[1] & 0x3F), 0};
        for (int i = 0; i < 24; ++i)
            first.push_back(static_cast<uint8_t>(i));
        first.push_back(0x80);
        std::vector<uint8_t> second{40, 1, 0, 100, 101, 0x81};
        if ((in.data[1] & 0x3F) == 1) {
            out.push_back(Packet::make(kAddress, second.data(), second.size()));
            out.push_back(Packet::make(kAddress, first.data(), first.size()));
            out.push_back(Packet::make(kAddress, {40, 1, 0, 200, 0x02}));
        } else {
            out.push_back(Packet::make(kAddress, first.data(), first.size()));
        }
    });
    EntityClass entity;
    entity.init(&sim.module, 40, 0);
    uint8_t buffer[64] = {};
    uint64_t received = 0;
    ASSERT_EQ(entity.getUEIBytes(1, buffer, sizeof buffer, &received), aErrNone);
    ASSERT_EQ(received, 27u);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(buffer[23], 23);
    EXPECT_EQ(buffer[24], 100);
    EXPECT_EQ(buffer[25], 101);
    EXPECT_EQ(buffer[26], 200);

    EXPECT_EQ(entity.getUEIBytes(2, buffer, sizeof buffer, &received), aErrTimeout);
    EXPECT_EQ(received, 24u);

    uint64_t count = 27;
    EXPECT_EQ(EntityClass::getUEIBytesCheck(&count, 4), aErrMemory);
    count = 28;
    EXPECT_EQ(EntityClass::getUEIBytesCheck(&count, 4), aErrNone);
    EXPECT_EQ(count, 7u);
}

TEST(EntityStore, SaveSendsTheEntitysIdentityToTheStoreEntity)
{
    SimModule sim;
    ASSERT_EQ(sim.connect(), aErrNone);
    sim.script(92, [](const Packet& in, std::vector<Packet>& out) {
        out.push_back(Packet::make(kAddress, {92, static_cast<uint8_t>(in.data[1] | 0xC0), 0}));
    });
    SystemClass system;
    system.init(&sim.module, 0);
    const size_t from = sim.mark();
    EXPECT_EQ(system.saveEntityToStore(), aErrNone);
    EXPECT_EQ(system.loadEntityFromStore(), aErrNone);
    EXPECT_EQ(sim.received(from),
              (std::vector<std::string>{"rx 4 7 92 128 32 0 0 3 0", "rx 4 7 92 130 32 0 0 3 0"}));
}

TEST(EntityInit, EveryOperationNeedsAModule)
{
    EntityClass entity;
    uint32_t value = 0;
    uei u{};
    uint8_t buffer[4];
    uint64_t received = 0;
    EXPECT_EQ(entity.getUEI32(1, &value), aErrResource);
    EXPECT_EQ(entity.setUEI32(1, 1), aErrResource);
    EXPECT_EQ(entity.callUEI(1), aErrResource);
    EXPECT_EQ(entity.getUEI(1, &u), aErrResource);
    EXPECT_EQ(entity.getUEIBytes(1, buffer, sizeof buffer, &received), aErrResource);
    EXPECT_EQ(entity.saveEntityToStore(), aErrResource);
    I2CClass i2c;
    EXPECT_EQ(i2c.read(0xA0, 2, buffer), aErrResource);
}

struct I2CTransfers : testing::Test {
    SimModule sim;
    I2CClass i2c;
    std::atomic<uint8_t> status{0};
    void SetUp() override
    {
        sim.script(8, [this](const Packet& in, std::vector<Packet>& out) {
            const uint8_t* d = in.data.data();
            if (d[2] & 1) { // read: status, then the bytes asked for
                std::vector<uint8_t> reply{8, d[1], d[2], d[3], status};
                for (uint8_t i = 0; i < d[3]; ++i)
                    reply.push_back(static_cast<uint8_t>(0x50 + i));
                out.push_back(Packet::make(kAddress, reply.data(), reply.size()));
            } else if (d[2] == 0x10) { // write to a device that gives a short reply
                out.push_back(Packet::make(kAddress, {8, d[1], d[2], 0}));
            } else {
                out.push_back(Packet::make(kAddress, {8, d[1], d[2], 0, status}));
            }
        });
        ASSERT_EQ(sim.connect(), aErrNone);
        i2c.init(&sim.module, 0);
    }
};

TEST_F(I2CTransfers, ReadAndWriteRequestsAndReplies)
{
    uint8_t buffer[24] = {};
    EXPECT_EQ(i2c.read(0xA0, 24, buffer), aErrSize);
    EXPECT_EQ(i2c.setSpeed(4), aErrParam);
    ASSERT_EQ(i2c.setSpeed(3), aErrNone);
    const size_t from = sim.mark();
    ASSERT_EQ(i2c.read(0xA0, 2, buffer), aErrNone);
    EXPECT_EQ(buffer[0], 0x50);
    EXPECT_EQ(buffer[1], 0x51);
    const uint8_t zeros[2] = {0, 0};
    EXPECT_EQ(i2c.write(0x24, 2, zeros), aErrNone);
    EXPECT_EQ(sim.received(from), (std::vector<std::string>{"rx 4 5 8 0 161 2 3", "rx 4 7 8 0 36 2 3 0 0"}));
}

TEST_F(I2CTransfers, StatusErrorsAndShortReplies)
{
    uint8_t buffer[4];
    const uint8_t zeros[2] = {0, 0};
    status = 0x80 | 5; // no acknowledge: error code 5
    EXPECT_EQ(i2c.read(0xA0, 2, buffer), aErrBusy);
    EXPECT_EQ(i2c.write(0x24, 2, zeros), aErrBusy);
    status = 0;
    EXPECT_EQ(i2c.write(0x10, 2, zeros), aErrPacket);
}

} // namespace
