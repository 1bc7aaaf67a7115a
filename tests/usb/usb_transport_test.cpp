// The USB stream and device record against simulated USB modules: module
// recognition, serial matching, transfer sizes, stalls, the error tolerance,
// claims refused, and the kernel-node back end.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "common/aStream.h"
#include "common/aStream_USB.h"
#include "common/aUSBDevice.h"
#include "common/aUSBModuleId.h"
#include "tests/usb/UsbTestbedEnvironment.h"

using modsim::usb::Direction;
using modsim::usb::UsbModule;

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
    aStream* stream = nullptr;
};

TEST_F(UsbStream, AddressQueryRoundTrip)
{
    UsbModule& m = plug(usbModuleConfig(0x00C0FFEE));
    ASSERT_EQ(aStream_CreateUSB(0x00C0FFEE, &stream), aErrNone);
    const uint8_t query[] = {173, 0};
    ASSERT_EQ(aStream_Write(stream, query, 2), aErrNone);
    uint8_t reply[2] = {};
    ASSERT_EQ(aStream_Read(stream, reply, 2), aErrNone);
    EXPECT_EQ(reply[0], 6);
    EXPECT_EQ(reply[1], 0);
    EXPECT_EQ(m.claims(), 1u);
}

} // namespace
