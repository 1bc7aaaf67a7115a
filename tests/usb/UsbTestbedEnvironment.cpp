// The simulated USB bus shared by the tests of one process.
#include "tests/usb/UsbTestbedEnvironment.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "common/aUSBContext.h"
#include "common/aUSBModuleId.h"

namespace {

modsim::usb::UsbTestbed* sBus = nullptr;
TestPty sPty;
int sPtySlave = -1;

void sOpenPty()
{
    sPty.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (sPty.master < 0 || grantpt(sPty.master) != 0 || unlockpt(sPty.master) != 0)
        return;
    sPty.slavePath = ptsname(sPty.master);
    // Held open so that the terminal keeps its raw settings between opens.
    sPtySlave = open(sPty.slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios t{};
    tcgetattr(sPtySlave, &t);
    cfmakeraw(&t);
    tcsetattr(sPtySlave, TCSANOW, &t);
}

class UsbBusEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        sOpenPty();
        if (modsim::usb::UsbTestbed::preloaded())
            sBus = new modsim::usb::UsbTestbed();
    }
    void TearDown() override
    {
        Corvantis_libusb_exit();
        delete sBus;
        sBus = nullptr;
        if (sPtySlave >= 0)
            close(sPtySlave);
        if (sPty.master >= 0)
            close(sPty.master);
        sPty = TestPty{};
    }
};

[[maybe_unused]] ::testing::Environment* const sEnvironment =
    ::testing::AddGlobalTestEnvironment(new UsbBusEnvironment);

} // namespace

modsim::usb::UsbTestbed* usbBus() { return sBus; }

const TestPty& kernelNodePty() { return sPty; }

modsim::usb::UsbModuleConfig usbModuleConfig(uint32_t serial, uint16_t productId,
                                             const std::string& serialText)
{
    modsim::usb::UsbModuleConfig c;
    c.usb.vendorId = CORVANTIS_USB_VENDOR_ID;
    c.usb.productId = productId;
    char text[16];
    std::snprintf(text, sizeof text, "%08X", serial);
    c.usb.serialText = serialText.empty() ? text : serialText;
    c.module.serial = serial ? serial : 1;
    c.module.model = static_cast<uint8_t>(productId & 0xFF);
    return c;
}

void UsbTest::SetUp()
{
    if (!usbBus())
        GTEST_SKIP() << "needs umockdev's preload: run through tests/usb/run-under-umockdev";
}

void UsbTest::TearDown()
{
    for (modsim::usb::UsbModule* m : plugged_)
        usbBus()->unplug(*m);
    plugged_.clear();
}

modsim::usb::UsbModule& UsbTest::plug(const modsim::usb::UsbModuleConfig& config)
{
    modsim::usb::UsbModule& m = usbBus()->plug(config);
    plugged_.push_back(&m);
    return m;
}

modsim::usb::UsbModule& UsbTest::replug(modsim::usb::UsbModule& module,
                                        const modsim::usb::UsbModuleConfig& config)
{
    plugged_.erase(std::remove(plugged_.begin(), plugged_.end(), &module), plugged_.end());
    usbBus()->unplug(module);
    return plug(config);
}
