// BirdWriter: builds BIRD firmware package files (the format the updater's
// BirdFile reads) from loader and firmware images, identity fields, serial
// number offsets and raw blocks. Used by the birdpack command-line tool, by
// the tests and benchmarks that need realistic packages, and by the
// simulators. It is a separate, independent writer: it shares no code with
// the reader so that tests of the reader catch faults in either.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace birdpack {

using Bytes = std::vector<uint8_t>;

// Block type codes of the package format.
enum : uint8_t {
    TYPE_LOADER = 0,
    TYPE_FIRMWARE = 1,
    TYPE_SERIAL_OFFSETS = 2,
    TYPE_IDENTITY = 4,
    TYPE_LOADER_ENTRY = 5,
};

class BirdWriter {
public:
    // Image blocks: a big-endian address word followed by the image.
    void AddLoader(uint32_t address, const Bytes& image, uint8_t flags = 0);
    void AddFirmware(uint32_t address, const Bytes& image, uint8_t flags = 0);
    // Where a module's serial number (32-bit word) and its USB string
    // descriptor lie in the firmware image; 0 means none.
    void AddSerialOffsets(uint32_t serialAddress, uint32_t descriptorAddress);
    // Identity block from values: build in decimal, version text, serial in
    // eight upper-case hex digits, model name; each field space padded to 16.
    void AddIdentity(uint32_t build, const std::string& version, uint32_t serial,
                     const std::string& model);
    // Identity block from four field texts, each cut or space padded to 16.
    void AddIdentityFields(const std::string& build, const std::string& version,
                           const std::string& serial, const std::string& model);
    void AddLoaderEntry(uint32_t address);
    // Any block, data taken as given (lengths are not checked: this is how
    // malformed packages are made for tests).
    void AddRaw(uint8_t type, uint8_t flags, const Bytes& data);

    // Scramble every firmware image for the chip with this fingerprint when
    // the package is produced (recovery firmware is delivered this way).
    void Scramble(const std::array<uint32_t, 4>& key);
    // Overrides of header fields, for malformed test packages.
    void SetDeclaredCount(uint32_t count);
    void SetSignature(const std::string& four);
    void SetFormatVersion(uint16_t version);
    void SetChecksum(uint32_t checksum);

    size_t BlockCount() const { return blocks_.size(); }

    // The uncompressed payload: count, block records, checksum. Unless set,
    // the checksum is the CRC-32 of everything before it.
    Bytes Payload() const;
    // The whole file: signature, format version, zlib stream of Payload().
    Bytes FileBytes(int level = 9) const;
    // Writes FileBytes() to path; false with errno set on failure.
    bool Write(const std::string& path, int level = 9) const;

    // Scrambles one image in place with the chained-XOR scheme of recovery
    // firmware: c[i] = p[i] ^ key[i % 16] ^ p[i-1], p[-1] = 0.
    static void ScrambleImage(uint8_t* image, size_t length, const std::array<uint32_t, 4>& key);

    // Deterministic firmware-like filler: code-like runs mixed with
    // pseudo-random bytes, so that it compresses about as real images do
    // (about 1.6:1 with zlib).
    static Bytes SyntheticImage(size_t size, uint32_t seed);

private:
    struct Block {
        uint8_t type;
        uint8_t flags;
        Bytes data;
    };
    std::vector<Block> blocks_;
    bool scramble_ = false;
    std::array<uint32_t, 4> key_{};
    bool countSet_ = false;
    uint32_t count_ = 0;
    std::string signature_ = "bird";
    uint16_t formatVersion_ = 0x0101;
    bool checksumSet_ = false;
    uint32_t checksum_ = 0;
};

} // namespace birdpack
