// The USB stream: the byte stream of a link to a module attached by USB,
// over libusb or, when the kernel driver's node for the module exists, over
// that node. Created by the link table when a USB link is opened or reset.
#pragma once

#include <cstdint>

#include "common/aErr.h"
#include "common/aStream.h"

struct cvusb_device;

constexpr uint16_t aUSBS_CHECK = 0xDEAD;

// The stream's reference.
struct aUSBStreamState {
    uint32_t serialNumber;
    cvusb_device* device;
    uint16_t check;
};

inline bool aVALIDUSBS(const aUSBStreamState* state) { return state && state->check == aUSBS_CHECK; }

// Opens the module with this serial number. aErrParam for a null out pointer
// or serial number 0; otherwise the open's result (aErrNotFound, aErrBusy when
// another program holds the module, ...). *out is null on failure.
aErr aStream_CreateUSB(uint32_t serialNumber, aStream** out);
