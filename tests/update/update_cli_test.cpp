// Firmware update through the real command line (Updater -U) against
// simulated modules reached over TCP/IP, with the reference update server.
// Runs only inside the private network namespaces of tools/netns-run (the
// update falls back from USB to TCP/IP discovery); elsewhere it exits 77.
// After every successful update the module's flash is compared byte for byte
// with the firmware image of the BIRD file, serial number patched in.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "../server/ReferenceServer.h"
#include "../app/RecordingDisplay.h"
#include "SimulatedModules.h"
#include "updater/Updater.h"
#include "tools/birdpack/BirdWriter.h"
#include "updater/KeyValueStore.h"

namespace {

using birdpack::BirdWriter;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kSerial = 0x40F5849A;
constexpr const char* kSerialText = "40F5849A";
constexpr uint32_t kLoaderAddress = 0x10000000;
constexpr uint32_t kFirmwareAddress = 0x4000;
constexpr uint32_t kSerialOffset = 0x10;
constexpr uint32_t kDescriptorOffset = 0x100;
constexpr size_t kFirmwareSize = 20000;

std::string Hex(uint32_t v)
{
    char text[16];
    std::snprintf(text, sizeof text, "%08X", v);
    return text;
}

// One BIRD package: a loader, one firmware block and the identity. A generic
// package carries serial-number offsets instead of a module's serial.
struct Package {
    uint32_t build;
    Bytes firmware;
    BirdWriter writer;

    Package(uint32_t build, bool generic, uint32_t serial = kSerial, const std::string& model = "Zorbel")
        : build(build), firmware(BirdWriter::SyntheticImage(kFirmwareSize, build))
    {
        writer.AddLoader(kLoaderAddress, BirdWriter::SyntheticImage(700, build + 1));
        writer.AddFirmware(kFirmwareAddress, firmware);
        if (generic)
            writer.AddSerialOffsets(kFirmwareAddress + kSerialOffset, kFirmwareAddress + kDescriptorOffset);
        writer.AddIdentity(build, "2.16." + std::to_string(build % 100), generic ? 0 : serial, model);
    }
    // The image a module must hold after the update: for a generic package
    // the serial as a little-endian word and its hex text in the descriptor.
    Bytes Expected(bool generic, uint32_t serial = kSerial) const
    {
        Bytes image = firmware;
        if (generic) {
            for (int i = 0; i < 4; ++i)
                image[kSerialOffset + i] = static_cast<uint8_t>(serial >> (8 * i));
            const std::string hex = Hex(serial);
            for (int i = 0; i < 8; ++i)
                image[kDescriptorOffset + 2 * i] = static_cast<uint8_t>(hex[i]);
        }
        return image;
    }
    std::string Write(const std::string& path) const
    {
        if (!writer.Write(path))
            throw std::runtime_error("cannot write " + path);
        return path;
    }
};

class UpdateCli : public ::testing::Test {
  protected:
    TempDir dir;
    std::string store = dir / "store";
    std::string flash = dir / "flash.bin";
    std::string simLog = dir / "module.log";

