// Test support: the process-wide simulated USB bus and a fixture that plugs
// modules into it and unplugs them after each test.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sim/usb/UsbTestbed.h"

// The bus, or null when the process runs without umockdev's preload.
modsim::usb::UsbTestbed* usbBus();

// A pseudo-terminal opened (raw) before the bus existed, so that it is a
// plain terminal: stands in for the kernel driver's node of a module.
struct TestPty {
    int master = -1;
    std::string slavePath;
};
const TestPty& kernelNodePty();

// A module config: Corvantis vendor id, the given product id and serial
// number, the serial text "%08X" unless one is given.
modsim::usb::UsbModuleConfig usbModuleConfig(uint32_t serial, uint16_t productId = 0x0013,
                                             const std::string& serialText = "");

class UsbTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    modsim::usb::UsbModule& plug(const modsim::usb::UsbModuleConfig& config);
    modsim::usb::UsbModule& replug(modsim::usb::UsbModule& module,
                                   const modsim::usb::UsbModuleConfig& config);

private:
    std::vector<modsim::usb::UsbModule*> plugged_;
};
