// BirdFile: loading, malformed packages, lookups and in-memory patches, on
// packages made with the birdpack writer.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <stdexcept>

#include "StoreTestSupport.h"
#include "tools/birdpack/BirdWriter.h"
#include "updater/BirdFile.h"

using namespace storetest;
using birdpack::BirdWriter;

namespace {

Bytes pattern(size_t size, uint8_t start)
{
    Bytes b(size);
    for (size_t i = 0; i < size; ++i)
        b[i] = uint8_t(start + i);
    return b;
}

std::string save(const TempDir& dir, const std::string& name, const Bytes& bytes)
{
    std::string path = dir / name;
    writeBytes(path, bytes.data(), bytes.size());
    return path;
}

BirdFile loadBytes(const Bytes& bytes)
{
    BirdFile f;
    EXPECT_TRUE(f.LoadFromMemory(bytes.data(), bytes.size()));
    return f;
}

} // namespace

TEST(BirdFileLoad, ReadsEveryBlockWithTypeFlagsAddressAndIdentity)
{
    BirdWriter w;
    w.AddIdentity(4711, "2.12.2", 0x40F5849A, "Zorbel");
    w.AddLoader(0x10000000, pattern(40, 0x10), 5);
    w.AddFirmware(0x00004000, pattern(300, 0x80), 3);
    w.AddSerialOffsets(0x4010, 0x4100);
    w.AddLoaderEntry(0x20000400);
    w.AddRaw(9, 7, Bytes{1, 2, 3});
    w.SetChecksum(0xCAFEF00D);
    TempDir dir;
    std::string path = save(dir, "4711.bird", w.FileBytes());

    BirdFile f(path);
    EXPECT_EQ(f.Path(), path);
    EXPECT_EQ(f.Signature(), BIRD_FILE_SIGNATURE);
    EXPECT_EQ(f.FormatVersion(), BIRD_FILE_VERSION);
    EXPECT_EQ(f.FileChecksum(), 0xCAFEF00Du);
    ASSERT_EQ(f.BlockCount(), 6u);
    EXPECT_EQ(f.GetBuild(), 4711u);
    EXPECT_EQ(f.GetVersion(), "2.12.2");
    EXPECT_EQ(f.GetSerialNumber(), 0x40F5849Au);
    EXPECT_TRUE(f.ValidateSerialNumber(0x40F5849A));
    EXPECT_FALSE(f.ValidateSerialNumber(0x40F5849B));
    EXPECT_TRUE(f.HasSerialOffsets());
    EXPECT_EQ(f.SerialNumberAddress(), 0x4010u);
    EXPECT_EQ(f.DescriptorAddress(), 0x4100u);

    auto loaders = f.FindBlocks(BLOCK_LOADER);
    ASSERT_EQ(loaders.size(), 1u);
    EXPECT_EQ(loaders[0].flags, 5);
    EXPECT_EQ(loaders[0].length, 44u);
    EXPECT_EQ(loaders[0].address, 0x10000000u);
    EXPECT_EQ(GetInt(loaders[0].data), 0x10000000u);
    EXPECT_EQ(Bytes(loaders[0].image(), loaders[0].image() + loaders[0].imageLength()),
              pattern(40, 0x10));

    auto firmware = f.FindBlocks(BLOCK_FIRMWARE);
    ASSERT_EQ(firmware.size(), 1u);
    EXPECT_EQ(firmware[0].flags, 3);
    EXPECT_EQ(firmware[0].address, 0x4000u);

    auto entry = f.FindBlocks(BLOCK_LOADER_ENTRY);
    ASSERT_EQ(entry.size(), 1u);
    EXPECT_EQ(entry[0].address, 0u) << "only image blocks carry an address word";
    EXPECT_EQ(GetInt(entry[0].data), 0x20000400u);

    auto other = f.FindBlocks(9);
    ASSERT_EQ(other.size(), 1u);
    EXPECT_EQ(other[0].flags, 7);
    EXPECT_EQ(other[0].length, 3u);
    EXPECT_TRUE(f.FindBlocks(3).empty());
}

TEST(BirdFileLoad, SixByteFileFailsToDecompressAndTheConstructorThrows)
{
    TempDir dir;
    const uint8_t header[6] = {'b', 'i', 'r', 'd', 1, 1};
    std::string path = dir / "short.bird";
    writeBytes(path, header, sizeof header);

    TraceCapture trace(DEBUG_BirdFile);
    BirdFile probe;
    EXPECT_FALSE(probe.LoadFromMemory(header, sizeof header));
    EXPECT_EQ(trace.text().rfind("BIRDFILE: Error (-", 0), 0u) << trace.text();
    EXPECT_NE(trace.text().find(") decompressing bird file.\n"), std::string::npos) << trace.text();
    try {
        BirdFile f(path);
        FAIL() << "loaded a file without payload";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Failed to load bird data");
    }
}