    // A module on 10.77.0.2 answering discovery, running build 1000 and
    // restarting quickly; extra settings are appended.
    std::vector<std::string> Module(const std::vector<std::string>& extra = {}) const
    {
        std::vector<std::string> args = {"--listen", "10.77.0.2", "--discovery", "1", "--serial", kSerialText,
                                         "--model", "19", "--build", "1000", "--restart-ms", "200",
                                         "--block-size", "1024", "--flash-dump", flash, "--log", simLog};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }
    ProcessResult Run(std::vector<std::string> args, double timeoutSeconds = 120, bool onTerminal = false)
    {
        args.insert(args.begin(), {UPDATER_BINARY_DIR "/Updater", "-i", dir.path()});
        return RunProcess(args, {}, timeoutSeconds, onTerminal);
    }
    std::string DeviceDir() const { return dir / ("updater/" + std::string(kSerialText)); }
    void Store(const Package& p) const
    {
        std::filesystem::create_directories(DeviceDir());
        p.Write(DeviceDir() + "/" + std::to_string(p.build) + ".bird");
    }
    void Settings(const std::string& text) const
    {
        std::filesystem::create_directories(DeviceDir());
        std::ofstream(DeviceDir() + "/.settings") << text;
    }
    std::string Setting(const std::string& key) const
    {
        KeyValueStore settings((DeviceDir() + "/.settings").c_str());
        return settings.GetString(key, "<none>");
    }
    Bytes Flash(uint32_t address, size_t length) const
    {
        const std::string bytes = ReadFile(flash);
        if (bytes.size() < address + length)
            return {};
        return Bytes(bytes.begin() + address, bytes.begin() + address + length);
    }
    static bool Has(const std::string& text, const std::string& part)
    {
        return text.find(part) != std::string::npos;
    }
};

TEST_F(UpdateCli, GenericFileGoesToTheModuleWithItsSerialNumberAndIsRecorded)
{
    Package p(1001, true);
    const std::string file = p.Write(dir / "generic.bird");
    SimulatedModules modules(Module({"--new-build", "1001"}));

    const ProcessResult r = Run({"-u", ClosedPortUrl(), "-U", "-d", kSerialText, "-f", file});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "Updating from Birdfile: " + file)) << r.out;
    EXPECT_TRUE(Has(r.out, "Transferring loader to device\nTransferring loader block 1 of 1, 704 bytes\n"
                           "Transferred 1 blocks, 704 total bytes\nStarting Load on Device\n"))
        << r.out;
    EXPECT_TRUE(Has(r.out, "Transferring firmware block 1 of 1, 20004 bytes\nTransferred 1 blocks, 20004 total bytes"))
        << r.out;
    EXPECT_TRUE(Has(r.out, "Update time: ")) << r.out;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Flash(kFirmwareAddress, kFirmwareSize), p.Expected(true));
    EXPECT_EQ(Setting("LATEST_TRANSFER"), file);
    EXPECT_NE(Setting("LAST_TRANSFER_DATE"), "<none>");

    // The module now runs the new build.
    const ProcessResult d = Run({"-D", "-t", "TCPIP"}, 30);
    EXPECT_TRUE(Has(d.out, std::string("    ") + kSerialText)) << d.out;
    EXPECT_TRUE(Has(d.out, "(      1001)")) << d.out;
}

TEST_F(UpdateCli, DownloadThenUpdateToTheBuildJustStored)
{
    TempDir tree;
    std::filesystem::create_directories(tree / kSerialText);
    Package old(1001, false), current(1002, true);
    old.Write(tree / (std::string(kSerialText) + "/1001.bird"));
    current.Write(tree / (std::string(kSerialText) + "/1002.bird"));
    ReferenceServer server(tree.path());
    SimulatedModules modules(Module());

    // On a terminal, as a user runs it: the firmware goes with a progress bar.
    const ProcessResult r = Run({"-u", server.url(), "-G", "-U", "-d", kSerialText}, 120, true);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "Updating firmware with build: 1002")) << r.out;
    EXPECT_TRUE(Has(r.out, "] (100% ) ")) << r.out;
    EXPECT_EQ(Flash(kFirmwareAddress, kFirmwareSize), current.Expected(true));
    EXPECT_EQ(Setting("LATEST_DOWNLOAD"), "1002.bird");
    EXPECT_EQ(Setting("LATEST_TRANSFER"), "1002.bird");
}

