// The USB device record and its two back ends (see aUSBDevice.h).
#include "common/aUSBDevice.h"

#include <libusb-1.0/libusb.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "common/aUSBContext.h"
#include "common/aUSBModuleId.h"
#include "common/aUSBTrace.h"

namespace {

constexpr unsigned kWriteTimeoutMs = 50;
constexpr unsigned kReadTimeoutMs = 1000;
constexpr int kWriteFailureLimit = 10;
constexpr int kKernelWriteCalls = 1000;

// Passes a read or write result through the error tolerance: a short run of
// I/O errors is absorbed, the fifth in a row fails the record for good.
aErr sTolerate(cvusb_device* device, aErr err, bool write)
{
    if (err != aErrIO) {
        device->errorRun = 0;
        return err;
    }
    uint8_t run = device->errorRun.load();
    while (run < 255 && !device->errorRun.compare_exchange_weak(run, static_cast<uint8_t>(run + 1))) {
    }
    if (run + 1 >= CVUSB_ERROR_LIMIT) {
        device->state = CVUSB_FAILED;
        return aErrIO;
    }
    // A read that failed has no byte to deliver.
    return write ? aErrNone : aErrNotReady;
}

// The answer of a libusb record that is not ready, or aErrNone when it is.
aErr sStateGate(const cvusb_device* device, const char* what)
{
    const int32_t state = device->state;
    switch (state) {
    case CVUSB_READY:
        return aErrNone;
    case CVUSB_CLOSED:
        return aErrConnection;
    case CVUSB_CREATED:
    case CVUSB_OPENING:
        return aErrNotReady;
    default:
        aUSB_Trace(aDEBUG_USB_TRANSFERS, "libusb %s error dev state: %d\n", what, state);
        return aErrIO;
    }
}

bool sLinkInterface(const libusb_interface_descriptor& setting)
{
    return setting.bInterfaceClass == CORVANTIS_USB_INTERFACE_CLASS &&
           setting.bInterfaceSubClass == CORVANTIS_USB_INTERFACE_SUBCLASS &&
           setting.bInterfaceProtocol == CORVANTIS_USB_INTERFACE_PROTOCOL;
}

} // namespace

cvusb_device* cvusb_create_usb(int32_t backEnd)
{
    if (backEnd != CVUSB_LIBUSB && backEnd != CVUSB_KERNEL)
        return nullptr;
    if (backEnd == CVUSB_LIBUSB && !Corvantis_libusb_context())
        return nullptr;
    cvusb_device* device = new (std::nothrow) cvusb_device{};
    if (!device)
        return nullptr;
    device->backEnd = backEnd;
    device->fd = -1;
    device->state = CVUSB_CREATED;
    device->readPosition = device->receive;
    return device;
}

aErr cvusb_destroy(cvusb_device** device)
{
    if (!device || !*device)
        return aErrParam;
    cvusb_device* d = *device;
    if (d->backEnd == CVUSB_LIBUSB && d->handle) {
        libusb_release_interface(d->handle, d->interfaceNumber);
        libusb_close(d->handle);
    } else if (d->backEnd == CVUSB_KERNEL && d->fd >= 0) {
        close(d->fd);
    }
    delete d;
    *device = nullptr;
    return aErrNone;
}

bool cvusb_is_kernel_driver_installed(uint32_t serialNumber)
{
    char path[64];
    std::snprintf(path, sizeof path, "/dev/corvantis.%08X", serialNumber);
    struct stat st;
    return stat(path, &st) == 0;
}

aErr cvusb_open_corvantis_device(cvusb_device* device, const char* serial)
{
    if (!device || !serial)
        return aErrParam;
    return device->backEnd == CVUSB_LIBUSB ? cvusb_open_corvantis_USBlib_device(device, serial)
                                           : cvusb_open_corvantis_kernel_device(device, serial);
}

aErr cvusb_write_to_device(cvusb_device* device, const uint8_t* data, size_t length)
{
    if (!device || (!data && length))
        return aErrParam;
    return device->backEnd == CVUSB_LIBUSB ? cvusb_write_to_USBlib_device(device, data, length)
                                           : cvusb_write_to_kernel_device(device, data, length);
}

aErr cvusb_get_from_device(cvusb_device* device, uint8_t* byte)
{
    if (!device || !byte)
        return aErrParam;
    return device->backEnd == CVUSB_LIBUSB ? cvusb_get_from_USBlib_device(device, byte)
                                           : cvusb_get_from_kernel_device(device, byte);
}

aErr cvusb_close_corvantis_device(cvusb_device* device)
{
    if (!device)
        return aErrParam;
    return device->backEnd == CVUSB_LIBUSB ? cvusb_close_corvantis_USBlib_device(device)
                                           : cvusb_close_corvantis_kernel_device(device);
}

