// The module test on a USB device (see aUSBModuleId.h).
#include "common/aUSBModuleId.h"

#include <libusb-1.0/libusb.h>

bool is_corvantis_device(libusb_device* device)
{
    libusb_device_descriptor descriptor{};
    if (!device || libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS)
        return false;
    return aUSB_IsModuleId(descriptor.idVendor, descriptor.idProduct);
}
