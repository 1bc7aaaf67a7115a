// SDPLoader_Interface: the byte transport between SDPLoader and an i.MX boot
// ROM. HID_SDPLoader (USB-HID) and Serial_SDPLoader (a serial device) are its
// two implementations; SDPLoader owns one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>
#include <vector>

class SDPLoader_Interface {
  public:
    virtual ~SDPLoader_Interface() = default;

    // Opens the device; true when it can be used.
    virtual bool init() = 0;
    // Sends one command or data chunk; bytes[0] is the HID report id.
    // Returns the count written, negative on failure.
    virtual ssize_t writeData(const std::vector<uint8_t>& bytes) = 0;
    // Appends what the boot ROM sent within the time-out; returns the count
    // appended, negative on failure.
    virtual ssize_t readData(std::vector<uint8_t>& out, int timeoutMs) = 0;
    // OR-s the reply value into `value` (which the caller zeroes); false when
    // the reply is not complete.
    virtual bool getDataFromBuffer(const std::vector<uint8_t>& bytes, size_t offset, uint32_t& value) = 0;
};