bool find_usb_endpoints(cvusb_device* device)
{
    if (!device || !device->handle)
        return false;
    libusb_device* usb = libusb_get_device(device->handle);
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(usb, &descriptor) != LIBUSB_SUCCESS)
        return false;
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_config_descriptor(usb, 0, &config) != LIBUSB_SUCCESS || !config)
        return false;
    bool haveIn = false;
    bool haveOut = false;
    for (int i = 0; i < config->bNumInterfaces; ++i) {
        const libusb_interface& iface = config->interface[i];
        for (int a = 0; a < iface.num_altsetting; ++a) {
            const libusb_interface_descriptor& setting = iface.altsetting[a];
            if (!sLinkInterface(setting))
                continue;
            device->interfaceNumber = setting.bInterfaceNumber;
            for (int e = 0; e < setting.bNumEndpoints; ++e) {
                const libusb_endpoint_descriptor& ep = setting.endpoint[e];
                if (!(ep.bmAttributes & 0x02)) // bulk or interrupt
                    continue;
                if (ep.bEndpointAddress & 0x80) {
                    device->inEndpoint = ep.bEndpointAddress;
                    device->inPacketSize = ep.wMaxPacketSize;
                    haveIn = true;
                } else {
                    device->outEndpoint = ep.bEndpointAddress;
                    device->outPacketSize = ep.wMaxPacketSize;
                    haveOut = true;
                }
            }
        }
    }
    libusb_free_config_descriptor(config);
    if (haveIn)
        aUSB_Trace(aDEBUG_USB_TRANSFERS, "In Endpoint Max packet: %d\n", device->inPacketSize);
    if (haveOut)
        aUSB_Trace(aDEBUG_USB_TRANSFERS, "Out Endpoint Max packet: %d\n", device->outPacketSize);
    // A zero packet size would never move a byte.
    return haveIn && haveOut && device->outPacketSize > 0;
}

// libusb back end ------------------------------------------------------------

aErr cvusb_open_corvantis_USBlib_device(cvusb_device* device, const char* serial)
{
    if (!device || !serial)
        return aErrParam;
    if (device->backEnd != CVUSB_LIBUSB)
        return aErrMode;
    libusb_context* context = Corvantis_libusb_context();
    if (!context)
        return aErrInitialization;
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    if (count < 0)
        return aErrNotFound;

    aErr result = aErrNotFound;
    for (ssize_t i = 0; i < count; ++i) {
        if (!is_corvantis_device(list[i]))
            continue;
        libusb_device_handle* handle = nullptr;
        if (libusb_open(list[i], &handle) != LIBUSB_SUCCESS)
            continue;
        libusb_device_descriptor descriptor{};
        unsigned char text[256];
        std::memset(text, 0, sizeof text);
        if (libusb_get_device_descriptor(list[i], &descriptor) == LIBUSB_SUCCESS &&
            descriptor.iSerialNumber != 0)
            libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, text, sizeof text - 1);
        if (std::strcmp(reinterpret_cast<const char*>(text), serial) != 0) {
            libusb_close(handle);
            continue;
        }

        std::snprintf(device->serial, sizeof device->serial, "%s", serial);
        device->handle = handle;
        device->state = CVUSB_OPENING;
        if (!find_usb_endpoints(device)) {
            result = aErrConfiguration;
        } else {
            const int rc = libusb_claim_interface(handle, device->interfaceNumber);
            if (rc == LIBUSB_SUCCESS) {
                device->state = CVUSB_READY;
                device->errorRun = 0;
                result = aErrNone;
            } else if (rc == LIBUSB_ERROR_BUSY || rc == LIBUSB_ERROR_NO_DEVICE) {
                result = aErrBusy;
            } else if (rc == LIBUSB_ERROR_ACCESS) {
                result = aErrPermission;
            } else {
                result = aErrUnknown;
            }
        }
        if (result != aErrNone) {
            libusb_close(handle);
            device->handle = nullptr;
            device->state = CVUSB_CLOSED;
        }
        break;
    }
    libusb_free_device_list(list, 1);
    return result;
}

aErr cvusb_write_to_USBlib_device(cvusb_device* device, const uint8_t* data, size_t length)
{
    if (!device || (!data && length))
        return aErrParam;
    if (device->backEnd != CVUSB_LIBUSB)
        return aErrMode;
    aErr result = sStateGate(device, "WRITE");
    if (result != aErrNone)
        return result == aErrIO ? sTolerate(device, result, true) : result;

    size_t sent = 0;
    int failures = 0;
    while (sent < length && failures < kWriteFailureLimit) {
        size_t chunk = length - sent;
        if (chunk > device->outPacketSize)
            chunk = device->outPacketSize;
        if (chunk == 512)
            chunk = 511;
        int transferred = 0;
        const int rc = libusb_bulk_transfer(device->handle, device->outEndpoint,
                                            const_cast<uint8_t*>(data + sent), static_cast<int>(chunk),
                                            &transferred, kWriteTimeoutMs);
        aUSB_Trace(aDEBUG_USB_TRANSFERS, "libusb lenSent: %d - nSize: %d\n", transferred,
                   static_cast<int>(chunk));
        if (rc == LIBUSB_SUCCESS) {
            sent += static_cast<size_t>(transferred);
            continue;
        }
        aUSB_Trace(aDEBUG_USB_TRANSFERS, "libusb error: %d\n", rc);
        ++failures;
        // A time-out may still have moved some bytes.
        if (rc == LIBUSB_ERROR_TIMEOUT && transferred > 0)
            sent += static_cast<size_t>(transferred);
        if (rc == LIBUSB_ERROR_PIPE) {
            const int halt = libusb_clear_halt(device->handle, device->outEndpoint);
            if (halt != LIBUSB_SUCCESS) {
                aUSB_Trace(aDEBUG_USB_TRANSFERS, "libusb WRITE error clearing halt: %d\n", halt);
                result = aErrIO;
            }
        }
    }
    if (sent < length)
        result = aErrWrite;
    return sTolerate(device, result, true);
}

