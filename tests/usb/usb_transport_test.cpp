// The USB stream and device record against simulated USB modules: module
// recognition, serial matching, transfer sizes, stalls, the error tolerance,
// claims refused, and the kernel-node back end.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/aStream.h"
#include "common/aStream_USB.h"
#include "common/aUSBDevice.h"
#include "common/aUSBModuleId.h"
#include "tests/usb/UsbTestbedEnvironment.h"

using modsim::usb::Direction;
using modsim::usb::UsbModule;
using modsim::usb::UsbModuleConfig;

namespace {

class UsbStream : public UsbTest {
protected:
    void TearDown() override
    {
        if (stream)
            aStream_Destroy(&stream);
        UsbTest::TearDown();
    }
    cvusb_device* device() { return static_cast<aUSBStreamState*>(stream->procRef)->device; }
    aErr readByte(uint8_t* b) { return stream->getProc(b, stream->procRef); }
    aErr write(const std::vector<uint8_t>& bytes)
    {
        return stream->writeProc(bytes.data(), bytes.size(), stream->procRef);
    }
    aStream* stream = nullptr;
};

TEST_F(UsbStream, AddressQueryRoundTripThroughTheModule)
{
    UsbModule& m = plug(usbModuleConfig(0x00C0FFEE));
    ASSERT_EQ(aStream_CreateUSB(0x00C0FFEE, &stream), aErrNone);
    EXPECT_EQ(device()->backEnd, CVUSB_LIBUSB);
    EXPECT_EQ(device()->state.load(), CVUSB_READY);
    const uint8_t query[] = {173, 0};
    ASSERT_EQ(aStream_Write(stream, query, 2), aErrNone);
    uint8_t reply[2] = {};
    ASSERT_EQ(aStream_Read(stream, reply, 2), aErrNone);
    EXPECT_EQ(reply[0], 6); // the module's address, no data
    EXPECT_EQ(reply[1], 0);
    EXPECT_EQ(m.claims(), 1u);
}

TEST_F(UsbStream, BadArgumentsAreRefusedBeforeAnyDeviceIsTouched)
{
    EXPECT_EQ(aStream_CreateUSB(0, &stream), aErrParam);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(aStream_CreateUSB(0x1234, nullptr), aErrParam);
}

// Which devices a serial number opens: the descriptor text must equal the
// number written as eight upper-case hex digits, and the device must be a
// module (our vendor id, product id below 0x8000).
TEST_F(UsbStream, OpensOnlyAModuleWhoseSerialTextMatchesExactly)
{
    struct Case {
        const char* name;
        uint16_t vendor;
        uint16_t product;
        const char* text;
        aErr expected;
    } cases[] = {
        {"leading zeros", CORVANTIS_USB_VENDOR_ID, 0x0013, "0000BEEF", aErrNone},
        {"without leading zeros", CORVANTIS_USB_VENDOR_ID, 0x0013, "BEEF", aErrNotFound},
        {"lower-case digits", CORVANTIS_USB_VENDOR_ID, 0x0013, "0000beef", aErrNotFound},
        {"product id bit 15", CORVANTIS_USB_VENDOR_ID, 0x8013, "0000BEEF", aErrNotFound},
        {"highest module product id", CORVANTIS_USB_VENDOR_ID, 0x7FFF, "0000BEEF", aErrNone},
        {"other vendor", static_cast<uint16_t>(CORVANTIS_USB_VENDOR_ID + 1), 0x0013, "0000BEEF",
         aErrNotFound},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UsbModuleConfig config = usbModuleConfig(0xBEEF, c.product, c.text);
        config.usb.vendorId = c.vendor;
        UsbModule& m = plug(config);
        EXPECT_EQ(aStream_CreateUSB(0xBEEF, &stream), c.expected);
        EXPECT_EQ(stream != nullptr, c.expected == aErrNone);
        if (stream)
            aStream_Destroy(&stream);
        usbBus()->unplug(m);
    }
}

TEST_F(UsbStream, ModuleTestOnIdentifiers)
{
    EXPECT_TRUE(aUSB_IsModuleId(CORVANTIS_USB_VENDOR_ID, 0x0000));
    EXPECT_TRUE(aUSB_IsModuleId(CORVANTIS_USB_VENDOR_ID, 0x7FFF));
    EXPECT_FALSE(aUSB_IsModuleId(CORVANTIS_USB_VENDOR_ID, 0x8000));
    EXPECT_FALSE(aUSB_IsModuleId(CORVANTIS_USB_VENDOR_ID, 0xFFFF));
    EXPECT_FALSE(aUSB_IsModuleId(0x0000, 0x0013));
}

TEST_F(UsbStream, ClaimRefusedAsBusyAndMissingInterface)
{
    UsbModule& busy = plug(usbModuleConfig(0x11110001));
    busy.setClaimBusy(true);
    EXPECT_EQ(aStream_CreateUSB(0x11110001, &stream), aErrBusy);
    EXPECT_EQ(stream, nullptr);

    UsbModuleConfig odd = usbModuleConfig(0x11110002);
    odd.usb.interfaceSubclass = 0x87; // not the link interface
    plug(odd);
    EXPECT_EQ(aStream_CreateUSB(0x11110002, &stream), aErrConfiguration);

    // Once the other holder lets go, the module opens.
    busy.setClaimBusy(false);
    EXPECT_EQ(aStream_CreateUSB(0x11110001, &stream), aErrNone);
}

// Writes go out one packet per transfer at most, and a 512-byte chunk as 511.
TEST_F(UsbStream, WritesAreCutIntoPacketSizedTransfers)
{
    struct Case {
        uint16_t maxPacket;
        size_t length;
        std::vector<size_t> transfers;
    } cases[] = {
        {512, 1024, {511, 511, 2}},
        {512, 512, {511, 1}},
        {512, 300, {300}},
        {64, 130, {64, 64, 2}},
    };
    uint32_t serial = 0x22220000;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.maxPacket << "-byte packets, " << c.length << " bytes");
        UsbModuleConfig config = usbModuleConfig(++serial);
        config.usb.maxPacket = c.maxPacket;
        UsbModule& m = plug(config);
        m.setModuleAttached(false); // raw bytes, not packets
        ASSERT_EQ(aStream_CreateUSB(serial, &stream), aErrNone);
        std::vector<uint8_t> data(c.length);
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<uint8_t>(i * 7);
        EXPECT_EQ(write(data), aErrNone);
        EXPECT_EQ(m.outTransferSizes(), c.transfers);
        EXPECT_EQ(m.outBytes(), data);
        aStream_Destroy(&stream);
        usbBus()->unplug(m);
    }
}

