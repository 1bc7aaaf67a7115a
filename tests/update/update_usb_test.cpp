// Firmware update through the real command line over USB, against a module
// simulated on umockdev's USB bus. Runs under umockdev's preload and, since
// an update falls back to TCP/IP discovery when USB does not know the
// module, inside the private network namespaces of tools/netns-run; it exits
// 77 anywhere else. The module's flash is compared byte for byte with the
// firmware image after the update.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "../server/ReferenceServer.h"
#include "SimulatedModules.h"
#include "tests/usb/UsbTestbedEnvironment.h"
#include "tools/birdpack/BirdWriter.h"
#include "updater/KeyValueStore.h"

namespace {

using birdpack::BirdWriter;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kSerial = 0x0BADCAFE;
constexpr uint32_t kFirmwareAddress = 0x8000;

// A BIRD file for the module: one loader block, one firmware block.
struct Package {
    Bytes firmware;
    BirdWriter writer;
    explicit Package(uint32_t build, size_t size = 30000) : firmware(BirdWriter::SyntheticImage(size, build))
    {
        writer.AddLoader(0x10000000, BirdWriter::SyntheticImage(1000, build + 1));
        writer.AddFirmware(kFirmwareAddress, firmware);
        writer.AddIdentity(build, "2.16." + std::to_string(build % 100), kSerial, "Zorbel");
    }
};

class UpdateUsb : public UsbTest {
  protected:
    TempDir dir;
    std::string flash = dir / "flash.bin";

    ProcessResult Run(std::vector<std::string> args, const std::string& server = "", bool onTerminal = false)
    {
        args.insert(args.begin(),
                    {UPDATER_BINARY_DIR "/Updater", "-i", dir.path(), "-u", server.empty() ? ClosedPortUrl() : server});
        return RunProcess(args, {}, 90, onTerminal);
    }
    // A model 19 module running build 1000, back 200 ms after a restart.
    modsim::usb::UsbModuleConfig Module(uint32_t newBuild) const
    {
        auto config = usbModuleConfig(kSerial, 0x0013);
        config.module.build = 1000;
        config.module.upgrade.flashDump = flash;
        config.module.upgrade.newBuild = newBuild;
        config.module.upgrade.restartMs = 200;
        return config;
    }
    Bytes Flash(size_t length) const
    {
        const std::string bytes = ReadFile(flash);
        if (bytes.size() < kFirmwareAddress + length)
            return {};
        return Bytes(bytes.begin() + kFirmwareAddress, bytes.begin() + kFirmwareAddress + length);
    }
    static bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }
};

// The module restarts into its loader and into the new firmware, and
// re-enumerates each time: the update finds it again on USB both times.
TEST_F(UpdateUsb, FileReachesTheFlashOfAUsbModuleThatReEnumerates)
{
    const Package p(2001);
    const std::string file = dir / "usb.bird";
    ASSERT_TRUE(p.writer.Write(file));
    modsim::usb::UsbModule& module = plug(Module(2001));
    const unsigned before = usbBus()->restarts();

    const ProcessResult r = Run({"-U", "-d", "0BADCAFE", "-f", file});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "Transferred 1 blocks, 30004 total bytes\nUpdate time: ")) << r.out;
    EXPECT_EQ(Flash(p.firmware.size()), p.firmware);
    KeyValueStore settings((dir / "updater/0BADCAFE/.settings").c_str());
    EXPECT_EQ(settings.GetString("LATEST_TRANSFER"), file);

    EXPECT_TRUE(module.log().waitFor("restarted reboot", std::chrono::seconds(5)));
    EXPECT_EQ(module.log().matching("restarted load").size(), 1u);
    EXPECT_EQ(usbBus()->restarts() - before, 2u);
    // The device that came back runs the new build.
    const ProcessResult d = Run({"-D", "-t", "USB"});
    EXPECT_TRUE(Has(d.out, "0BADCAFE")) << d.out;
    EXPECT_TRUE(Has(d.out, "(      2001)")) << d.out;
}

// -G -U on a terminal: the server's current build is downloaded, stored and
// sent with the progress bar.
TEST_F(UpdateUsb, DownloadThenUpdateOverUsb)
{
    TempDir tree;
    std::filesystem::create_directories(tree / "0BADCAFE");
    const Package current(1002);
    ASSERT_TRUE(current.writer.Write(tree / "0BADCAFE/1002.bird"));
    ReferenceServer server(tree.path());
    plug(Module(1002));

    const ProcessResult r = Run({"-G", "-U", "-d", "0BADCAFE"}, server.url(), true);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "Updating firmware with build: 1002")) << r.out;
    EXPECT_TRUE(Has(r.out, "] (100% ) ")) << r.out;
    EXPECT_EQ(Flash(current.firmware.size()), current.firmware);
    KeyValueStore settings((dir / "updater/0BADCAFE/.settings").c_str());
    EXPECT_EQ(settings.GetString("LATEST_DOWNLOAD"), "1002.bird");
    EXPECT_EQ(settings.GetString("LATEST_TRANSFER"), "1002.bird");
}

// Restart faults over USB end in bounded time: a module that starts its
// loader without answering LOAD is found again; one that never comes back
// fails the update.
TEST_F(UpdateUsb, RestartFaults)
{
    const Package p(2001, 4000);
    const std::string file = dir / "usb.bird";
    ASSERT_TRUE(p.writer.Write(file));
    struct Case {
        const char* what;
        void (*arm)(modsim::UpgradeConfig&);
        int exitCode;
        std::string error; // the end of standard error
    };
    const Case cases[] = {
        {"no LOAD reply", [](modsim::UpgradeConfig& u) { u.noLoadReply = true; }, 0, ""},
        {"never back after LOAD", [](modsim::UpgradeConfig& u) { u.neverReturn = modsim::NeverReturn::AfterLoad; },
         1, "Firmware update of device [0BADCAFE] failed [25, aErrConnection]\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(flash);
        auto config = Module(2001);
        c.arm(config.module.upgrade);
        modsim::usb::UsbModule& module = plug(config);
        const auto start = std::chrono::steady_clock::now();
        const ProcessResult r = Run({"-U", "-d", "0BADCAFE", "-f", file});
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
        EXPECT_EQ(r.exitCode, c.exitCode) << r.out << r.err;
        if (c.exitCode == 0) {
            EXPECT_EQ(Flash(p.firmware.size()), p.firmware);
        } else {
            EXPECT_TRUE(r.err.size() >= c.error.size() &&
                        r.err.compare(r.err.size() - c.error.size(), c.error.size(), c.error) == 0)
                << r.err;
            EXPECT_FALSE(std::filesystem::exists(flash));
        }
        usbBus()->unplug(module);
    }
}

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (!InsidePrivateNetwork() || !modsim::usb::UsbTestbed::preloaded()) {
        std::fprintf(stderr, "update_usb_test: needs umockdev's preload inside private network namespaces "
                             "(tools/netns-run tests/usb/run-under-umockdev ...); skipped\n");
        return 77;
    }
    return RUN_ALL_TESTS();
}
