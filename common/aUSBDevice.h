// The USB device record: one open Corvantis module on USB, reached either
// through libusb (the vendor bulk interface) or through the optional kernel
// driver's node "/dev/corvantis.%08X". Holds the state machine and the
// tolerance for short runs of I/O errors. Used by the USB stream; the link
// engine's reader and writer threads use one record at the same time (reads
// touch only the IN side, writes only the OUT side).
#pragma once

#include <atomic>
#include <cstdint>

#include "common/aErr.h"

struct libusb_device_handle;

enum cvusbBackEnd : int32_t {
    CVUSB_KERNEL = 0,
    CVUSB_LIBUSB = 1,
};

enum cvusbState : int32_t {
    CVUSB_CREATED = 1,
    CVUSB_CLOSED = 2,
    CVUSB_OPENING = 3,
    CVUSB_READY = 4,
    CVUSB_FAILED = 5, // the fifth I/O error in a row; only destruction follows
};

constexpr size_t CVUSB_SERIAL_SIZE = 257; // up to 256 characters and the terminator
constexpr size_t CVUSB_RECEIVE_SIZE = 1024;
// Consecutive I/O errors after which the record fails for good.
constexpr uint8_t CVUSB_ERROR_LIMIT = 5;

struct cvusb_device {
    int32_t backEnd;
    char serial[CVUSB_SERIAL_SIZE];
    int fd; // kernel node, -1 when closed
    libusb_device_handle* handle;
    std::atomic<int32_t> state;
    uint8_t interfaceNumber;
    uint8_t outEndpoint;
    uint8_t inEndpoint;
    uint8_t receive[CVUSB_RECEIVE_SIZE];
    int32_t available;
    uint8_t* readPosition;
    std::atomic<uint8_t> errorRun;
    uint16_t inPacketSize;
    uint16_t outPacketSize;
};

// A new record in state created, or null. The libusb back end makes sure the
// shared context exists.
cvusb_device* cvusb_create_usb(int32_t backEnd);
// Closes a libusb handle still open, frees the record and nulls the pointer.
aErr cvusb_destroy(cvusb_device** device);

// True when the kernel driver's node for this serial number exists.
bool cvusb_is_kernel_driver_installed(uint32_t serialNumber);

// Opens the module whose serial-number text equals `serial` exactly.
aErr cvusb_open_corvantis_device(cvusb_device* device, const char* serial);
aErr cvusb_open_corvantis_USBlib_device(cvusb_device* device, const char* serial);
aErr cvusb_open_corvantis_kernel_device(cvusb_device* device, const char* serial);

aErr cvusb_write_to_device(cvusb_device* device, const uint8_t* data, size_t length);
aErr cvusb_write_to_USBlib_device(cvusb_device* device, const uint8_t* data, size_t length);
aErr cvusb_write_to_kernel_device(cvusb_device* device, const uint8_t* data, size_t length);

// One byte: aErrNone with the byte, aErrNotReady when none arrived.
aErr cvusb_get_from_device(cvusb_device* device, uint8_t* byte);
aErr cvusb_get_from_USBlib_device(cvusb_device* device, uint8_t* byte);
aErr cvusb_get_from_kernel_device(cvusb_device* device, uint8_t* byte);

aErr cvusb_close_corvantis_device(cvusb_device* device);
aErr cvusb_close_corvantis_USBlib_device(cvusb_device* device);
aErr cvusb_close_corvantis_kernel_device(cvusb_device* device);

// Finds the vendor link interface of the open device and fills the interface
// number, the bulk endpoints and their packet sizes. False when the device
// has no such interface with both an IN and an OUT endpoint.
bool find_usb_endpoints(cvusb_device* device);