// Which build an update without -b and -f takes: the server's current one
// when its file is stored, else the last download, else the last transfer.
TEST_F(UpdateCli, BuildChoiceOrder)
{
    TempDir tree;
    std::filesystem::create_directories(tree / kSerialText);
    Package b1(1001, true), b2(1002, true), b3(1003, true);
    for (const Package* p : {&b1, &b2, &b3})
        p->Write(tree / (std::string(kSerialText) + "/" + std::to_string(p->build) + ".bird"));
    ReferenceServer server(tree.path()); // current: 1003
    Store(b1);
    Store(b2);
    SimulatedModules modules(Module());

    struct Case {
        const char* what;
        std::string url;
        std::string settings;
        const Package* expected;
        std::vector<std::string> messages;
    };
    const std::string closed = ClosedPortUrl();
    const std::vector<Case> cases = {
        {"server current, stored", server.url(), "LATEST_DOWNLOAD=1001.bird\n", &b3, {}},
        {"server current, not stored", server.url(), "LATEST_DOWNLOAD=1001.bird\n", &b1,
         {"New firmware is available.  Updater will proceed if valid firmware is found locally.",
          "Updating with the Latest Download"}},
        {"no server, last download", closed, "LATEST_DOWNLOAD=1002.bird\nLATEST_TRANSFER=1001.bird\n", &b2,
         {"Updating with the Latest Download"}},
        {"no server, last transfer", closed, "LATEST_TRANSFER=1001.bird\n", &b1,
         {"Updating with the Latest Transfer"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Settings(c.settings);
        if (c.expected == &b3)
            Store(b3);
        else
            std::filesystem::remove(DeviceDir() + "/1003.bird");
        const ProcessResult r = Run({"-u", c.url, "-U", "-d", kSerialText});
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        for (const std::string& m : c.messages)
            EXPECT_TRUE(Has(r.out, m + "\n")) << r.out;
        if (c.messages.empty()) {
            EXPECT_FALSE(Has(r.out, "Updating with the Latest")) << r.out;
        }
        EXPECT_TRUE(Has(r.out, "Updating firmware with build: " + std::to_string(c.expected->build))) << r.out;
        EXPECT_EQ(Flash(kFirmwareAddress, kFirmwareSize), c.expected->Expected(true));
        EXPECT_EQ(Setting("LATEST_TRANSFER"), std::to_string(c.expected->build) + ".bird");
    }

    // Nothing to go by: no module is contacted.
    Settings("");
    const size_t before = ReadFile(simLog).size();
    const ProcessResult r = Run({"-u", closed, "-U", "-d", kSerialText});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "Could not find valid build for this device.\n");
    EXPECT_EQ(ReadFile(simLog).size(), before);
}

TEST_F(UpdateCli, GivenBuildMissingFromTheStoreFailsWithoutDownloading)
{
    TempDir tree;
    std::filesystem::create_directories(tree / kSerialText);
    Package(1001, true).Write(tree / (std::string(kSerialText) + "/1001.bird"));
    ReferenceServer server(tree.path());

    const ProcessResult r = Run({"-u", server.url(), "-U", "-d", kSerialText, "-b", "1001"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(Has(r.out, "Updating firmware with build: 1001\n")) << r.out;
    EXPECT_EQ(r.err, "Failed to load bird file\n");
    EXPECT_TRUE(server.Requests().empty());
}

TEST_F(UpdateCli, FileForAnotherModuleFailsValidationUnlessOverridden)
{
    SimulatedModules modules(Module());
    Package otherSerial(1001, false, 0x11223344);
    Package otherModel(1002, true, kSerial, "Rhemnos");
    {
        SCOPED_TRACE("serial number of another module");
        const ProcessResult r =
            Run({"-u", ClosedPortUrl(), "-U", "-d", kSerialText, "-f", otherSerial.Write(dir / "other.bird")});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.err, "Birdfile failed validation\n");
    }
    {
        SCOPED_TRACE("another model");
        const std::string file = otherModel.Write(dir / "model.bird");
        ProcessResult r = Run({"-u", ClosedPortUrl(), "-U", "-d", kSerialText, "-f", file});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.err, "Connected device model and Bird file model do not match [Zorbel] (0)\n"
                         "Birdfile failed validation\n");
        EXPECT_FALSE(std::filesystem::exists(flash));

        r = Run({"-u", ClosedPortUrl(), "-U", "-OVERRIDE", "-d", kSerialText, "-f", file});
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_EQ(Flash(kFirmwareAddress, kFirmwareSize), otherModel.Expected(true));
    }
}

TEST_F(UpdateCli, ModuleNobodyCanFindIsReported)
{
    const std::string file = Package(1001, true).Write(dir / "generic.bird");
    const ProcessResult r = Run({"-u", ClosedPortUrl(), "-U", "-d", kSerialText, "-f", file});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "Failed to connect to module [40F5849A]\n");
}

