// SDPLoader_Protocol: the byte layout of the serial download protocol as the
// i.MX loader speaks it: command records, data chunking and the pure parsers
// of the boot ROM's replies. SDPLoader and its two transports use it; the
// parsers are kept free of any device so that untrusted replies can be
// checked on their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace SDPLoader_Protocol {

// Command types (two equal bytes on the wire).
constexpr uint16_t READ_REGISTER = 0x0101;
constexpr uint16_t WRITE_FILE = 0x0404;
constexpr uint16_t ERROR_STATUS = 0x0505;
constexpr uint16_t JUMP_ADDRESS = 0x0B0B;

constexpr uint8_t ACCESS_32BIT = 0x20;
constexpr size_t COMMAND_SIZE = 16;       // one command without the report id
constexpr size_t CHUNK_SIZE = 1024;       // most data bytes per write
constexpr uint8_t REPORT_COMMAND = 1;     // HID report ids
constexpr uint8_t REPORT_DATA = 2;
constexpr uint8_t REPORT_HAB = 3;
constexpr uint8_t REPORT_RESPONSE = 4;
constexpr size_t HID_REPORT_BUFFER = 65;  // largest report with its id
constexpr size_t HID_HAB_REPORT_SIZE = 5; // report 3: id and the security status
constexpr size_t HID_REPLY_SIZE = 70;     // report 3 and report 4 together
constexpr size_t MAX_OFFSET = 15;

constexpr uint32_t WRITE_COMPLETE = 0x88888888; // status after a completed write file
constexpr uint32_t ACK = 0xF0F0F0F0;

// One command as sent to a transport: the HID report id 1 followed by the 16
// command bytes (multi-byte fields most significant byte first).
std::vector<uint8_t> BuildCommand(uint16_t type, uint32_t address, uint8_t format, uint32_t count);

// Appends one report read from the HID device as the reply is assembled: a
// report 3 counts as its id and 4 status bytes, any other report is kept
// whole. Returns the number of bytes appended.
size_t AppendHIDReport(std::vector<uint8_t>& reply, const uint8_t* report, size_t length);

// Reply value of a HID reply: only a complete reply of exactly 70 bytes; the
// little-endian word at offset + 6. The value is OR-ed into `value`.
bool HIDReplyValue(const uint8_t* reply, size_t length, size_t offset, uint32_t& value);

// Reply value of a serial reply: at least 4 * (offset + 2) bytes; the
// little-endian word at offset + 4. The value is OR-ed into `value`.
bool SerialReplyValue(const uint8_t* reply, size_t length, size_t offset, uint32_t& value);

} // namespace SDPLoader_Protocol
