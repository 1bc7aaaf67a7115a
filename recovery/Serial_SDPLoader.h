// Serial_SDPLoader: the SDPLoader transport over a serial device (the boot
// ROM's UART at 115200 8N1). The recovery flow picks it for any port name
// other than "USB".
#pragma once

#include <memory>
#include <string>

#include "recovery/SDPLoader_Interface.h"

struct Serial_SDPLoader_Private;

class Serial_SDPLoader : public SDPLoader_Interface {
  public:
    // settleMs: how long init lets the line settle before it discards what
    // the port gathered (one second for real boards).
    explicit Serial_SDPLoader(const std::string& devicePath, int settleMs = 1000);
    ~Serial_SDPLoader() override;
    Serial_SDPLoader(const Serial_SDPLoader&) = delete;
    Serial_SDPLoader& operator=(const Serial_SDPLoader&) = delete;

    bool init() override;
    ssize_t writeData(const std::vector<uint8_t>& bytes) override;
    ssize_t readData(std::vector<uint8_t>& out, int timeoutMs) override;
    bool getDataFromBuffer(const std::vector<uint8_t>& bytes, size_t offset, uint32_t& value) override;

    // A write that makes no progress for this long fails.
    static constexpr int WRITE_STALL_LIMIT_MS = 2000;
    // Most bytes one readData takes, so that a babbling line cannot hold it.
    static constexpr size_t READ_LIMIT = 4096;

  private:
    std::unique_ptr<Serial_SDPLoader_Private> d_;
};
