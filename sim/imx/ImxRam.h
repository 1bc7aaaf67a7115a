// ImxRam: the on-chip RAM of a simulated i.MX RT1050 as its boot ROM sees it
// (ITCM, DTCM and OCRAM in the default FlexRAM split). SdpRom writes files
// into it; tests read the image back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace imxsim {

class ImxRam {
  public:
    struct Region {
        std::string name;
        uint32_t base;
        std::vector<uint8_t> bytes;
    };

    ImxRam();

    // True when [address, address + length) lies inside one region.
    bool contains(uint32_t address, size_t length) const;
    // False (and nothing written) unless the range is inside one region.
    bool write(uint32_t address, const uint8_t* data, size_t length);
    // False unless the range is inside one region.
    bool read(uint32_t address, uint8_t* out, size_t length) const;
    std::vector<uint8_t> read(uint32_t address, size_t length) const;

    const std::vector<Region>& regions() const { return regions_; }

  private:
    Region* find(uint32_t address, size_t length);
    const Region* find(uint32_t address, size_t length) const;

    std::vector<Region> regions_;
};

} // namespace imxsim
