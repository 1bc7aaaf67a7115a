// BirdFile: a BIRD firmware package loaded into memory. It reads the file,
// decompresses its zlib payload, splits it into BirdBlock records and offers
// the lookups (build, version, serial number, model) and in-memory patches
// (serial number, recovery unscrambling, vector checksum) that the update,
// build-list and recovery flows and the store need. It never writes a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "updater/BirdBlock.h"

constexpr uint32_t BIRD_FILE_SIGNATURE = 0x62697264; // "bird"
constexpr uint16_t BIRD_FILE_VERSION = 0x0101;

// Big-endian readers for the file's integers.
uint32_t GetInt(const uint8_t* bytes);
uint16_t GetShort(const uint8_t* bytes);

class BirdFile {
public:
    BirdFile() = default;
    // Loads the file; throws std::runtime_error("Failed to load bird data")
    // when it does not load.
    explicit BirdFile(const std::string& path);
    BirdFile(BirdFile&& other) noexcept;
    BirdFile& operator=(BirdFile&& other) noexcept;
    BirdFile(const BirdFile&) = delete;
    BirdFile& operator=(const BirdFile&) = delete;
    ~BirdFile() = default;

    // Reads the file at Path() and parses it with LoadFromMemory.
    bool Load();
    // Parses the bytes of a whole BIRD file (header and zlib stream); the
    // file loader uses it, and so can callers that hold the bytes already.
    bool LoadFromMemory(const uint8_t* bytes, size_t length);

    bool DecompressData(const uint8_t* source, size_t length);
    bool ScanBlocks(const uint8_t* payload, size_t length);
    std::vector<BirdBlock> FindBlocks(uint8_t type) const;
    bool FindSerialNumberOffsets();

    bool ReplaceSerialNumber(uint32_t serial);
    bool DecodeFirmwareBlocks(const uint32_t key[4]);
    bool ReplaceVectorChecksum();

    bool ValidateModel(const char* name) const;
    uint32_t GetSerialNumber() const;
    bool ValidateSerialNumber(uint32_t serial) const { return serial == GetSerialNumber(); }
    std::string GetVersion() const;
    uint32_t GetBuild() const;

    // Quick header check: six bytes, "bird", both version bytes non-zero.
    static bool VerifyFile(const std::string& path);

    const std::string& Path() const { return path_; }
    uint32_t Signature() const { return signature_; }
    uint32_t FormatVersion() const { return formatVersion_; }
    uint32_t FileChecksum() const { return fileChecksum_; }
    uint32_t BlockCount() const { return blockCount_; }
    const std::vector<BirdBlock>& Blocks() const { return blocks_; }
    bool HasSerialOffsets() const { return hasSerialOffsets_; }
    uint32_t SerialNumberAddress() const { return serialAddress_; }
    uint32_t DescriptorAddress() const { return descriptorAddress_; }
    const uint8_t* Payload() const { return payload_.get(); }
    uint32_t PayloadSize() const { return payloadSize_; }

private:
    // The first identity block's 64 bytes, space padded when the block is
    // shorter; false when there is no identity block.
    bool identity(char out[64]) const;
    void reset();

    std::string path_;
    uint32_t signature_ = 0;
    uint32_t formatVersion_ = 0;
    uint32_t fileChecksum_ = 0;
    uint32_t blockCount_ = 0;
    std::vector<BirdBlock> blocks_;
    bool hasSerialOffsets_ = false;
    uint32_t serialAddress_ = 0;
    uint32_t descriptorAddress_ = 0;
    std::unique_ptr<uint8_t[]> payload_;
    uint32_t payloadSize_ = 0;
};
