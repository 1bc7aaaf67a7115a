// The USB stream over a USB device record (see aStream_USB.h).
#include "common/aStream_USB.h"

#include <cstdio>
#include <new>

#include "common/aUSBDevice.h"

namespace {

aErr sUSBGet(uint8_t* byte, void* reference)
{
    auto* state = static_cast<aUSBStreamState*>(reference);
    if (!aVALIDUSBS(state))
        return aErrParam;
    return cvusb_get_from_device(state->device, byte);
}

aErr sUSBPut(const uint8_t* byte, void* reference)
{
    auto* state = static_cast<aUSBStreamState*>(reference);
    if (!aVALIDUSBS(state))
        return aErrParam;
    return cvusb_write_to_device(state->device, byte, 1);
}

aErr sUSBWrite(const uint8_t* data, size_t length, void* reference)
{
    auto* state = static_cast<aUSBStreamState*>(reference);
    if (!aVALIDUSBS(state))
        return aErrParam;
    return cvusb_write_to_device(state->device, data, length);
}

// Closes the device and releases everything; a failed close is reported, but
// the record and the state are released all the same so nothing leaks.
aErr sUSBDelete(void* reference)
{
    auto* state = static_cast<aUSBStreamState*>(reference);
    if (!aVALIDUSBS(state))
        return aErrParam;
    const aErr err = cvusb_close_corvantis_device(state->device);
    cvusb_destroy(&state->device);
    state->check = 0;
    delete state;
    return err;
}

} // namespace

aErr aStream_CreateUSB(uint32_t serialNumber, aStream** out)
{
    if (out)
        *out = nullptr;
    const bool kernel = serialNumber != 0 && cvusb_is_kernel_driver_installed(serialNumber);
    if (!out || serialNumber == 0)
        return aErrParam;

    auto* state = new (std::nothrow) aUSBStreamState{};
    if (!state)
        return aErrMemory;
    char serial[16];
    std::snprintf(serial, sizeof serial, "%08X", serialNumber);
    state->serialNumber = serialNumber;
    state->check = aUSBS_CHECK;

    state->device = cvusb_create_usb(kernel ? CVUSB_KERNEL : CVUSB_LIBUSB);
    if (!state->device) {
        delete state;
        return aErrResource;
    }
    const aErr err = cvusb_open_corvantis_device(state->device, serial);
    if (err != aErrNone) {
        cvusb_destroy(&state->device);
        delete state;
        return err;
    }
    aStream* stream = aStream_Create(sUSBGet, sUSBPut, sUSBWrite, sUSBDelete, state);
    if (!stream) {
        cvusb_close_corvantis_device(state->device);
        cvusb_destroy(&state->device);
        delete state;
        return aErrMemory;
    }
    *out = stream;
    return aErrNone;
}
