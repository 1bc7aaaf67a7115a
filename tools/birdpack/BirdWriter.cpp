// BirdWriter: see BirdWriter.h.
#include "tools/birdpack/BirdWriter.h"

#include <cerrno>
#include <cstdio>
#include <stdexcept>
#include <zlib.h>

namespace birdpack {

namespace {

void putBE32(Bytes& out, uint32_t v)
{
    out.push_back(uint8_t(v >> 24));
    out.push_back(uint8_t(v >> 16));
    out.push_back(uint8_t(v >> 8));
    out.push_back(uint8_t(v));
}

Bytes imageBlock(uint32_t address, const Bytes& image)
{
    Bytes data;
    data.reserve(image.size() + 4);
    putBE32(data, address);
    data.insert(data.end(), image.begin(), image.end());
    return data;
}

void putField(Bytes& out, const std::string& text)
{
    for (size_t i = 0; i < 16; ++i)
        out.push_back(i < text.size() ? uint8_t(text[i]) : uint8_t(' '));
}

} // namespace

void BirdWriter::AddLoader(uint32_t address, const Bytes& image, uint8_t flags)
{
    blocks_.push_back({TYPE_LOADER, flags, imageBlock(address, image)});
}

void BirdWriter::AddFirmware(uint32_t address, const Bytes& image, uint8_t flags)
{
    blocks_.push_back({TYPE_FIRMWARE, flags, imageBlock(address, image)});
}

void BirdWriter::AddSerialOffsets(uint32_t serialAddress, uint32_t descriptorAddress)
{
    Bytes data;
    putBE32(data, serialAddress);
    putBE32(data, descriptorAddress);
    blocks_.push_back({TYPE_SERIAL_OFFSETS, 0, data});
}

void BirdWriter::AddIdentity(uint32_t build, const std::string& version, uint32_t serial,
                             const std::string& model)
{
    char serialText[16];
    std::snprintf(serialText, sizeof serialText, "%08X", serial);
    AddIdentityFields(std::to_string(build), version, serialText, model);
}

void BirdWriter::AddIdentityFields(const std::string& build, const std::string& version,
                                   const std::string& serial, const std::string& model)
{
    Bytes data;
    putField(data, build);
    putField(data, version);
    putField(data, serial);
    putField(data, model);
    blocks_.push_back({TYPE_IDENTITY, 0, data});
}

void BirdWriter::AddLoaderEntry(uint32_t address)
{
    Bytes data;
    putBE32(data, address);
    blocks_.push_back({TYPE_LOADER_ENTRY, 0, data});
}

void BirdWriter::AddRaw(uint8_t type, uint8_t flags, const Bytes& data)
{
    blocks_.push_back({type, flags, data});
}

void BirdWriter::Scramble(const std::array<uint32_t, 4>& key)
{
    scramble_ = true;
    key_ = key;
}

void BirdWriter::SetDeclaredCount(uint32_t count)
{
    countSet_ = true;
    count_ = count;
}

void BirdWriter::SetSignature(const std::string& four)
{
    if (four.size() != 4)
        throw std::invalid_argument("signature must be 4 bytes");
    signature_ = four;
}

void BirdWriter::SetFormatVersion(uint16_t version) { formatVersion_ = version; }

void BirdWriter::SetChecksum(uint32_t checksum)
{
    checksumSet_ = true;
    checksum_ = checksum;
}

void BirdWriter::ScrambleImage(uint8_t* image, size_t length, const std::array<uint32_t, 4>& key)
{
    uint8_t k[16];
    for (int w = 0; w < 4; ++w)
        for (int b = 0; b < 4; ++b)
            k[w * 4 + b] = uint8_t(key[w] >> (24 - 8 * b));
    uint8_t chain = 0;
    for (size_t i = 0; i < length; ++i) {
        uint8_t plain = image[i];
        image[i] = uint8_t(plain ^ k[i % 16] ^ chain);
        chain = plain;
    }
}

Bytes BirdWriter::SyntheticImage(size_t size, uint32_t seed)
{
    Bytes out(size);
    uint32_t x = seed * 2654435761u + 1;
    auto next = [&x] {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return x;
    };
    // A small "instruction set" of 32-bit words that code runs draw from.
    uint32_t words[64];
    for (uint32_t& w : words)
        w = next();
    size_t i = 0;
    while (i < size) {
        // Runs of instructions (compressible) alternate with runs of noise
        // (constants, tables), about 60:40.
        uint32_t r = next();
        size_t run = 16 + (r & 0x3F);
        bool noisy = (r >> 8) % 5 < 2;
        for (size_t j = 0; j < run && i < size; j += 4) {
            uint32_t w = noisy ? next() : words[next() & 63];
            for (int b = 0; b < 4 && i < size; ++b, ++i)
                out[i] = uint8_t(w >> (8 * b));
        }
    }
    return out;
}

Bytes BirdWriter::Payload() const
{
    Bytes out;
    size_t total = 8;
    for (const Block& b : blocks_)
        total += 5 + b.data.size();
    out.reserve(total);
    putBE32(out, countSet_ ? count_ : uint32_t(blocks_.size()));
    for (const Block& b : blocks_) {
        out.push_back(uint8_t((b.type & 0x1F) | ((b.flags & 0x07) << 5)));
        putBE32(out, uint32_t(b.data.size()));
        size_t at = out.size();
        out.insert(out.end(), b.data.begin(), b.data.end());
        if (scramble_ && b.type == TYPE_FIRMWARE && b.data.size() > 4)
            ScrambleImage(out.data() + at + 4, b.data.size() - 4, key_);
    }
    uint32_t sum = checksumSet_ ? checksum_
                                : uint32_t(crc32(0L, out.data(), uInt(out.size())));
    putBE32(out, sum);
    return out;
}

Bytes BirdWriter::FileBytes(int level) const
{
    Bytes payload = Payload();
    uLongf bound = compressBound(uLong(payload.size()));
    Bytes out(6 + bound);
    for (int i = 0; i < 4; ++i)
        out[i] = uint8_t(signature_[i]);
    out[4] = uint8_t(formatVersion_ >> 8);
    out[5] = uint8_t(formatVersion_);
    uLongf written = bound;
    int rc = compress2(out.data() + 6, &written, payload.data(), uLong(payload.size()), level);
    if (rc != Z_OK)
        throw std::runtime_error("zlib compress2 failed with " + std::to_string(rc));
    out.resize(6 + written);
    return out;
}

bool BirdWriter::Write(const std::string& path, int level) const
{
    Bytes bytes = FileBytes(level);
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    int saved = errno;
    if (std::fclose(f) != 0) {
        ok = false;
        saved = errno;
    }
    if (!ok) {
        std::remove(path.c_str());
        errno = saved;
    }
    return ok;
}

} // namespace birdpack