TEST_F(UsbStream, ReadsDeliverOneTransferByteByByte)
{
    UsbModule& m = plug(usbModuleConfig(0x33330001));
    ASSERT_EQ(aStream_CreateUSB(0x33330001, &stream), aErrNone);
    m.pushIn({1, 2, 3, 4, 5});
    uint8_t got[5] = {};
    ASSERT_EQ(aStream_Read(stream, got, 5), aErrNone);
    EXPECT_EQ(std::vector<uint8_t>(got, got + 5), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
    // Nothing more: the read times out without a byte.
    uint8_t b = 0;
    EXPECT_EQ(readByte(&b), aErrNotReady);
}

TEST_F(UsbStream, FourReadFailuresAreToleratedTheFifthFailsTheStream)
{
    UsbModule& m = plug(usbModuleConfig(0x33330002));
    ASSERT_EQ(aStream_CreateUSB(0x33330002, &stream), aErrNone);
    uint8_t b = 0;

    m.failNext(Direction::In, 4);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(readByte(&b), aErrNotReady) << "failure " << i + 1;
    m.pushIn({0x42});
    ASSERT_EQ(readByte(&b), aErrNone);
    EXPECT_EQ(b, 0x42);
    EXPECT_EQ(device()->state.load(), CVUSB_READY);

    // The good read cleared the run: it takes five new failures in a row.
    m.failNext(Direction::In, 5);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(readByte(&b), aErrNotReady) << "failure " << i + 1;
    EXPECT_EQ(readByte(&b), aErrIO);
    EXPECT_EQ(device()->state.load(), CVUSB_FAILED);

    // Failed for good: nothing reaches the bus any more.
    m.pushIn({0x43});
    EXPECT_EQ(readByte(&b), aErrIO);
    EXPECT_EQ(write({1, 2, 3}), aErrIO);
    EXPECT_TRUE(m.outTransferSizes().empty());
}

TEST_F(UsbStream, StalledEndpointsAreClearedAndTheStreamGoesOn)
{
    UsbModule& m = plug(usbModuleConfig(0x33330003));
    m.setModuleAttached(false);
    ASSERT_EQ(aStream_CreateUSB(0x33330003, &stream), aErrNone);

    m.stallNext(Direction::In);
    uint8_t b = 0;
    EXPECT_EQ(readByte(&b), aErrNotReady);
    EXPECT_EQ(m.clearedHalts(Direction::In), 1u);
    m.pushIn({9});
    EXPECT_EQ(readByte(&b), aErrNone);
    EXPECT_EQ(b, 9);

    // A stalled write is retried after the halt is cleared; the bytes arrive once.
    m.stallNext(Direction::Out);
    EXPECT_EQ(write({1, 2, 3}), aErrNone);
    EXPECT_EQ(m.clearedHalts(Direction::Out), 1u);
    EXPECT_EQ(m.outBytes(), (std::vector<uint8_t>{1, 2, 3}));
}

TEST_F(UsbStream, WriteThatKeepsFailingReportsUnsentBytes)
{
    UsbModule& m = plug(usbModuleConfig(0x33330004));
    m.setModuleAttached(false);
    ASSERT_EQ(aStream_CreateUSB(0x33330004, &stream), aErrNone);
    m.failNext(Direction::Out, 10);
    EXPECT_EQ(write({1, 2, 3}), aErrWrite);
    EXPECT_TRUE(m.outBytes().empty());
    // Not an I/O error run: the stream still works.
    EXPECT_EQ(write({4}), aErrNone);
    EXPECT_EQ(m.outBytes(), (std::vector<uint8_t>{4}));
}

// A transfer that times out after the device took part of it goes on from the
// first byte not taken: nothing is sent twice.
TEST_F(UsbStream, WriteTimedOutPartwayResumesAfterTheBytesTaken)
{
    UsbModule& m = plug(usbModuleConfig(0x33330005));
    m.setModuleAttached(false);
    ASSERT_EQ(aStream_CreateUSB(0x33330005, &stream), aErrNone);
    m.stallOutAfter(4);
    const std::vector<uint8_t> data{0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    EXPECT_EQ(write(data), aErrNone);
    EXPECT_EQ(m.outBytes(), data);
    EXPECT_EQ(m.outTransferSizes(), (std::vector<size_t>{4, 6}));
}

TEST_F(UsbStream, BackEndMismatchAndClosedRecords)
{
    cvusb_device* kernel = cvusb_create_usb(CVUSB_KERNEL);
    cvusb_device* usb = cvusb_create_usb(CVUSB_LIBUSB);
    ASSERT_TRUE(kernel && usb);
    uint8_t b = 0;
    EXPECT_EQ(cvusb_get_from_USBlib_device(kernel, &b), aErrMode);
    EXPECT_EQ(cvusb_write_to_kernel_device(usb, &b, 1), aErrMode);
    EXPECT_EQ(cvusb_get_from_kernel_device(kernel, &b), aErrMode); // no descriptor
    EXPECT_EQ(cvusb_close_corvantis_USBlib_device(usb), aErrMode);  // no handle
    EXPECT_EQ(cvusb_close_corvantis_kernel_device(kernel), aErrNone);
    // A record that was never opened is not ready.
    EXPECT_EQ(cvusb_get_from_device(usb, &b), aErrNotReady);
    EXPECT_EQ(cvusb_destroy(&usb), aErrNone);
    EXPECT_EQ(usb, nullptr);
    EXPECT_EQ(cvusb_destroy(&usb), aErrParam);
    cvusb_destroy(&kernel);
}

// The kernel driver's node, played by a pseudo-terminal linked at its path.
class KernelNode : public UsbStream {
protected:
    void SetUp() override
    {
        UsbStream::SetUp();
        if (IsSkipped())
            return;
        ASSERT_GE(kernelNodePty().master, 0);
        std::snprintf(node, sizeof node, "/dev/corvantis.%08X", kSerial);
        unlink(node);
        if (symlink(kernelNodePty().slavePath.c_str(), node) != 0)
            GTEST_SKIP() << "cannot create " << node << " (needs write access to /dev)";
        linked = true;
    }
    void TearDown() override
    {
        UsbStream::TearDown();
        if (linked)
            unlink(node);
    }
    std::vector<uint8_t> drainMaster(size_t want)
    {
        std::vector<uint8_t> got;
        pollfd p{kernelNodePty().master, POLLIN, 0};
        while (got.size() < want && poll(&p, 1, 2000) > 0) {
            uint8_t buf[64];
            const ssize_t n = read(p.fd, buf, sizeof buf);
            if (n <= 0)
                break;
            got.insert(got.end(), buf, buf + n);
        }
        return got;
    }
    static constexpr uint32_t kSerial = 0x0044AA01;
    char node[64] = {};
    bool linked = false;
};

TEST_F(KernelNode, TakesPrecedenceOverLibusb)
{
    UsbModule& m = plug(usbModuleConfig(kSerial));
    ASSERT_TRUE(cvusb_is_kernel_driver_installed(kSerial));
    ASSERT_EQ(aStream_CreateUSB(kSerial, &stream), aErrNone);
    EXPECT_EQ(device()->backEnd, CVUSB_KERNEL);

    EXPECT_EQ(write({173, 0}), aErrNone);
    EXPECT_EQ(drainMaster(2), (std::vector<uint8_t>{173, 0}));
    const uint8_t reply[] = {6, 0};
    ASSERT_EQ(::write(kernelNodePty().master, reply, 2), 2);
    uint8_t got[2] = {};
    ASSERT_EQ(aStream_Read(stream, got, 2), aErrNone);
    EXPECT_EQ(got[0], 6);

    // The USB device itself was never opened.
    EXPECT_EQ(m.claims(), 0u);
    EXPECT_TRUE(m.outBytes().empty());
}

TEST_F(KernelNode, SilentNodeReadsNothingWithoutBlocking)
{
    ASSERT_EQ(aStream_CreateUSB(kSerial, &stream), aErrNone);
    uint8_t b = 0;
    EXPECT_EQ(readByte(&b), aErrNotReady);
}

TEST(UsbKernelNode, MissingNodeIsNotInstalled)
{
    EXPECT_FALSE(cvusb_is_kernel_driver_installed(0xFEEDF00D));
}

} // namespace
