// SdpSerialLink: the UART side of the simulated boot ROM. It cuts the byte
// stream into 16-byte commands and write-file data for SdpRom, answers the
// "#EE#" handshake by echoing it, and turns SdpRom's messages into the bytes
// the ROM sends back (4 status bytes, then the response bytes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/imx/SdpRom.h"

namespace imxsim {

class SdpSerialLink {
  public:
    explicit SdpSerialLink(SdpRom& rom) : rom_(rom) {}

    // Bytes from the host; returns the bytes the ROM sends back.
    std::vector<uint8_t> receive(const uint8_t* bytes, size_t length);

  private:
    SdpRom& rom_;
    std::vector<uint8_t> pending_;
};

} // namespace imxsim
