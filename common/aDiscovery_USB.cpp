// USB module enumeration (see aDiscovery_USB.h).
#include "common/aDiscovery_USB.h"

#include <libusb-1.0/libusb.h>

#include <cstring>

#include "common/aUSBContext.h"
#include "common/aUSBModuleId.h"

namespace {

// A module's serial-number descriptor holds exactly eight hex digits.
bool sParseSerial(const char* text, int length, uint32_t* serial)
{
    if (length != 8)
        return false;
    uint32_t value = 0;
    for (int i = 0; i < 8; ++i) {
        const char c = text[i];
        uint32_t digit;
        if (c >= '0' && c <= '9')
            digit = static_cast<uint32_t>(c - '0');
        else if (c >= 'A' && c <= 'F')
            digit = static_cast<uint32_t>(c - 'A' + 10);
        else if (c >= 'a' && c <= 'f')
            digit = static_cast<uint32_t>(c - 'a' + 10);
        else
            return false;
        value = (value << 4) | digit;
    }
    *serial = value;
    return true;
}

} // namespace

uint8_t aDiscovery_EnumerateUSB(aDiscoveryModuleFoundProc found, void* reference)
{
    if (!found)
        return 0;
    libusb_context* context = Corvantis_libusb_context();
    if (!context)
        return 0;

    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    if (count < 0)
        return 0;

    uint8_t taken = 0;
    bool goOn = true;
    for (ssize_t i = 0; i < count && goOn; ++i) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(list[i], &descriptor) != LIBUSB_SUCCESS)
            continue;
        if (!aUSB_IsModuleId(descriptor.idVendor, descriptor.idProduct))
            continue;
        libusb_device_handle* handle = nullptr;
        if (libusb_open(list[i], &handle) != LIBUSB_SUCCESS)
            continue;

        char text[32];
        std::memset(text, 0, sizeof text);
        int length = 0;
        if (descriptor.iSerialNumber != 0)
            length = libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber,
                                                        reinterpret_cast<unsigned char*>(text),
                                                        sizeof text - 1);
        uint32_t serial = 0;
        if (sParseSerial(text, length, &serial)) {
            linkSpec* spec = aLinkSpec_Create(USB);
            if (spec) {
                spec->serialNumber = serial;
                spec->t.usb.usbId = serial;
                spec->model = descriptor.idProduct & 0xFFu;
                bool wasTaken = false;
                goOn = found(spec, &wasTaken, reference);
                if (wasTaken)
                    ++taken;
                aLinkSpec_Destroy(&spec);
            }
        }
        libusb_close(handle);
    }
    libusb_free_device_list(list, 1);
    return taken;
}