// Every fault ends in bounded time with exit 1 and a message; a fault the
// block retries cover ends in success.
TEST_F(UpdateCli, ModuleFaults)
{
    const std::string file = Package(1001, true).Write(dir / "generic.bird");
    struct Case {
        const char* what;
        std::vector<std::string> settings;
        std::vector<std::string> options; // for the command line
        int exitCode;
        std::string error;                // the last line on standard error
        std::vector<std::string> out;     // also on standard output
        std::string log;                  // also on standard error, before it
        std::vector<std::string> absent = {}; // not on standard output
        std::string package = {};          // the BIRD file, when not the generic one
    };
    // Two loader blocks: a loader that lost its first block must not start.
    BirdWriter twoLoaders;
    twoLoaders.AddLoader(kLoaderAddress, BirdWriter::SyntheticImage(300, 1));
    twoLoaders.AddLoader(kLoaderAddress + 300, BirdWriter::SyntheticImage(300, 2));
    twoLoaders.AddFirmware(kFirmwareAddress, BirdWriter::SyntheticImage(1000, 3));
    twoLoaders.AddIdentity(1001, "2.16.1", kSerial, "Zorbel");
    ASSERT_TRUE(twoLoaders.Write(dir / "two-loaders.bird"));
    const std::string failed = "Firmware update of device [40F5849A] failed ";
    const std::vector<Case> cases = {
        {"INIT reply of 5 bytes", {"--init-reply-size", "5"}, {}, 1, failed + "[24, aErrPacket]", {}, ""},
        {"wrong sums", {"--bad-sum", "1000"}, {}, 1, failed + "[29, aErrInvalidOption]", {},
         "NETWORK: Unable to validate transfer [00] "},
        {"chunks always short", {"--short-data", "1000000"}, {"-m", "0"}, 1, failed + "[24, aErrPacket]", {}, ""},
        {"block size 0", {"--block-size", "0"}, {}, 1, failed + "[14, aErrSize]", {"  Retry 4\n"},
         "NETWORK: Failed to transfer firmware\n"},
        // The retry's PREPARE finds the link gone and ends the block's attempts.
        {"link drop inside a firmware piece", {"--drop-at-data", "40"}, {"-m", "0"}, 1, failed + "[18, aErrTimeout]",
         {"  Retry 1\n"}, "NETWORK: Failed to transfer firmware\n"},
        {"no LOAD reply", {"--no-load-reply", "1"}, {}, 0, "", {"Update time: "}, ""},
        {"never back after LOAD", {"--never-return", "load"}, {}, 1, failed + "[25, aErrConnection]", {}, ""},
        {"first loader block refused", {"--short-data", "8"}, {}, 1, failed + "[24, aErrPacket]",
         {"Transferring loader block 1 of 2, 304 bytes\nTransferred 0 blocks, 0 total bytes\n"}, "",
         {"Starting Load on Device", "block 2 of 2"}, dir / "two-loaders.bird"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(flash);
        SimulatedModules modules(Module(c.settings));
        std::vector<std::string> args = {"-u", ClosedPortUrl(), "-U", "-d", kSerialText, "-f",
                                         c.package.empty() ? file : c.package};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const auto start = std::chrono::steady_clock::now();
        const ProcessResult r = Run(args, 150);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(120));
        EXPECT_EQ(r.exitCode, c.exitCode) << r.out << r.err;
        if (c.error.empty()) {
            EXPECT_EQ(r.err.find(failed), std::string::npos) << r.err;
        } else {
            const std::string last = c.error + "\n";
            EXPECT_TRUE(r.err.size() >= last.size() && r.err.compare(r.err.size() - last.size(), last.size(), last) == 0)
                << r.err;
        }
        if (!c.log.empty()) {
            EXPECT_TRUE(Has(r.err, c.log)) << r.err;
        }
        for (const std::string& line : c.out)
            EXPECT_TRUE(Has(r.out, line)) << r.out;
        for (const std::string& text : c.absent)
            EXPECT_FALSE(Has(r.out, text)) << r.out;
        if (c.exitCode == 0) {
            EXPECT_EQ(Flash(kFirmwareAddress, kFirmwareSize), Package(1001, true).Expected(true));
        }
    }
}

