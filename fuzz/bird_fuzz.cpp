// Fuzz harness for BIRD firmware packages. Each input is loaded as a whole
// file through BirdFile::LoadFromMemory (the path the file loader takes) and,
// separately, scanned as a decompressed payload from an exactly sized copy,
// so that a read past any declared length reaches AddressSanitizer. Every
// lookup and patch then runs on what was parsed.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "app/Log.h"
#include "updater/BirdFile.h"

namespace {

void checkInside(const BirdFile& f, const uint8_t* begin, size_t size)
{
    for (const BirdBlock& b : f.Blocks())
        if (b.data < begin || b.data + b.length > begin + size)
            std::abort();
}

void exercise(BirdFile& f)
{
    f.GetBuild();
    f.GetVersion();
    f.GetSerialNumber();
    f.ValidateModel("Zorbel");
    f.ValidateModel("");
    f.FindBlocks(BLOCK_FIRMWARE);
    const uint32_t key[4] = {0x01234567, 0x89ABCDEF, 0xFEDCBA98, 0x76543210};
    f.DecodeFirmwareBlocks(key);
    f.ReplaceSerialNumber(0x40F5849A);
    f.ReplaceVectorChecksum();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Traces on, so that their formatting of block contents is fuzzed too.
    Log::SetOutput(std::fopen("/dev/null", "w"));
    Log::ActivatePackage(DEBUG_BirdFile);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    BirdFile whole;
    if (whole.LoadFromMemory(data, size)) {
        checkInside(whole, whole.Payload(), whole.PayloadSize());
        // Rescan the payload from a buffer of exactly its size.
        std::vector<uint8_t> exact(whole.Payload(), whole.Payload() + whole.PayloadSize());
        BirdFile rescanned;
        rescanned.ScanBlocks(exact.data(), exact.size());
        rescanned.FindSerialNumberOffsets();
        checkInside(rescanned, exact.data(), exact.size());
        exercise(rescanned);
    }
    exercise(whole);

    std::vector<uint8_t> payload(data, data + size);
    BirdFile raw;
    raw.ScanBlocks(payload.data(), payload.size());
    raw.FindSerialNumberOffsets();
    checkInside(raw, payload.data(), payload.size());
    exercise(raw);
    return 0;
}
