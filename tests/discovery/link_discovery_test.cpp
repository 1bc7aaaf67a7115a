// Connecting by discovery over TCP/IP: Module::connect by serial number and
// Link::discoverAndConnect by model, against modsim modules listening on
// their own addresses in the device namespace.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include "device_api/Module.h"
#include "device_api/SystemClass.h"
#include "tests/discovery/ModuleNetwork.h"

namespace {

using namespace netnstest;
using namespace Veltrane::Corvantis;

const char* const kTwoModules = "discovery = 1\n"
                                "[module]\nlisten = 10.77.0.2\naddress = 4\nserial = 0x0000A001\nmodel = 17\n"
                                "[module]\nlisten = 10.77.0.3\naddress = 6\nserial = 0x0000A002\nmodel = 19\n";

aWeaveConfig sDirect()
{
    aWeaveConfig config;
    config.enabled = false;
    config.fallback = false;
    return config;
}

TEST(LinkDiscovery, ModuleConnectsBySerialNumberAndLearnsItsAddress)
{
    REQUIRE_PRIVATE_NETNS();
    ModuleNetwork net(kTwoModules, 2);
    ASSERT_TRUE(net.ready());
    Module module(2, static_cast<uint8_t>(0));
    ASSERT_EQ(module.setConfig(sDirect()), aErrNone);
    ASSERT_EQ(module.connect(TCPIP, 0x0000A002), aErrNone);
    EXPECT_EQ(module.getModuleAddress(), 6);
    linkSpec spec{};
    ASSERT_EQ(module.getLinkSpecifier(&spec), aErrNone);
    EXPECT_EQ(spec.t.ip.ipAddress, inet_addr("10.77.0.3"));
    SystemClass system;
    system.init(&module, 0);
    uint32_t serial = 0;
    ASSERT_EQ(system.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 0x0000A002u);
}

TEST(LinkDiscovery, FirstModuleOfTheAskedModelIsTaken)
{
    REQUIRE_PRIVATE_NETNS();
    ModuleNetwork net(kTwoModules, 2);
    ASSERT_TRUE(net.ready());
    for (uint8_t model : {uint8_t(19), uint8_t(17)}) {
        Link link("by model");
        ASSERT_EQ(link.setConfig(sDirect()), aErrNone);
        ASSERT_EQ(link.discoverAndConnect(TCPIP, 0, model), aErrNone);
        linkSpec spec{};
        ASSERT_EQ(link.getLinkSpecifier(&spec), aErrNone);
        EXPECT_EQ(spec.model, model);
        EXPECT_EQ(spec.serialNumber, model == 19 ? 0x0000A002u : 0x0000A001u);
    }
}

TEST(LinkDiscovery, UnknownSerialNumberIsNotFound)
{
    REQUIRE_PRIVATE_NETNS();
    ModuleNetwork net(kTwoModules, 2);
    ASSERT_TRUE(net.ready());
    Link link("unknown");
    ASSERT_EQ(link.setConfig(sDirect()), aErrNone);
    EXPECT_EQ(link.discoverAndConnect(TCPIP, 0x0BADBEEF, 0), aErrNotFound);
    EXPECT_FALSE(link.isConnected());
    Module module(2, static_cast<uint8_t>(0));
    EXPECT_EQ(module.connect(TCPIP, 0), aErrParam);
}

} // namespace
