// Recovery of an LPC17xx module through the real command line: the Updater
// executable talks to a simulated ISP boot ROM on a pseudo-terminal and to
// the reference update server on 127.0.0.1. -N reads the chip's fingerprint;
// -U -t RECOVER asks the server which module and build the chip belongs to,
// downloads the scrambled firmware, unscrambles it with the fingerprint and
// writes it into the simulated flash. Neither touches USB or TCP/IP discovery.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "../server/ReferenceServer.h"
#include "sim/lpc/LpcPtyServer.h"
#include "tools/birdpack/BirdWriter.h"

namespace {

using birdpack::BirdWriter;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kSerial = 0x0BADCAFE;
constexpr uint32_t kBuild = 4711;
constexpr uint32_t kFirmwareAddress = 0x10000; // sector 16

const lpcsim::LpcConfig& Chip()
{
    static const lpcsim::LpcConfig config = [] {
        lpcsim::LpcConfig c;
        c.serial = {0x11223344u, 0x55667788u, 0x99AABBCCu, 0xDDEEFF00u};
        return c;
    }();
    return config;
}

std::array<uint32_t, 4> Key()
{
    return {Chip().serial[0], Chip().serial[1], Chip().serial[2], Chip().serial[3]};
}

bool Has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

class LpcRecovery : public ::testing::Test {
  protected:
    TempDir dir;
    TempDir tree;

    void SetUp() override { std::filesystem::create_directories(tree / "0BADCAFE"); }

    std::unique_ptr<lpcsim::LpcPtyServer> StartChip(const lpcsim::LpcConfig& config)
    {
        auto chip = std::make_unique<lpcsim::LpcPtyServer>(config);
        EXPECT_TRUE(chip->start()) << chip->error();
        return chip;
    }
    ProcessResult Run(std::vector<std::string> args, const std::string& server = "")
    {
        args.insert(args.begin(),
                    {UPDATER_BINARY_DIR "/Updater", "-i", dir.path(), "-u", server.empty() ? ClosedPortUrl() : server});
        return RunProcess(args, {}, 90);
    }
    // The server knows the chip as kSerial with recovery build kBuild.
    void ServeRecovery(const BirdWriter& writer)
    {
        ASSERT_TRUE(writer.Write(tree / "0BADCAFE/4711.bird"));
        std::ofstream(tree / "recovery") << "11223344 55667788 99AABBCC DDEEFF00 0BADCAFE 4711\n";
    }
    static std::vector<std::string> Writes(lpcsim::LpcPtyServer& chip)
    {
        std::vector<std::string> writes;
        chip.withRom([&](lpcsim::LpcBootRom& rom) {
            for (const std::string& c : rom.commands())
                if (c.rfind("W ", 0) == 0 || c.rfind("C ", 0) == 0)
                    writes.push_back(c);
        });
        return writes;
    }
};

TEST_F(LpcRecovery, FingerprintPrintsTheFourDeviceWords)
{
    auto chip = StartChip(Chip());
    const ProcessResult r = Run({"-N", "-s", chip->slavePath()});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "[ 11223344 55667788 99AABBCC DDEEFF00 ]\n")) << r.out;
    // The i.MX path (which would look on USB) never ran: no store directory
    // for the default recovery serial was made or downloaded.
    EXPECT_FALSE(std::filesystem::exists(dir / "updater/BDDEADFA"));
}

// The server names module and build from the fingerprint; the scrambled file
// is downloaded, unscrambled and written in pieces of at most 4096 bytes,
// each copied to flash with a length the boot ROM accepts.
TEST_F(LpcRecovery, ServerBuildIsUnscrambledAndWrittenToFlash)
{
    const Bytes plain = BirdWriter::SyntheticImage(10000, 7);
    BirdWriter writer;
    writer.AddFirmware(kFirmwareAddress, plain);
    writer.AddIdentity(kBuild, "2.3.4", kSerial, "Zorbel");
    writer.Scramble(Key());
    ServeRecovery(writer);
    ReferenceServer server(tree.path());
    auto chip = StartChip(Chip());

    const ProcessResult r = Run({"-U", "-t", "RECOVER", "-s", chip->slavePath()}, server.url());
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "Recovering firmware with build: 4711\nDownloading firmware build 4711\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "Transferring firmware block 1 of 1, 10000 bytes\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "Transferred 1 blocks, 10000 total bytes\nRebooting Device\nUpdate time: ")) << r.out;

    const Bytes flash = chip->flash();
    ASSERT_GE(flash.size(), kFirmwareAddress + plain.size());
    EXPECT_TRUE(std::equal(plain.begin(), plain.end(), flash.begin() + kFirmwareAddress));
    const std::vector<std::string> expected = {
        "W 268439552 4096", "C 65536 268439552 4096", "W 268439552 4096",
        "C 69632 268439552 4096", "W 268439552 1808", "C 73728 268439552 4096",
    };
    EXPECT_EQ(Writes(*chip), expected);
}

