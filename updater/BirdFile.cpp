// BirdFile: loading, parsing, lookups and in-memory patches of a BIRD
// firmware package (see BirdFile.h).
#include "updater/BirdFile.h"

#include <cstring>
#include <stdexcept>
#include <zlib.h>

#include "app/Log.h"
#include "common/aFile.h"

namespace {

constexpr size_t HEADER_SIZE = 6;
constexpr size_t IDENTITY_SIZE = 64;
constexpr size_t FIELD_SIZE = 16;

// The largest payload buffer: the payload size is a 32-bit quantity.
constexpr uint64_t MAX_PAYLOAD = 0xFFFFFFFFu;

bool isHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

unsigned hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return unsigned(c - '0');
    if (c >= 'a' && c <= 'f')
        return unsigned(c - 'a' + 10);
    return unsigned(c - 'A' + 10);
}

} // namespace

uint32_t GetInt(const uint8_t* b)
{
    return (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | b[3];
}

uint16_t GetShort(const uint8_t* b) { return uint16_t((b[0] << 8) | b[1]); }

BirdFile::BirdFile(const std::string& path) : path_(path)
{
    if (!Load())
        throw std::runtime_error("Failed to load bird data");
}

BirdFile::BirdFile(BirdFile&& other) noexcept { *this = std::move(other); }

BirdFile& BirdFile::operator=(BirdFile&& other) noexcept
{
    if (this != &other) {
        path_ = std::move(other.path_);
        signature_ = other.signature_;
        formatVersion_ = other.formatVersion_;
        fileChecksum_ = other.fileChecksum_;
        blockCount_ = other.blockCount_;
        blocks_ = std::move(other.blocks_);
        hasSerialOffsets_ = other.hasSerialOffsets_;
        serialAddress_ = other.serialAddress_;
        descriptorAddress_ = other.descriptorAddress_;
        payload_ = std::move(other.payload_);
        payloadSize_ = other.payloadSize_;
        other.path_.clear();
        other.reset();
    }
    return *this;
}

void BirdFile::reset()
{
    signature_ = 0;
    formatVersion_ = 0;
    fileChecksum_ = 0;
    blockCount_ = 0;
    blocks_.clear();
    hasSerialOffsets_ = false;
    serialAddress_ = 0;
    descriptorAddress_ = 0;
    payload_.reset();
    payloadSize_ = 0;
}

bool BirdFile::Load()
{
    const char* path = path_.c_str();
    Log::log(DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", path);
    if (!aFile_Exists(path)) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: BIRD file not found [%s]\n", path);
        return false;
    }
    aFile* file = aFile_Open(path, 0);
    if (!file) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", path);
        return false;
    }

    bool result = false;
    uint64_t size = 0;
    aErr err = aFile_GetSize(file, &size);
    if (err != aErrNone) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) getting bird file size from %s\n",
                 int(err), path);
    } else {
        // Not value-initialised: the read fills it, and zeroing a large file's
        // worth of memory first would only cost time.
        std::unique_ptr<uint8_t[]> bytes(new (std::nothrow) uint8_t[size ? size : 1]);
        size_t got = 0;
        if (!bytes) {
            Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", int(aErrMemory), path);
        } else if (size && (err = aFile_Read(file, bytes.get(), size_t(size), &got)) != aErrNone) {
            Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", int(err), path);
        } else if (got != size || size < HEADER_SIZE) {
            Log::log(DEBUG_BirdFile, "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n",
                     path, got, size_t(size));
        } else {
            result = LoadFromMemory(bytes.get(), got);
        }
    }
    aFile_Close(&file);
    return result;
}

bool BirdFile::LoadFromMemory(const uint8_t* bytes, size_t length)
{
    reset();
    if (!bytes || length < HEADER_SIZE)
        return false;

    bool result = false;
    if (length > HEADER_SIZE) {
        signature_ = GetInt(bytes);
        formatVersion_ = GetShort(bytes + 4);
    }
    if (DecompressData(bytes + HEADER_SIZE, length - HEADER_SIZE)) {
        ScanBlocks(payload_.get(), payloadSize_);
        FindSerialNumberOffsets();
        result = true;
    }
    for (const BirdBlock& b : blocks_) {
        if (b.type == BLOCK_SERIAL_OFFSETS) {
            hasSerialOffsets_ = true;
            FindSerialNumberOffsets();
            break;
        }
    }
    return result;
}

bool BirdFile::DecompressData(const uint8_t* source, size_t length)
{
    uint64_t capacity = uint64_t(length) * 8;
    if (capacity > MAX_PAYLOAD)
        capacity = MAX_PAYLOAD;
    blocks_.clear();
    blockCount_ = 0;
    payloadSize_ = 0;
    payload_.reset(new (std::nothrow) uint8_t[capacity ? capacity : 1]);
    if (!payload_) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", Z_MEM_ERROR);
        return false;
    }
    uLongf outLength = uLongf(capacity);
    int rc = uncompress(payload_.get(), &outLength, source, uLong(length));
    if (rc != Z_OK) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", rc);
        return false;
    }
    payloadSize_ = uint32_t(outLength);
    return true;
}

