// Descriptor bytes of a simulated USB module (see UsbDescriptors.h).
#include "sim/usb/UsbDescriptors.h"

namespace modsim::usb {

namespace {

void put16(std::vector<uint8_t>& v, uint16_t x)
{
    v.push_back(static_cast<uint8_t>(x & 0xFF));
    v.push_back(static_cast<uint8_t>(x >> 8));
}

std::vector<uint8_t> utf16Descriptor(const std::string& text)
{
    std::vector<uint8_t> d;
    const size_t chars = text.size() > 126 ? 126 : text.size();
    d.push_back(static_cast<uint8_t>(2 + 2 * chars));
    d.push_back(3);
    for (size_t i = 0; i < chars; ++i)
        put16(d, static_cast<uint8_t>(text[i]));
    return d;
}

} // namespace

std::vector<uint8_t> deviceDescriptor(const UsbIdentity& id)
{
    std::vector<uint8_t> d{18, 1};
    put16(d, 0x0200); // USB 2.0
    d.insert(d.end(), {0, 0, 0, 64});
    put16(d, id.vendorId);
    put16(d, id.productId);
    put16(d, 0x0100);
    d.insert(d.end(), {1, 2, 3, 1}); // manufacturer, product, serial, one configuration
    return d;
}

std::vector<uint8_t> configurationDescriptor(const UsbIdentity& id)
{
    std::vector<uint8_t> d{9, 2};
    put16(d, 9 + 9 + 7 + 7);
    d.insert(d.end(), {1, 1, 0, 0x80, 50});
    d.insert(d.end(), {9, 4, 0, 0, 2, id.interfaceClass, id.interfaceSubclass,
                       id.interfaceProtocol, 0});
    d.insert(d.end(), {7, 5, kBulkInEndpoint, 0x02});
    put16(d, id.maxPacket);
    d.push_back(0);
    d.insert(d.end(), {7, 5, kBulkOutEndpoint, 0x02});
    put16(d, id.maxPacket);
    d.push_back(0);
    return d;
}

std::vector<uint8_t> stringDescriptor(const UsbIdentity& id, uint8_t index)
{
    switch (index) {
    case 0:
        return {4, 3, 0x09, 0x04};
    case 1:
        return utf16Descriptor("Veltrane");
    case 2:
        return utf16Descriptor("Corvantis module");
    case 3:
        return utf16Descriptor(id.serialText);
    default:
        return {};
    }
}

} // namespace modsim::usb
