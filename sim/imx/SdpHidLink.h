// SdpHidLink: the USB-HID side of the simulated boot ROM. Report 1 carries a
// command, report 2 write-file data; the ROM answers with report 3 (the
// security status) and report 4 (64 response bytes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/imx/SdpRom.h"

namespace imxsim {

class SdpHidLink {
  public:
    explicit SdpHidLink(SdpRom& rom) : rom_(rom) {}

    // One output report from the host (its first byte is the report id);
    // returns the input reports the ROM sends back, each with its id.
    std::vector<std::vector<uint8_t>> receive(const uint8_t* report, size_t length);

    static constexpr size_t RESPONSE_REPORT_DATA = 64;

  private:
    SdpRom& rom_;
};

} // namespace imxsim