TEST(BirdFileLoad, MissingAndTooShortFilesDoNotLoad)
{
    TempDir dir;
    EXPECT_THROW(BirdFile(dir / "absent.bird"), std::runtime_error);
    std::string five = dir / "five.bird";
    writeText(five, "bird\x01");
    TraceCapture trace(DEBUG_BirdFile);
    EXPECT_THROW(BirdFile{five}, std::runtime_error);
    EXPECT_NE(trace.text().find("read 5 bytes of 5 byte file"), std::string::npos) << trace.text();
}

TEST(BirdFileLoad, ForeignSignatureLoadsButFailsTheHeaderCheck)
{
    BirdWriter w;
    w.SetSignature("BIRD");
    w.AddIdentity(12, "1.0.0", 1, "Zorbel");
    TempDir dir;
    std::string path = save(dir, "foreign.bird", w.FileBytes());
    BirdFile f(path);
    EXPECT_EQ(f.GetBuild(), 12u);
    EXPECT_EQ(f.Signature(), 0x42495244u);
    EXPECT_FALSE(BirdFile::VerifyFile(path));
}

TEST(BirdFileLoad, VerifyFileChecksSignatureAndBothVersionBytes)
{
    struct Case {
        std::string bytes;
        bool ok;
    };
    const Case cases[] = {
        {std::string("bird\x01\x01", 6), true},
        {std::string("bird\x02\x07", 6), true},
        {std::string("bird\x01\x00", 6), false},
        {std::string("bird\x00\x01", 6), false},
        {std::string("birx\x01\x01", 6), false},
        {std::string("bird\x01", 5), false},
        {std::string(""), false},
    };
    TempDir dir;
    for (const Case& c : cases) {
        std::string path = dir / "v.bird";
        writeText(path, c.bytes + "tail");
        if (c.bytes.size() < 6)
            writeText(path, c.bytes);
        EXPECT_EQ(BirdFile::VerifyFile(path), c.ok) << "bytes of length " << c.bytes.size();
    }
    EXPECT_FALSE(BirdFile::VerifyFile(dir / "absent.bird"));
}

TEST(BirdFileLoad, DeclaredCountAboveParsedCountIsTracedButLoads)
{
    BirdWriter w;
    w.AddIdentity(1, "1.0.0", 1, "Zorbel");
    w.AddFirmware(0, pattern(16, 0));
    w.SetDeclaredCount(3);
    TraceCapture trace(DEBUG_BirdFile);
    BirdFile f = loadBytes(w.FileBytes());
    EXPECT_EQ(f.BlockCount(), 2u);
    EXPECT_NE(trace.text().find("Block parsing mismatch in number of blocks. (2 != 3)"),
              std::string::npos)
        << trace.text();
}

TEST(BirdFileLoad, PayloadOverEightTimesTheStreamFailsWithBufferError)
{
    BirdWriter w;
    w.AddFirmware(0, Bytes(64 * 1024, 0));
    Bytes file = w.FileBytes();
    ASSERT_GT(w.Payload().size(), 8 * (file.size() - 6));
    TraceCapture trace(DEBUG_BirdFile);
    BirdFile f;
    EXPECT_FALSE(f.LoadFromMemory(file.data(), file.size()));
    EXPECT_EQ(f.BlockCount(), 0u);
    EXPECT_NE(trace.text().find("Error (-5) decompressing"), std::string::npos) << trace.text();
}

TEST(BirdFileLoad, MoveLeavesTheSourceEmpty)
{
    BirdWriter w;
    w.AddIdentity(77, "1.0.0", 1, "Zorbel");
    BirdFile a = loadBytes(w.FileBytes());
    BirdFile b;
    b = std::move(a);
    EXPECT_EQ(b.GetBuild(), 77u);
    EXPECT_EQ(a.BlockCount(), 0u);
    EXPECT_EQ(a.Payload(), nullptr);
    EXPECT_EQ(a.GetBuild(), 0u);
}

