// USB discovery against simulated USB modules: which devices are reported,
// what their linkSpecs hold, and a callback that stops the walk.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "common/aDiscovery.h"
#include "common/aDiscovery_USB.h"
#include "common/aUSBModuleId.h"
#include "tests/usb/UsbTestbedEnvironment.h"

using modsim::usb::UsbModuleConfig;

namespace {

struct Found {
    std::vector<linkSpec> specs;
    bool take = true;
    size_t stopAfter = 0; // 0: never stop
};

bool sCollect(const linkSpec* spec, bool* taken, void* reference)
{
    auto* found = static_cast<Found*>(reference);
    found->specs.push_back(*spec);
    *taken = found->take;
    return found->stopAfter == 0 || found->specs.size() < found->stopAfter;
}

const linkSpec* sFind(const Found& f, uint32_t serial)
{
    for (const linkSpec& s : f.specs)
        if (s.serialNumber == serial)
            return &s;
    return nullptr;
}

using UsbDiscovery = UsbTest;

TEST_F(UsbDiscovery, ReportsModulesWithEightCharacterSerials)
{
    plug(usbModuleConfig(0x00C0FFEE, 0x0113));          // model 0x13, high byte dropped
    plug(usbModuleConfig(0x1234567, 0x0013, "1234567"));  // 7 characters
    plug(usbModuleConfig(0x12345678, 0x0013, "123456789")); // 9 characters
    plug(usbModuleConfig(0x0BADF00D, 0x8013));           // product id bit 15: not a module
    UsbModuleConfig other = usbModuleConfig(0x0D15EA5E, 0x0013);
    other.usb.vendorId = static_cast<uint16_t>(CORVANTIS_USB_VENDOR_ID ^ 0x0100);
    plug(other);

    Found found;
    EXPECT_EQ(aDiscovery_EnumerateUSB(sCollect, &found), 1);
    ASSERT_EQ(found.specs.size(), 1u);

    const linkSpec* s = sFind(found, 0x00C0FFEE);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->type, USB);
    EXPECT_EQ(s->t.usb.usbId, 0x00C0FFEEu);
    EXPECT_EQ(s->model, 0x13u);
    EXPECT_EQ(s->module, 0u);
    EXPECT_EQ(s->router, 0u);
    EXPECT_EQ(s->routerSerialNumber, 0u);
}

TEST_F(UsbDiscovery, NonHexSerialTextIsNotReported)
{
    plug(usbModuleConfig(1, 0x0013, "0000XYZ1"));
    Found found;
    EXPECT_EQ(aDiscovery_EnumerateUSB(sCollect, &found), 0);
    EXPECT_TRUE(found.specs.empty());
}

TEST_F(UsbDiscovery, CallbackStopsTheWalkAndDecidesTheCount)
{
    for (uint32_t serial = 0x51; serial <= 0x53; ++serial)
        plug(usbModuleConfig(serial));

    Found all;
    EXPECT_EQ(aDiscovery_EnumerateUSB(sCollect, &all), 3);

    Found first;
    first.stopAfter = 1;
    EXPECT_EQ(aDiscovery_EnumerateUSB(sCollect, &first), 1);
    EXPECT_EQ(first.specs.size(), 1u);

    Found untaken;
    untaken.take = false;
    untaken.stopAfter = 1;
    EXPECT_EQ(aDiscovery_EnumerateUSB(sCollect, &untaken), 0);
    EXPECT_EQ(untaken.specs.size(), 1u);
}

TEST_F(UsbDiscovery, ThroughTheDiscoveryEntryPoints)
{
    plug(usbModuleConfig(0x00AA0001, 0x0011));
    plug(usbModuleConfig(0x00AA0002, 0x0012));

    Found found;
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, sCollect, &found, 0x0100007F), 2);

    linkSpec* spec = aDiscovery_FindModule(USB, 0x00AA0002, 0x0100007F);
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->serialNumber, 0x00AA0002u);
    EXPECT_EQ(spec->model, 0x12u);
    aLinkSpec_Destroy(&spec);
    EXPECT_EQ(aDiscovery_FindModule(USB, 0x00AA0003, 0x0100007F), nullptr);
}

} // namespace
