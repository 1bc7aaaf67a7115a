// HID_SDPLoader: the SDPLoader transport over the i.MX boot ROM's USB-HID
// device, through hidapi. The recovery flow picks it when the port is "USB".
#pragma once

#include <cstdint>

#include "recovery/SDPLoader_Interface.h"

struct hid_device_;

class HID_SDPLoader : public SDPLoader_Interface {
  public:
    HID_SDPLoader(uint16_t vendorId, uint16_t productId);
    ~HID_SDPLoader() override;
    HID_SDPLoader(const HID_SDPLoader&) = delete;
    HID_SDPLoader& operator=(const HID_SDPLoader&) = delete;

    bool init() override;
    ssize_t writeData(const std::vector<uint8_t>& bytes) override;
    ssize_t readData(std::vector<uint8_t>& out, int timeoutMs) override;
    bool getDataFromBuffer(const std::vector<uint8_t>& bytes, size_t offset, uint32_t& value) override;

    // Most reports one readData takes, so that a babbling device cannot hold it.
    static constexpr int READ_REPORT_LIMIT = 16;

  private:
    hid_device_* handle_ = nullptr;
    uint16_t vid_;
    uint16_t pid_;
    bool hidInitialised_ = false;
};