// Payloads cut or lying about their lengths: the scan must stop inside the
// payload (the buffers are exactly sized, so AddressSanitizer sees any
// read past them) and keep only whole blocks.
TEST(BirdFileScan, DeclaredLengthsNeverLeadPastThePayload)
{
    struct Case {
        const char* what;
        Bytes payload;
        uint32_t blocks;
        bool ok;
    };
    const Case cases[] = {
        {"empty", {}, 0, false},
        {"three bytes", {0, 0, 0}, 0, false},
        {"count only", {0, 0, 0, 0}, 0, false},
        {"count and checksum", {0, 0, 0, 0, 1, 2, 3, 4}, 0, true},
        {"header cut", {0, 0, 0, 1, 0x01, 0, 0, 0}, 0, false},
        {"length past end", {0, 0, 0, 1, 0x01, 0, 0, 0, 9, 1, 2, 3, 4}, 0, false},
        {"huge length", {0, 0, 0, 1, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3, 4}, 0, false},
        {"no checksum", {0, 0, 0, 1, 0x04, 0, 0, 0, 1, 'x'}, 1, false},
        {"short image", {0, 0, 0, 1, 0x01, 0, 0, 0, 2, 0xAA, 0xBB, 9, 9, 9, 9}, 1, true},
        {"trailing bytes", {0, 0, 0, 0, 1, 2, 3, 4, 5}, 0, false},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> exact(c.payload);
        BirdFile f;
        bool ok = f.ScanBlocks(exact.empty() ? nullptr : exact.data(), exact.size());
        EXPECT_EQ(ok, c.ok) << c.what;
        EXPECT_EQ(f.BlockCount(), c.blocks) << c.what;
        for (const BirdBlock& b : f.Blocks()) {
            EXPECT_LE(b.data + b.length, exact.data() + exact.size()) << c.what;
            if (b.type == BLOCK_FIRMWARE && b.length < 4) {
                EXPECT_EQ(b.address, 0u) << c.what;
                EXPECT_EQ(b.imageLength(), 0u) << c.what;
            }
        }
        // Patches on what was parsed stay inside the blocks too.
        const uint32_t key[4] = {1, 2, 3, 4};
        f.DecodeFirmwareBlocks(key);
        f.ReplaceSerialNumber(0x12345678);
        f.ReplaceVectorChecksum();
    }
}

TEST(BirdFileScan, ShortOffsetAndIdentityBlocksAreReadOnlyAsFarAsTheyGo)
{
    BirdWriter w;
    w.AddFirmware(0, pattern(64, 0));
    w.AddRaw(BLOCK_SERIAL_OFFSETS, 0, Bytes{0, 0, 0, 8});        // serial address only
    w.AddRaw(BLOCK_IDENTITY, 0, Bytes{'4', '2', ' ', ' ', ' '}); // build field begun
    Bytes payload = w.Payload();
    BirdFile f;
    f.ScanBlocks(payload.data(), payload.size());
    EXPECT_FALSE(f.FindSerialNumberOffsets());
    EXPECT_EQ(f.SerialNumberAddress(), 0u);
    EXPECT_EQ(f.GetBuild(), 42u);
    EXPECT_EQ(f.GetVersion(), "");
    EXPECT_EQ(f.GetSerialNumber(), 0u);
    EXPECT_TRUE(f.ValidateModel(""));
    EXPECT_FALSE(f.ValidateModel("Zorbel"));

    // Loaded whole, the short block still marks the file as a generic image,
    // and with no usable address the serial number cannot be placed: an
    // update then refuses the file instead of sending it unpatched.
    BirdFile g = loadBytes(w.FileBytes());
    EXPECT_TRUE(g.HasSerialOffsets());
    Bytes before(g.Payload(), g.Payload() + g.PayloadSize());
    EXPECT_FALSE(g.ReplaceSerialNumber(0xABCDEF01));
    EXPECT_EQ(Bytes(g.Payload(), g.Payload() + g.PayloadSize()), before);
}

