// How a Corvantis module shows itself on USB: the maker's vendor id, the
// product id range of modules, and the vendor interface that carries the
// link. Used by the USB stream and by USB discovery.
#pragma once

#include <cstdint>

struct libusb_device;

// The USB vendor id of Corvantis modules; the only place it is written.
constexpr uint16_t CORVANTIS_USB_VENDOR_ID = 0x2F7A;

// The link interface: vendor class, subclass and protocol.
constexpr uint8_t CORVANTIS_USB_INTERFACE_CLASS = 0xFF;
constexpr uint8_t CORVANTIS_USB_INTERFACE_SUBCLASS = 0x88;
constexpr uint8_t CORVANTIS_USB_INTERFACE_PROTOCOL = 0x10;

// Product ids with bit 15 set are not modules.
constexpr bool aUSB_IsModuleId(uint16_t vendorId, uint16_t productId)
{
    return vendorId == CORVANTIS_USB_VENDOR_ID && static_cast<int16_t>(productId) >= 0;
}

// True when the device descriptor can be read and names a module.
bool is_corvantis_device(libusb_device* device);