// A router on 10.77.0.2 (address 2) with the module to update behind it at
// address 8, and a second module behind it at address 6.
class IndirectUpdate : public UpdateCli {
  protected:
    static constexpr const char* kRouter = "0000A001";
    std::string routerLog = dir / "router.log";
    std::vector<std::string> Network() const
    {
        return {"--discovery", "1", "--module", "--listen", "10.77.0.2", "--serial", kRouter, "--address", "2", "--router", "1",
                "--log", routerLog, "--module", "--behind", "1", "--serial", "11110006", "--address", "6",
                "--module", "--behind", "1", "--serial", kSerialText, "--model", "19", "--address", "8",
                "--restart-ms", "200", "--block-size", "1024", "--flash-dump", flash};
    }
    // I2C writes the router received: a scan of its module network.
    size_t I2CWrites() const
    {
        size_t count = 0;
        std::istringstream lines(ReadFile(routerLog));
        for (std::string line; std::getline(lines, line);)
            count += line.rfind("rx 2 ", 0) == 0 && line.find(" 8 0 ") == line.find(' ', 5);
        return count;
    }
};

TEST_F(IndirectUpdate, ModuleFoundOnTheRoutersNetworkIsUpdated)
{
    const Package p(1001, true);
    const std::string file = p.Write(dir / "generic.bird");
    SimulatedModules modules(Network());

    const ProcessResult r = Run({"-u", ClosedPortUrl(), "-U", "-d", kSerialText, "-r", kRouter, "-f", file});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "Transferred 1 blocks, 20004 total bytes\nUpdate time: ")) << r.out;
    EXPECT_EQ(Flash(kFirmwareAddress, kFirmwareSize), p.Expected(true));
    EXPECT_GT(I2CWrites(), 0u);
    EXPECT_EQ(Setting("LATEST_TRANSFER"), file);
}

TEST_F(IndirectUpdate, KnownAddressSkipsTheScan)
{
    const Package p(1001, true);
    const std::string file = p.Write(dir / "generic.bird");
    SimulatedModules modules(Network());

    RecordingDisplay display;
    Updater updater(ClosedPortUrl().c_str(), (dir / "updater").c_str(), display);
    EXPECT_TRUE(updater.Update_Firmware(kSerial, 0, file, 8, 0xA001, false));
    EXPECT_EQ(Flash(kFirmwareAddress, kFirmwareSize), p.Expected(true));
    EXPECT_EQ(I2CWrites(), 0u);
}

TEST_F(IndirectUpdate, UnknownModuleOrRouterIsReported)
{
    const std::string file = Package(1001, true).Write(dir / "generic.bird");
    SimulatedModules modules(Network());
    ProcessResult r = Run({"-u", ClosedPortUrl(), "-U", "-d", "12345678", "-r", kRouter, "-f", file});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "Module address required for indirect firmware update, could not find serial number "
                     "[0x12345678] on network\n");
    r = Run({"-u", ClosedPortUrl(), "-U", "-d", kSerialText, "-r", "0000B00B", "-f", file});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "Unable to find modules on Network\n");
}

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (!InsidePrivateNetwork()) {
        std::fprintf(stderr, "update_cli_test: not inside a private network namespace (run it through "
                             "tools/netns-run); skipped\n");
        return 77;
    }
    return RUN_ALL_TESTS();
}
