// USB links through the link table and the link engine against simulated USB
// modules: creation with synchronisation, sharing by serial number, the
// sharing-server refusal, and reconnecting after the module re-enumerated
// (replugged by the test, or by itself after a reset).
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "common/aLink.h"
#include "common/aLinkTable.h"
#include "common/aPacket.h"
#include "common/aStream.h"
#include "common/aStream_USB.h"
#include "common/aUSBContext.h"
#include "tests/usb/UsbTestbedEnvironment.h"

using modsim::usb::UsbModule;
using modsim::usb::UsbModuleConfig;

namespace {

constexpr uint8_t kEcho = 23;

// Sends a debug echo to the module and checks that the same data comes back.
void expectEcho(uint32_t id, uint8_t address, uint8_t tag)
{
    const uint8_t data[] = {kEcho, tag, 0x55, 0xAA};
    aPacket* out = aPacket_CreateWithData(address, sizeof data, data);
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(aLink_PutPacket(id, out), aErrNone);
    aPacket_Destroy(&out);
    aPacket* in = aLink_AwaitPacket(id, 2000);
    ASSERT_NE(in, nullptr) << "no echo within 2 s";
    EXPECT_EQ(in->address, address);
    EXPECT_EQ(std::vector<uint8_t>(in->data, in->data + in->dataSize),
              std::vector<uint8_t>(data, data + sizeof data));
    aPacket_Destroy(&in);
}

bool waitForStatusOtherThan(uint32_t id, linkStatus status, int ms)
{
    for (int i = 0; i < ms / 10; ++i) {
        if (aLink_GetStatus(id) != status)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

class UsbLink : public UsbTest {
protected:
    void TearDown() override
    {
        for (uint32_t& id : ids)
            while (id && aLinkTable_Find(id))
                aLink_Destroy(&id);
        UsbTest::TearDown();
    }
    uint32_t track(uint32_t id)
    {
        ids.push_back(id);
        return id;
    }
    std::vector<uint32_t> ids;
};

TEST_F(UsbLink, CreationSynchronisesAndPacketsFlow)
{
    UsbModule& m = plug(usbModuleConfig(0x00C0FFEE));
    const size_t before = m.log().size();
    const uint32_t id = track(aLink_CreateUSB(0x00C0FFEE));
    ASSERT_NE(id, 0u);
    EXPECT_EQ(aLink_GetStatus(id), RUNNING);
    // The module saw the address query the synchronisation sends.
    EXPECT_FALSE(m.log().matching("rx 173 0", before).empty());
    expectEcho(id, 6, 1);

    // A heartbeat from the module is answered by the link itself.
    const size_t mark = m.log().size();
    m.sendHeartbeat(0);
    EXPECT_TRUE(m.log().waitFor("hb-answer 2 ok", std::chrono::seconds(3), mark))
        << testing::PrintToString(m.log().matching("", mark));
}

TEST_F(UsbLink, ResetOpensTheModuleAgain)
{
    UsbModule& m = plug(usbModuleConfig(0x00C0FFF0));
    const uint32_t id = track(aLink_CreateUSB(0x00C0FFF0));
    ASSERT_NE(id, 0u);
    ASSERT_EQ(aLink_Reset(id), aErrNone);
    EXPECT_EQ(m.claims(), 2u); // released by the old stream, claimed by the new one
    ASSERT_EQ(aLink_Sync(id), aErrNone);
    expectEcho(id, 6, 5);
}

TEST_F(UsbLink, TwoOpensOfOneSerialShareTheLink)
{
    UsbModule& m = plug(usbModuleConfig(0x00C0FFEF));
    uint32_t first = track(aLink_CreateUSB(0x00C0FFEF));
    uint32_t second = aLink_CreateUSB(0x00C0FFEF);
    ASSERT_NE(first, 0u);
    EXPECT_EQ(second, first);
    EXPECT_EQ(aLinkTable_Find(first)->use_count, 2);
    EXPECT_EQ(m.claims(), 1u);

    // The first release keeps the link running; the second tears it down
    // and lets go of the interface.
    EXPECT_EQ(aLink_Destroy(&second), aErrNone);
    EXPECT_EQ(aLink_GetStatus(first), RUNNING);
    expectEcho(first, 6, 2);
    const uint32_t id = first;
    EXPECT_EQ(aLink_Destroy(&first), aErrNone);
    EXPECT_EQ(aLinkTable_Find(id), nullptr);
    aStream* stream = nullptr;
    EXPECT_EQ(aStream_CreateUSB(0x00C0FFEF, &stream), aErrNone);
    aStream_Destroy(&stream);
}

TEST_F(UsbLink, RefusedWhenServedAbsentOrHeld)
{
    plug(usbModuleConfig(0x00C0FF01));
    const uint32_t id = track(aLink_CreateUSB(0x00C0FF01));
    ASSERT_NE(id, 0u);
    aLinkItem* item = aLinkTable_Find(id);
    int server = 0;
    item->server = &server; // a sharing server now serves the module
    EXPECT_EQ(aLink_CreateUSB(0x00C0FF01), 0u);
    EXPECT_EQ(item->use_count, 1);
    item->server = nullptr;

    EXPECT_EQ(aLink_CreateUSB(0x00C0FF02), 0u); // nobody has this serial

    UsbModule& held = plug(usbModuleConfig(0x00C0FF03));
    held.setClaimBusy(true);
    EXPECT_EQ(aLink_CreateUSB(0x00C0FF03), 0u);
    // A failed creation leaves nothing behind: a later attempt starts afresh.
    held.setClaimBusy(false);
    const uint32_t later = track(aLink_CreateUSB(0x00C0FF03));
    ASSERT_NE(later, 0u);
    EXPECT_EQ(aLinkTable_Find(later)->use_count, 1);
}

// A module restarting into its loader leaves the bus and comes back with other
// ids. The old link fails; a fresh libusb context finds the new device.
TEST_F(UsbLink, ReconnectsAfterReEnumerationWithAFreshContext)
{
    UsbModule& app = plug(usbModuleConfig(0x0010AD01, 0x0013));
    uint32_t id = track(aLink_CreateUSB(0x0010AD01));
    ASSERT_NE(id, 0u);
    expectEcho(id, 6, 3);

    UsbModuleConfig loader = usbModuleConfig(0x0010AD01, 0x0093);
    loader.module.address = 8;
    UsbModule& boot = replug(app, loader);
    EXPECT_TRUE(waitForStatusOtherThan(id, RUNNING, 8000)) << "the link did not notice the module leaving";
    aLink_Destroy(&id);

    Corvantis_libusb_exit();
    const size_t before = boot.log().size();
    const uint32_t again = track(aLink_CreateUSB(0x0010AD01));
    ASSERT_NE(again, 0u);
    EXPECT_EQ(aLink_GetStatus(again), RUNNING);
    EXPECT_FALSE(boot.log().matching("rx 173 0", before).empty());
    expectEcho(again, 8, 4);
}

} // namespace

namespace {

// A module that resets answers first, then leaves the bus by itself, stays
// away for its restart time and comes back as a new device; a new link
// reaches it there.
TEST_F(UsbLink, ModuleThatResetsReEnumeratesByItself)
{
    UsbModuleConfig config = usbModuleConfig(0x0010AD02);
    config.module.upgrade.restartMs = 100;
    UsbModule& module = plug(config);
    uint32_t id = track(aLink_CreateUSB(0x0010AD02));
    ASSERT_NE(id, 0u);
    const unsigned before = usbBus()->restarts();

    const uint8_t reset[] = {3, 0x8B, 0x20}; // system entity, call option 11
    aPacket* out = aPacket_CreateWithData(6, sizeof reset, reset);
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(aLink_PutPacket(id, out), aErrNone);
    aPacket_Destroy(&out);
    aPacket* answer = aLink_AwaitPacket(id, 2000);
    ASSERT_NE(answer, nullptr) << "the reset was not answered before the module left";
    EXPECT_EQ(answer->dataSize, 3u);
    aPacket_Destroy(&answer);

    EXPECT_TRUE(waitForStatusOtherThan(id, RUNNING, 8000)) << "the link did not notice the module leaving";
    EXPECT_TRUE(module.log().waitFor("restarted reset", std::chrono::seconds(5)));
    EXPECT_EQ(usbBus()->restarts() - before, 1u);
    aLink_Destroy(&id);

    Corvantis_libusb_exit();
    const uint32_t again = track(aLink_CreateUSB(0x0010AD02));
    ASSERT_NE(again, 0u);
    expectEcho(again, 6, 5);
}

} // namespace
