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
    // The line has been quiet for a while: an unfinished command is noise
    // (a probe in another protocol, a host that gave up) and is dropped, so
    // that the next command is read from its first byte.
    void lineIdle() { pending_.clear(); }
    bool partialCommand() const { return !pending_.empty(); }

  private:
    SdpRom& rom_;
    std::vector<uint8_t> pending_;
};

} // namespace imxsim