aErr cvusb_get_from_USBlib_device(cvusb_device* device, uint8_t* byte)
{
    if (!device || !byte)
        return aErrParam;
    if (device->backEnd != CVUSB_LIBUSB)
        return aErrMode;
    if (device->available > 0) {
        *byte = *device->readPosition++;
        --device->available;
        return aErrNone;
    }
    aErr result = sStateGate(device, "READ");
    if (result != aErrNone)
        return result == aErrIO ? sTolerate(device, result, false) : result;

    int transferred = 0;
    const int rc = libusb_bulk_transfer(device->handle, device->inEndpoint, device->receive,
                                        static_cast<int>(CVUSB_RECEIVE_SIZE), &transferred,
                                        kReadTimeoutMs);
    if ((rc == LIBUSB_SUCCESS || rc == LIBUSB_ERROR_TIMEOUT) && transferred > 0) {
        device->readPosition = device->receive;
        device->available = transferred;
        *byte = *device->readPosition++;
        --device->available;
        result = aErrNone;
    } else if (rc == LIBUSB_SUCCESS || rc == LIBUSB_ERROR_TIMEOUT) {
        result = aErrNotReady;
    } else if (rc == LIBUSB_ERROR_PIPE) {
        libusb_clear_halt(device->handle, device->inEndpoint);
        result = aErrNotReady;
    } else {
        aUSB_Trace(aDEBUG_USB_TRANSFERS, "libusb READ error bulk transfer: %d\n", rc);
        result = aErrIO;
    }
    return sTolerate(device, result, false);
}

aErr cvusb_close_corvantis_USBlib_device(cvusb_device* device)
{
    if (!device)
        return aErrParam;
    if (device->backEnd != CVUSB_LIBUSB || !device->handle)
        return aErrMode;
    libusb_release_interface(device->handle, device->interfaceNumber);
    libusb_close(device->handle);
    device->handle = nullptr;
    device->state = CVUSB_CLOSED;
    device->interfaceNumber = 0;
    device->inEndpoint = 0;
    device->outEndpoint = 0;
    return aErrNone;
}

// Kernel node back end -------------------------------------------------------

aErr cvusb_open_corvantis_kernel_device(cvusb_device* device, const char* serial)
{
    if (!device || !serial)
        return aErrParam;
    if (device->backEnd != CVUSB_KERNEL)
        return aErrMode;
    std::snprintf(device->serial, sizeof device->serial, "%s", serial);
    char path[300];
    std::snprintf(path, sizeof path, "/dev/corvantis.%s", device->serial);
    const int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return errno == EBUSY ? aErrBusy : aErrIO;
    device->fd = fd;
    device->state = CVUSB_READY;
    return aErrNone;
}

aErr cvusb_write_to_kernel_device(cvusb_device* device, const uint8_t* data, size_t length)
{
    if (!device || (!data && length))
        return aErrParam;
    if (device->backEnd != CVUSB_KERNEL || device->fd < 0)
        return aErrMode;
    size_t sent = 0;
    for (int call = 0; call < kKernelWriteCalls && sent < length; ++call) {
        const ssize_t n = write(device->fd, data + sent, length - sent);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return aErrIO;
        }
        sent += static_cast<size_t>(n);
    }
    return sent < length ? aErrIO : aErrNone;
}

aErr cvusb_get_from_kernel_device(cvusb_device* device, uint8_t* byte)
{
    if (!device || !byte)
        return aErrParam;
    if (device->backEnd != CVUSB_KERNEL || device->fd < 0)
        return aErrMode;
    // Bounded like a libusb read, so a silent module never blocks the reader.
    pollfd p{device->fd, POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(kReadTimeoutMs));
    if (ready == 0 || (ready < 0 && errno == EINTR))
        return aErrNotReady;
    if (ready < 0)
        return aErrIO;
    const ssize_t n = read(device->fd, byte, 1);
    if (n == 1)
        return aErrNone;
    if (n == 0)
        return aErrNotReady;
    return (errno == EFAULT || errno == EAGAIN || errno == EINTR) ? aErrNotReady : aErrIO;
}

aErr cvusb_close_corvantis_kernel_device(cvusb_device* device)
{
    if (!device)
        return aErrParam;
    if (device->backEnd != CVUSB_KERNEL)
        return aErrMode;
    if (device->fd < 0)
        return aErrNone;
    if (close(device->fd) != 0)
        return aErrCancel;
    device->fd = -1;
    device->state = CVUSB_CLOSED;
    return aErrNone;
}
