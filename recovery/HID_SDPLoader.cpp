// HID_SDPLoader: USB-HID transport of the i.MX loader (see HID_SDPLoader.h).
#include "recovery/HID_SDPLoader.h"

#include <hidapi.h>

#include "app/Log.h"
#include "recovery/SDPLoader_Protocol.h"

HID_SDPLoader::HID_SDPLoader(uint16_t vendorId, uint16_t productId) : vid_(vendorId), pid_(productId) {}

HID_SDPLoader::~HID_SDPLoader()
{
    if (handle_ != nullptr)
        hid_close(handle_);
    if (hidInitialised_)
        hid_exit();
}

bool HID_SDPLoader::init()
{
    if (handle_ != nullptr) {
        hid_close(handle_);
        handle_ = nullptr;
    }
    if (!hidInitialised_) {
        if (hid_init() != 0) {
            Log::log(DEBUG_iMXSerial, "hid_init failed\n");
            return false;
        }
        hidInitialised_ = true;
    }
    handle_ = hid_open(vid_, pid_, nullptr);
    Log::log(DEBUG_iMXSerial, "handle: %p\n", static_cast<void*>(handle_));
    return handle_ != nullptr;
}

ssize_t HID_SDPLoader::writeData(const std::vector<uint8_t>& bytes)
{
    if (handle_ == nullptr || bytes.empty())
        return -1;
    return hid_write(handle_, bytes.data(), bytes.size());
}

ssize_t HID_SDPLoader::readData(std::vector<uint8_t>& out, int timeoutMs)
{
    if (handle_ == nullptr)
        return -1;
    ssize_t total = 0;
    uint8_t report[SDPLoader_Protocol::HID_REPORT_BUFFER];
    for (int reports = 0; reports < READ_REPORT_LIMIT; ++reports) {
        const int n = hid_read_timeout(handle_, report, sizeof report, timeoutMs);
        if (n <= 0)
            break;
        total += static_cast<ssize_t>(SDPLoader_Protocol::AppendHIDReport(out, report, static_cast<size_t>(n)));
    }
    return total;
}

bool HID_SDPLoader::getDataFromBuffer(const std::vector<uint8_t>& bytes, size_t offset, uint32_t& value)
{
    return SDPLoader_Protocol::HIDReplyValue(bytes.data(), bytes.size(), offset, value);
}