TEST(BirdFileIdentity, FieldsAreReadAsTheirFormatsSay)
{
    struct Case {
        std::string build, version, serial, model;
        uint32_t wantBuild;
        std::string wantVersion;
        uint32_t wantSerial;
    };
    const Case cases[] = {
        {"123", "1.2.3 beta 4", "40f5849a", "Zorbel", 123, "1.2.3", 0x40F5849A},
        {"  99", "2.0.0", "12G45678", "Zorbel", 99, "2.0.0", 0x12},
        {"4294967295", std::string("3.1\0x", 5), "ABCDEF0123", "Zorbel", 0xFFFFFFFF, "3.1",
         0xABCDEF01},
        {"99999999999", "123456789012345X", "", "Zorbel", 0, "123456789012345", 0},
    };
    for (const Case& c : cases) {
        BirdWriter w;
        w.AddIdentityFields(c.build, c.version, c.serial, c.model);
        BirdFile f = loadBytes(w.FileBytes());
        EXPECT_EQ(f.GetBuild(), c.wantBuild) << c.build;
        EXPECT_EQ(f.GetVersion(), c.wantVersion) << c.version;
        EXPECT_EQ(f.GetSerialNumber(), c.wantSerial) << c.serial;
    }
    BirdWriter none;
    none.AddFirmware(0, pattern(8, 0));
    BirdFile f = loadBytes(none.FileBytes());
    EXPECT_EQ(f.GetBuild(), 0u);
    EXPECT_EQ(f.GetVersion(), "");
    EXPECT_EQ(f.GetSerialNumber(), 0u);
    EXPECT_FALSE(f.ValidateModel(""));
}

TEST(BirdFileIdentity, ValidateModelIsAPrefixTestOnTheTrimmedField)
{
    BirdWriter w;
    w.AddIdentity(1, "1.0.0", 1, "Zorbel");
    BirdFile f = loadBytes(w.FileBytes());
    const std::pair<const char*, bool> cases[] = {
        {"Zorbel", true},  {"Zor", true},     {"", true},
        {"Zorbel ", false}, {"Zorbels", false}, {"zorbel", false},
        {"Zorbel-Extended-Name", false},
    };
    for (const auto& [name, ok] : cases)
        EXPECT_EQ(f.ValidateModel(name), ok) << "'" << name << "'";

    BirdWriter full;
    full.AddIdentity(1, "1.0.0", 1, "ABCDEFGHIJKLMNOP");
    BirdFile g = loadBytes(full.FileBytes());
    EXPECT_TRUE(g.ValidateModel("ABCDEFGHIJKLMNOP"));
    EXPECT_FALSE(g.ValidateModel("ABCDEFGHIJKLMNOPQ"));
}

TEST(BirdFilePatch, SerialNumberGoesIntoTheBlockThatHoldsItAndIntoTheDescriptor)
{
    BirdWriter w;
    w.AddFirmware(0x0000, Bytes(0x100, 0xEE));
    w.AddFirmware(0x1000, Bytes(0x100, 0xEE));
    w.AddSerialOffsets(0x1010, 0x1040);
    BirdFile f = loadBytes(w.FileBytes(0)); // stored: uniform images compress too well
    ASSERT_TRUE(f.HasSerialOffsets());
    EXPECT_TRUE(f.ReplaceSerialNumber(0x40F5849A));

    auto blocks = f.FindBlocks(BLOCK_FIRMWARE);
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(Bytes(blocks[0].image(), blocks[0].image() + 0x100), Bytes(0x100, 0xEE));

    Bytes want(0x100, 0xEE);
    const uint8_t serialLE[4] = {0x9A, 0x84, 0xF5, 0x40};
    std::copy(serialLE, serialLE + 4, want.begin() + 0x10);
    const char* hex = "40F5849A";
    for (int i = 0; i < 8; ++i)
        want[0x40 + 2 * i] = uint8_t(hex[i]);
    EXPECT_EQ(Bytes(blocks[1].image(), blocks[1].image() + 0x100), want);
    EXPECT_EQ(blocks[1].address, 0x1000u) << "address word untouched";
}

TEST(BirdFilePatch, SerialNumberBoundsAndResult)
{
    struct Case {
        const char* what;
        uint32_t serialAddress, descriptorAddress;
        bool result;
        int serialAt;     // image offset written with the serial, -1 none
        int descriptorAt; // image offset of the descriptor text, -1 none
    };
    // One firmware image of 0x40 bytes at 0x100.
    const Case cases[] = {
        {"both zero", 0, 0, false, -1, -1},
        {"serial at last word", 0x13C, 0, true, 0x3C, -1},
        {"serial crossing the end", 0x13E, 0, true, -1, -1},
        {"serial before the image", 0xFE, 0, true, -1, -1},
        {"descriptor fits exactly", 0, 0x130, true, -1, 0x30},
        {"descriptor crossing the end", 0, 0x132, false, -1, -1},
    };
    for (const Case& c : cases) {
        BirdWriter w;
        w.AddFirmware(0x100, Bytes(0x40, 0));
        w.AddSerialOffsets(c.serialAddress, c.descriptorAddress);
        BirdFile f = loadBytes(w.FileBytes());
        EXPECT_EQ(f.ReplaceSerialNumber(0x0A0B0C0D), c.result) << c.what;
        Bytes want(0x40, 0);
        if (c.serialAt >= 0) {
            const uint8_t le[4] = {0x0D, 0x0C, 0x0B, 0x0A};
            std::copy(le, le + 4, want.begin() + c.serialAt);
        }
        if (c.descriptorAt >= 0)
            for (int i = 0; i < 8; ++i)
                want[size_t(c.descriptorAt + 2 * i)] = uint8_t("0A0B0C0D"[i]);
        BirdBlock b = f.FindBlocks(BLOCK_FIRMWARE)[0];
        EXPECT_EQ(Bytes(b.image(), b.image() + b.imageLength()), want) << c.what;
    }
}

