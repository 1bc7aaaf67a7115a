// TCP/IP discovery against fake modules in the device namespace: replies
// read into linkSpec records, no de-duplication, the callback's say over the
// enumeration, FindModule / FindFirstModule, and the 2-second end of the
// reply wait. Everything that sends a request runs only inside the private
// namespaces of tools/netns-run.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "common/aDiscovery.h"
#include "tests/discovery/FakeModules.h"

namespace {

using namespace netnstest;
using Clock = std::chrono::steady_clock;

uint32_t sAddress(const char* text) { return inet_addr(text); }

long long sSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

struct Collected {
    std::vector<linkSpec> specs;
    int stopAfter = -1; // answer false once this many were seen
    bool take = true;
};

bool sCollect(const linkSpec* spec, bool* taken, void* reference)
{
    auto* c = static_cast<Collected*>(reference);
    c->specs.push_back(*spec);
    *taken = c->take;
    return c->stopAfter < 0 || static_cast<int>(c->specs.size()) < c->stopAfter;
}

TEST(DiscoveryReply, FieldsAreLittleEndianAndAShortReplyHasNoModel)
{
    struct Case {
        size_t length;
        uint32_t model;
    } cases[] = {{16, 0x13}, {13, 0x13}, {12, 0xFF}, {8, 0xFF}};
    for (const Case& c : cases) {
        const auto r = reply(6, 0x1234, 0xA1B2C3D4, 0x13, c.length);
        linkSpec spec;
        aDiscovery_ParseReply(r.data(), r.size(), sAddress("10.77.0.9"), &spec);
        EXPECT_EQ(spec.type, TCPIP);
        EXPECT_EQ(spec.module, 6u);
        EXPECT_EQ(spec.router, 6u);
        EXPECT_EQ(spec.t.ip.ipPort, 0x1234u);
        EXPECT_EQ(spec.serialNumber, 0xA1B2C3D4u);
        EXPECT_EQ(spec.routerSerialNumber, 0xA1B2C3D4u);
        EXPECT_EQ(spec.model, c.model) << c.length << " bytes";
        EXPECT_EQ(spec.t.ip.ipAddress, sAddress("10.77.0.9"));
    }
    // Fields a datagram does not reach are not taken from anywhere else.
    const uint8_t tiny[] = {2, 4};
    linkSpec spec;
    std::memset(&spec, 0xAB, sizeof spec);
    aDiscovery_ParseReply(tiny, sizeof tiny, 0, &spec);
    EXPECT_EQ(spec.serialNumber, 0u);
    EXPECT_EQ(spec.t.ip.ipPort, 0u);
}

TEST(Discovery, TypesWithoutEnumerationFindNothingAtOnce)
{
    Collected c;
    const auto start = Clock::now();
    for (linkType type : {INVALID, SERIAL, AWEAVE, AWEAVE_TCPIP, static_cast<linkType>(42)})
        EXPECT_EQ(aDiscovery_EnumerateModules(type, sCollect, &c, 0), 0) << type;
    EXPECT_TRUE(c.specs.empty());
    EXPECT_LT(sSince(start), 500);
    EXPECT_EQ(aDiscovery_FindModule(SERIAL, 1, 0), nullptr);
}

TEST(DiscoveryTcpip, RepliesBecomeLinkSpecsFromTheirSourceAddress)
{
    REQUIRE_PRIVATE_NETNS();
    FakeModules modules;
    modules.add("10.77.0.2", {reply(4, 40000, 0x11223344, 0x13)});
    modules.add("10.77.0.3", {reply(8, 40001, 0x55667788, 0x13, 12)});
    modules.start();

    Collected c;
    EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, sCollect, &c, 0x0100007F), 2);
    ASSERT_EQ(c.specs.size(), 2u);
    std::sort(c.specs.begin(), c.specs.end(),
              [](const linkSpec& a, const linkSpec& b) { return a.serialNumber < b.serialNumber; });
    EXPECT_EQ(c.specs[0].serialNumber, 0x11223344u);
    EXPECT_EQ(c.specs[0].module, 4u);
    EXPECT_EQ(c.specs[0].t.ip.ipPort, 40000u);
    EXPECT_EQ(c.specs[0].model, 0x13u);
    EXPECT_EQ(c.specs[0].t.ip.ipAddress, sAddress("10.77.0.2"));
    EXPECT_EQ(c.specs[1].serialNumber, 0x55667788u);
    EXPECT_EQ(c.specs[1].model, 0xFFu);
    EXPECT_EQ(c.specs[1].t.ip.ipAddress, sAddress("10.77.0.3"));

    const auto requests = modules.requests();
    ASSERT_FALSE(requests.empty());
    std::vector<uint8_t> expected(16, 0);
    expected[0] = 1;
    for (const auto& r : requests)
        EXPECT_EQ(r, expected);
}

TEST(DiscoveryTcpip, EveryReplyCountsEvenFromTheSameModule)
{
    REQUIRE_PRIVATE_NETNS();
    FakeModules modules;
    modules.add("10.77.0.2", {reply(4, 40000, 0x11223344, 0x13), reply(4, 40000, 0x11223344, 0x13)});
    modules.start();
    Collected c;
    // Through one named interface as well as through all of them.
    EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, sCollect, &c, sAddress("10.77.0.1")), 2);
    EXPECT_EQ(c.specs.size(), 2u);
}

TEST(DiscoveryTcpip, CallbackStopsTheEnumerationAtOnce)
{
    REQUIRE_PRIVATE_NETNS();
    FakeModules modules;
    modules.add("10.77.0.2", {reply(4, 1, 0x11, 0x13), reply(4, 1, 0x22, 0x13), reply(4, 1, 0x33, 0x13)});
    modules.start();
    for (bool take : {true, false}) {
        Collected c;
        c.stopAfter = 1;
        c.take = take;
        const auto start = Clock::now();
        EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, sCollect, &c, 0), take ? 1 : 0);
        EXPECT_EQ(c.specs.size(), 1u);
        EXPECT_LT(sSince(start), 1500) << "no wait for further replies";
    }
}

TEST(DiscoveryTcpip, FindModuleAndFindFirstModule)
{
    REQUIRE_PRIVATE_NETNS();
    FakeModules modules;
    modules.add("10.77.0.2", {reply(4, 40000, 0, 0x13)}); // a module without a serial number
    modules.add("10.77.0.3", {reply(6, 40001, 0xCAFE0001, 0x11)});
    modules.start();

    linkSpec* found = aDiscovery_FindModule(TCPIP, 0xCAFE0001, 0);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->module, 6u);
    EXPECT_EQ(found->t.ip.ipAddress, sAddress("10.77.0.3"));
    EXPECT_EQ(aLinkSpec_Destroy(&found), aErrNone);

    linkSpec* first = aDiscovery_FindFirstModule(TCPIP, 0);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->serialNumber, 0xCAFE0001u);
    aLinkSpec_Destroy(&first);

    const auto start = Clock::now();
    EXPECT_EQ(aDiscovery_FindModule(TCPIP, 0xDEAD0000, 0), nullptr);
    EXPECT_GE(sSince(start), 1900);
}

TEST(DiscoveryTcpip, NobodyAnsweringEndsAfterAbout2Seconds)
{
    REQUIRE_PRIVATE_NETNS();
    Collected c;
    const auto start = Clock::now();
    EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, sCollect, &c, 0), 0);
    const long long elapsed = sSince(start);
    EXPECT_TRUE(c.specs.empty());
    EXPECT_GE(elapsed, 1900);
    EXPECT_LT(elapsed, 4000);
}

} // namespace