// A final block of four image bytes closes the file and is not written; it
// is not counted among the blocks either.
TEST_F(LpcRecovery, GivenFileWithClosingMarkerBlock)
{
    const Bytes plain = BirdWriter::SyntheticImage(4000, 9);
    BirdWriter writer;
    writer.AddFirmware(kFirmwareAddress, plain);
    writer.AddFirmware(0x20000, Bytes{1, 2, 3, 4});
    writer.AddIdentity(kBuild, "2.3.4", kSerial, "Zorbel");
    writer.Scramble(Key());
    const std::string file = dir / "recovery.bird";
    ASSERT_TRUE(writer.Write(file));
    auto chip = StartChip(Chip());

    const ProcessResult r = Run({"-U", "-t", "RECOVER", "-s", chip->slavePath(), "-d", "0BADCAFE", "-f", file});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "Transferring firmware block 1 of 1, 4000 bytes\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "Transferred 1 blocks, 4000 total bytes\n")) << r.out;
    const Bytes flash = chip->flash();
    ASSERT_GE(flash.size(), kFirmwareAddress + plain.size());
    EXPECT_TRUE(std::equal(plain.begin(), plain.end(), flash.begin() + kFirmwareAddress));
    EXPECT_EQ(Writes(*chip), (std::vector<std::string>{"W 268439552 4000", "C 65536 268439552 4096"}));
}

// Every failure ends in bounded time with exit status 1 and its message, and
// nothing is written to the flash.
TEST_F(LpcRecovery, FailuresEndWithTheirMessage)
{
    BirdWriter generic;
    generic.AddFirmware(kFirmwareAddress, BirdWriter::SyntheticImage(2000, 3));
    generic.AddSerialOffsets(kFirmwareAddress + 0x100, 0);
    generic.AddIdentity(kBuild, "2.3.4", 0, "Zorbel");
    const std::string genericFile = dir / "generic.bird";
    ASSERT_TRUE(generic.Write(genericFile));
    BirdWriter empty;
    empty.AddIdentity(kBuild, "2.3.4", kSerial, "Zorbel");
    const std::string emptyFile = dir / "empty.bird";
    ASSERT_TRUE(empty.Write(emptyFile));
    // A server that knows the module but not the chip.
    ASSERT_TRUE(generic.Write(tree / "0BADCAFE/4711.bird"));
    ReferenceServer server(tree.path());

    lpcsim::LpcConfig silent = Chip();
    silent.faults.silent = true;
    struct Case {
        const char* what;
        bool chipAnswers;
        std::vector<std::string> args;
        bool withServer;
        std::string error;
    };
    const Case cases[] = {
        {"generic file", true, {"-U", "-t", "RECOVER", "-d", "0BADCAFE", "-f", genericFile}, false,
         "Updater does not support offline recovery\n"},
        // The flash is erased whole before writing: with nothing to write
        // the chip is left alone.
        {"file without firmware", true, {"-U", "-t", "RECOVER", "-d", "0BADCAFE", "-f", emptyFile}, false,
         "No firmware to write in " + emptyFile + "\n"},
        {"chip unknown to the server", true, {"-U", "-t", "RECOVER"}, true,
         "Failed to retrieve recovery information from Veltrane server\n"},
        {"no chip answering, recovery", false, {"-U", "-t", "RECOVER"}, false, "Could not get Device Identifier\n"},
        {"no chip answering, fingerprint", false, {"-N"}, false, "Got no response from chip\n"},
        {"file without serial number", false, {"-N", "-f", genericFile}, false,
         "Add serial number or remove the bird filename to use a default recovery image.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto chip = StartChip(c.chipAnswers ? Chip() : silent);
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-s", chip->slavePath()});
        const auto start = std::chrono::steady_clock::now();
        const ProcessResult r = Run(args, c.withServer ? server.url() : "");
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
        EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
        EXPECT_TRUE(Has(r.err, c.error)) << r.err;
        chip->withRom([](lpcsim::LpcBootRom& rom) {
            for (const std::string& command : rom.commands())
                EXPECT_TRUE(command[0] != 'E' && command[0] != 'W' && command[0] != 'C') << command;
        });
    }
}

} // namespace
