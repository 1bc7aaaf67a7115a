// SDPLoader_Protocol: command records and reply parsers of the i.MX serial
// download protocol (see SDPLoader_Protocol.h).
#include "recovery/SDPLoader_Protocol.h"

#include "common/aUEI.h"

namespace SDPLoader_Protocol {

namespace {

uint32_t sGetLE32(const uint8_t* at)
{
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8
        | static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
}

} // namespace

std::vector<uint8_t> BuildCommand(uint16_t type, uint32_t address, uint8_t format, uint32_t count)
{
    std::vector<uint8_t> bytes(1 + COMMAND_SIZE, 0);
    bytes[0] = REPORT_COMMAND;
    bytes[1] = static_cast<uint8_t>(type >> 8);
    bytes[2] = static_cast<uint8_t>(type);
    aUEI_StoreInt(&bytes[3], address);
    bytes[7] = format;
    aUEI_StoreInt(&bytes[8], count);
    return bytes;
}

size_t AppendHIDReport(std::vector<uint8_t>& reply, const uint8_t* report, size_t length)
{
    if (report == nullptr || length == 0)
        return 0;
    size_t keep = length;
    if (report[0] == REPORT_HAB)
        keep = length < HID_HAB_REPORT_SIZE ? length : HID_HAB_REPORT_SIZE;
    reply.insert(reply.end(), report, report + keep);
    return keep;
}

bool HIDReplyValue(const uint8_t* reply, size_t length, size_t offset, uint32_t& value)
{
    if (reply == nullptr || length != HID_REPLY_SIZE || offset > MAX_OFFSET)
        return false;
    value |= sGetLE32(reply + offset + 6);
    return true;
}

bool SerialReplyValue(const uint8_t* reply, size_t length, size_t offset, uint32_t& value)
{
    if (reply == nullptr || offset > MAX_OFFSET || length < 4 * (offset + 2))
        return false;
    value |= sGetLE32(reply + offset + 4);
    return true;
}

} // namespace SDPLoader_Protocol