bool BirdFile::ScanBlocks(const uint8_t* payload, size_t length)
{
    blockCount_ = 0;
    blocks_.clear();
    if (!payload || length < 4) {
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
                 int(length) - 4);
        return false;
    }
    uint32_t declared = GetInt(payload);
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File reports %d blocks\n", int(declared));
    Log::log(DEBUG_BirdFile, "BIRDFILE: Bird file objects:\n");
    Log::log(DEBUG_BirdFile, "BIRDFILE: \t\tType Flags Length\n");

    // Block data is handed out as writable pointers into our own buffer.
    uint8_t* at = const_cast<uint8_t*>(payload) + 4;
    size_t remaining = length - 4;
    while (remaining > 4) {
        uint32_t blockLength = GetInt(at + 1);
        if (uint64_t(blockLength) > remaining - 5)
            break; // data would run past the payload
        BirdBlock block;
        block.type = at[0] & BIRD_FILE_TYPE_MASK;
        block.flags = uint8_t((at[0] & BIRD_FILE_FLAG_MASK) >> 5);
        block.length = blockLength;
        block.data = at + 5;
        if ((block.type == BLOCK_LOADER || block.type == BLOCK_FIRMWARE) && blockLength >= 4)
            block.address = GetInt(block.data);
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %d\n", block.type, block.flags,
                 int(blockLength));
        if (block.type == BLOCK_IDENTITY && Log::IsActive(DEBUG_BirdFile)) {
            char fields[IDENTITY_SIZE];
            std::memset(fields, ' ', sizeof fields);
            std::memcpy(fields, block.data, blockLength < IDENTITY_SIZE ? blockLength : IDENTITY_SIZE);
            for (size_t f = 0; f < 4; ++f)
                Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.16s]\n", fields + f * FIELD_SIZE);
        }
        ++blockCount_;
        blocks_.push_back(block);
        at += 5 + size_t(blockLength);
        remaining -= 5 + size_t(blockLength);
    }

    bool result = true;
    if (remaining >= 4) {
        fileChecksum_ = GetInt(at);
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File checksum %08X\n", fileChecksum_);
    }
    if (remaining != 4) {
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
                 int(remaining) - 4);
        result = false;
    }
    if (blockCount_ != declared) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n",
                 int(blockCount_), int(declared));
        return false;
    }
    return result;
}

std::vector<BirdBlock> BirdFile::FindBlocks(uint8_t type) const
{
    std::vector<BirdBlock> found;
    for (const BirdBlock& b : blocks_)
        if (b.type == type)
            found.push_back(b);
    return found;
}

bool BirdFile::FindSerialNumberOffsets()
{
    if (blocks_.empty())
        return false;
    for (const BirdBlock& b : blocks_) {
        if (b.type != BLOCK_SERIAL_OFFSETS)
            continue;
        // A block too short for both addresses gives neither: a generic image
        // whose serial number cannot be placed must not be patched anywhere.
        if (b.length < 8) {
            serialAddress_ = 0;
            descriptorAddress_ = 0;
            Log::log(DEBUG_BirdFile, "BIRDFILE: Offsets block too short (%u bytes)\n", b.length);
            return false;
        }
        serialAddress_ = GetInt(b.data);
        descriptorAddress_ = GetInt(b.data + 4);
        Log::log(DEBUG_BirdFile, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n",
                 int(serialAddress_), int(descriptorAddress_));
        return true;
    }
    return false;
}

bool BirdFile::ReplaceSerialNumber(uint32_t serial)
{
    char text[9];
    std::snprintf(text, sizeof text, "%08X", serial);
    bool result = false;
    const uint64_t s = serialAddress_;
    const uint64_t d = descriptorAddress_;
    for (const BirdBlock& b : blocks_) {
        if (b.type != BLOCK_FIRMWARE || !b.HasImage())
            continue;
        uint8_t* image = b.image();
        const uint64_t start = b.address;
        const uint64_t end = start + b.imageLength();
        if (s != 0) {
            if (start <= s && s + 4 <= end) {
                uint8_t* p = image + (s - start);
                uint32_t old = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
                               uint32_t(p[3]) << 24;
                Log::log(DEBUG_BirdFile, "BIRDFILE: updating serial number from %08X ==> %08X\n",
                         old, serial);
                p[0] = uint8_t(serial);
                p[1] = uint8_t(serial >> 8);
                p[2] = uint8_t(serial >> 16);
                p[3] = uint8_t(serial >> 24);
            }
            result = true;
        }
        if (d != 0 && start <= d && d + 16 <= end) {
            uint8_t* p = image + (d - start);
            for (int i = 0; i < 8; ++i)
                p[2 * i] = uint8_t(text[i]);
            result = true;
        }
    }
    return result;
}

