// UsbDescriptors: the USB identity of a simulated module (vendor and product
// id, serial-number text, packet size) and the descriptor bytes it answers
// with: device, configuration with the vendor link interface and its two
// bulk endpoints, and the string descriptors.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace modsim::usb {

struct UsbIdentity {
    uint16_t vendorId = 0;
    uint16_t productId = 0x0013; // low byte: the module's model
    std::string serialText = "1A2B3C4D";
    uint16_t maxPacket = 512; // both bulk endpoints
    uint8_t interfaceClass = 0xFF;
    uint8_t interfaceSubclass = 0x88;
    uint8_t interfaceProtocol = 0x10;
};

constexpr uint8_t kBulkInEndpoint = 0x81;
constexpr uint8_t kBulkOutEndpoint = 0x02;

std::vector<uint8_t> deviceDescriptor(const UsbIdentity& id);
std::vector<uint8_t> configurationDescriptor(const UsbIdentity& id);
// String descriptor `index` (0: the language list); empty when there is none.
std::vector<uint8_t> stringDescriptor(const UsbIdentity& id, uint8_t index);

} // namespace modsim::usb
