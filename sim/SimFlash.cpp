// The simulated flash memory and its dump file.
#include "sim/SimFlash.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace modsim {

void SimFlash::configure(uint32_t base, uint32_t size) {
    base_ = base;
    size_ = size;
    bytes_.clear();
    writes_ = 0;
}

bool SimFlash::write(uint32_t address, const uint8_t* p, size_t n) {
    if (address < base_) return false;
    const uint64_t off = address - base_;
    if (off + n > size_) return false;
    if (bytes_.size() < off + n) bytes_.resize(off + n, 0xFF);
    std::memcpy(bytes_.data() + off, p, n);
    ++writes_;
    return true;
}

std::vector<uint8_t> SimFlash::read(uint32_t address, size_t n) const {
    std::vector<uint8_t> r(n, 0xFF);
    for (size_t i = 0; i < n; ++i) {
        const uint64_t a = uint64_t(address) + i;
        if (a >= base_ && a - base_ < bytes_.size()) r[i] = bytes_[a - base_];
    }
    return r;
}

void SimFlash::dump(const std::string& path) const {
    const std::string tmp = path + ".tmp";
    FILE* f = fopen(tmp.c_str(), "wb");
    if (!f) throw std::runtime_error("flash dump " + tmp + ": " + strerror(errno));
    bool ok = bytes_.empty() || fwrite(bytes_.data(), 1, bytes_.size(), f) == bytes_.size();
    ok = fflush(f) == 0 && ok;
    ok = fsync(fileno(f)) == 0 && ok;
    ok = fclose(f) == 0 && ok;
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
        const int e = errno;
        unlink(tmp.c_str());
        throw std::runtime_error("flash dump " + path + ": " + strerror(e));
    }
}

} // namespace modsim
