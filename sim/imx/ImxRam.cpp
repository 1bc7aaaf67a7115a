// ImxRam: simulated i.MX RT1050 on-chip RAM (see ImxRam.h).
#include "sim/imx/ImxRam.h"

#include <cstring>

namespace imxsim {

ImxRam::ImxRam()
{
    regions_.push_back({"itcm", 0x00000000, std::vector<uint8_t>(0x20000, 0)});
    regions_.push_back({"dtcm", 0x20000000, std::vector<uint8_t>(0x20000, 0)});
    regions_.push_back({"ocram", 0x20200000, std::vector<uint8_t>(0x40000, 0)});
}

const ImxRam::Region* ImxRam::find(uint32_t address, size_t length) const
{
    for (const Region& r : regions_) {
        const uint64_t start = address;
        const uint64_t end = start + length;
        if (start >= r.base && end <= static_cast<uint64_t>(r.base) + r.bytes.size())
            return &r;
    }
    return nullptr;
}

ImxRam::Region* ImxRam::find(uint32_t address, size_t length)
{
    return const_cast<Region*>(static_cast<const ImxRam*>(this)->find(address, length));
}

bool ImxRam::contains(uint32_t address, size_t length) const { return find(address, length) != nullptr; }

bool ImxRam::write(uint32_t address, const uint8_t* data, size_t length)
{
    Region* r = find(address, length);
    if (r == nullptr)
        return false;
    if (length > 0)
        std::memcpy(r->bytes.data() + (address - r->base), data, length);
    return true;
}

bool ImxRam::read(uint32_t address, uint8_t* out, size_t length) const
{
    const Region* r = find(address, length);
    if (r == nullptr)
        return false;
    if (length > 0)
        std::memcpy(out, r->bytes.data() + (address - r->base), length);
    return true;
}

std::vector<uint8_t> ImxRam::read(uint32_t address, size_t length) const
{
    std::vector<uint8_t> out(length);
    if (!read(address, out.data(), length))
        out.clear();
    return out;
}

} // namespace imxsim