bool BirdFile::DecodeFirmwareBlocks(const uint32_t key[4])
{
    uint8_t k[16];
    for (int w = 0; w < 4; ++w)
        for (int i = 0; i < 4; ++i)
            k[w * 4 + i] = uint8_t(key[w] >> (24 - 8 * i));
    for (const BirdBlock& b : blocks_) {
        if (b.type != BLOCK_FIRMWARE || !b.HasImage())
            continue;
        uint8_t* image = b.image();
        uint8_t chain = 0;
        for (uint32_t i = 0; i < b.imageLength(); ++i) {
            uint8_t plain = uint8_t(image[i] ^ k[i & 15] ^ chain);
            image[i] = plain;
            chain = plain;
        }
    }
    return true;
}

bool BirdFile::ReplaceVectorChecksum()
{
    for (const BirdBlock& b : blocks_) {
        if (b.type != BLOCK_FIRMWARE || b.address != 0 || b.imageLength() < 32)
            continue;
        uint8_t* image = b.image();
        auto word = [&](int i) {
            const uint8_t* p = image + 4 * i;
            return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
                   uint32_t(p[3]) << 24;
        };
        uint32_t sum = 0;
        for (int i = 0; i < 7; ++i)
            sum += word(i);
        uint32_t old = word(7);
        uint32_t value = 0u - sum;
        Log::log(DEBUG_BirdFile, "BIRDFILE: updating vector checksum from %08X ==> %08X\n", old,
                 value);
        uint8_t* p = image + 28;
        p[0] = uint8_t(value);
        p[1] = uint8_t(value >> 8);
        p[2] = uint8_t(value >> 16);
        p[3] = uint8_t(value >> 24);
    }
    return true;
}

bool BirdFile::identity(char out[64]) const
{
    for (const BirdBlock& b : blocks_) {
        if (b.type != BLOCK_IDENTITY)
            continue;
        std::memset(out, ' ', IDENTITY_SIZE);
        std::memcpy(out, b.data, b.length < IDENTITY_SIZE ? b.length : IDENTITY_SIZE);
        return true;
    }
    return false;
}

bool BirdFile::ValidateModel(const char* name) const
{
    char id[IDENTITY_SIZE];
    if (!name || !identity(id))
        return false;
    char field[FIELD_SIZE + 1];
    std::memcpy(field, id + 48, FIELD_SIZE);
    field[FIELD_SIZE] = '\0';
    size_t n = std::strlen(field);
    while (n > 0 && field[n - 1] == ' ')
        field[--n] = '\0';
    size_t want = std::strlen(name);
    if (want > FIELD_SIZE || std::strncmp(field, name, want) != 0)
        return false;
    Log::log(DEBUG_BirdFile, "Model matches model number ([%s] == [%s])\n", field, name);
    return true;
}

uint32_t BirdFile::GetSerialNumber() const
{
    char id[IDENTITY_SIZE];
    if (!identity(id))
        return 0;
    uint32_t serial = 0;
    for (size_t i = 32; i < 40 && isHex(id[i]); ++i)
        serial = (serial << 4) | hexValue(id[i]);
    return serial;
}

std::string BirdFile::GetVersion() const
{
    char id[IDENTITY_SIZE];
    if (!identity(id))
        return "";
    std::string version;
    for (size_t i = 16; i < 31 && id[i] != ' ' && id[i] != '\0'; ++i)
        version += id[i];
    return version;
}

uint32_t BirdFile::GetBuild() const
{
    char id[IDENTITY_SIZE];
    if (!identity(id))
        return 0;
    size_t i = 0;
    while (i < 15 && id[i] == ' ')
        ++i;
    uint64_t build = 0;
    for (; i < 15 && id[i] >= '0' && id[i] <= '9'; ++i)
        build = build * 10 + uint64_t(id[i] - '0');
    // Fifteen digits can exceed 32 bits; such a build is not one we can name.
    return build > 0xFFFFFFFFu ? 0 : uint32_t(build);
}

bool BirdFile::VerifyFile(const std::string& path)
{
    aFile* file = aFile_Open(path.c_str(), 0);
    if (!file) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", path.c_str());
        return false;
    }
    uint8_t header[HEADER_SIZE];
    size_t got = 0;
    aErr err = aFile_Read(file, header, sizeof header, &got);
    bool ok = err == aErrNone && got == HEADER_SIZE && std::memcmp(header, "bird", 4) == 0 &&
              header[4] != 0 && header[5] != 0;
    aFile_Close(&file);
    return ok;
}
