// SimFlash: the flash memory of a simulated module. The upgrade loader writes
// firmware pieces into it; tests read it back (or its dump file) to compare
// it byte for byte with the firmware image. Erased bytes read 0xFF. Not
// thread-safe: owned by the module model, used under the simulator's lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace modsim {

class SimFlash {
public:
    void configure(uint32_t base, uint32_t size);
    uint32_t base() const { return base_; }
    uint32_t size() const { return size_; }

    // False (nothing written) when the range is not inside the flash.
    bool write(uint32_t address, const uint8_t* p, size_t n);
    // Bytes at [address, address + n); outside the written part 0xFF.
    std::vector<uint8_t> read(uint32_t address, size_t n) const;
    // One past the highest address written so far (base when none).
    uint32_t writtenEnd() const { return base_ + static_cast<uint32_t>(bytes_.size()); }
    unsigned writeCount() const { return writes_; }

    // Writes the flash from base to writtenEnd() to `path` (file offset =
    // address - base) through a temporary file renamed into place, so a
    // reader never sees half a dump. Throws std::runtime_error on failure.
    void dump(const std::string& path) const;

private:
    uint32_t base_ = 0;
    uint32_t size_ = 4u << 20;
    std::vector<uint8_t> bytes_; // from base_, grown as written
    unsigned writes_ = 0;
};

} // namespace modsim