TEST(BirdFilePatch, DecodeUndoesTheChainedKeyPerBlock)
{
    // Key bytes 00 01 02 ... 0F. A zero scrambled image decodes to
    // p[i] = key[i % 16] ^ p[i - 1], starting again at key byte 0 with a zero
    // chain in every block.
    const uint32_t key[4] = {0x00010203, 0x04050607, 0x08090A0B, 0x0C0D0E0F};
    const Bytes want = {0, 1, 3, 0, 4, 1, 7, 0, 8, 1, 11, 0, 12, 1, 15, 0, 0, 1, 3};
    BirdWriter w;
    w.AddLoader(0x2000, Bytes(19, 0));
    w.AddFirmware(0x3000, Bytes(19, 0));
    w.AddFirmware(0x4000, Bytes(19, 0));
    BirdFile f = loadBytes(w.FileBytes());
    EXPECT_TRUE(f.DecodeFirmwareBlocks(key));
    for (const BirdBlock& b : f.FindBlocks(BLOCK_FIRMWARE)) {
        EXPECT_EQ(Bytes(b.image(), b.image() + b.imageLength()), want);
        EXPECT_EQ(GetInt(b.data), b.address) << "address word untouched";
    }
    BirdBlock loader = f.FindBlocks(BLOCK_LOADER)[0];
    EXPECT_EQ(Bytes(loader.image(), loader.image() + loader.imageLength()), Bytes(19, 0));
}

TEST(BirdFilePatch, DecodeRestoresImagesScrambledForTheChip)
{
    const std::array<uint32_t, 4> key = {0x8BADF00D, 0x12345678, 0xCAFEBABE, 0x0BADC0DE};
    Bytes image1 = BirdWriter::SyntheticImage(1000, 7);
    Bytes image2 = BirdWriter::SyntheticImage(33, 8);
    BirdWriter w;
    w.AddLoader(0x20000000, pattern(50, 1));
    w.AddFirmware(0x60000000, image1);
    w.AddFirmware(0x60010000, image2);
    w.Scramble(key);
    BirdFile f = loadBytes(w.FileBytes());
    auto fw = f.FindBlocks(BLOCK_FIRMWARE);
    ASSERT_EQ(fw.size(), 2u);
    EXPECT_NE(Bytes(fw[0].image(), fw[0].image() + fw[0].imageLength()), image1);
    EXPECT_TRUE(f.DecodeFirmwareBlocks(key.data()));
    EXPECT_EQ(Bytes(fw[0].image(), fw[0].image() + fw[0].imageLength()), image1);
    EXPECT_EQ(Bytes(fw[1].image(), fw[1].image() + fw[1].imageLength()), image2);
}

TEST(BirdFilePatch, VectorChecksumMakesTheFirstEightWordsSumToZero)
{
    Bytes image = pattern(64, 0x31);
    BirdWriter w;
    w.AddFirmware(0, image);
    w.AddFirmware(0x8000, image);
    BirdFile f = loadBytes(w.FileBytes());
    EXPECT_TRUE(f.ReplaceVectorChecksum());
    auto fw = f.FindBlocks(BLOCK_FIRMWARE);
    uint32_t sum = 0;
    for (int i = 0; i < 8; ++i) {
        const uint8_t* p = fw[0].image() + 4 * i;
        sum += uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    }
    EXPECT_EQ(sum, 0u);
    EXPECT_EQ(Bytes(fw[0].image() + 32, fw[0].image() + 64), Bytes(image.begin() + 32, image.end()));
    EXPECT_EQ(Bytes(fw[1].image(), fw[1].image() + 64), image) << "only the image at address 0";
}
