// Firmware update through the real command line over USB, against a module
// simulated on umockdev's USB bus. Runs under umockdev's preload and, since
// an update falls back to TCP/IP discovery when USB does not know the
// module, inside the private network namespaces of tools/netns-run; it exits
// 77 anywhere else. The module's flash is compared byte for byte with the
// firmware image after the update.
#include <gtest/gtest.h>

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

class UpdateUsb : public UsbTest {
  protected:
    TempDir dir;

    ProcessResult Run(std::vector<std::string> args)
    {
        args.insert(args.begin(), {UPDATER_BINARY_DIR "/Updater", "-i", dir.path(), "-u", ClosedPortUrl()});
        return RunProcess(args, {}, 90);
    }
};

TEST_F(UpdateUsb, FileReachesTheFlashOfAUsbModule)
{
    const Bytes firmware = BirdWriter::SyntheticImage(30000, 5);
    BirdWriter w;
    w.AddLoader(0x10000000, BirdWriter::SyntheticImage(1000, 6));
    w.AddFirmware(kFirmwareAddress, firmware);
    w.AddIdentity(2001, "2.16.3", kSerial, "Zorbel");
    const std::string file = dir / "usb.bird";
    ASSERT_TRUE(w.Write(file));

    auto config = usbModuleConfig(kSerial, 0x0013); // model 19
    config.module.upgrade.flashDump = dir / "flash.bin";
    config.module.upgrade.newBuild = 2001;
    plug(config);

    const ProcessResult r = Run({"-U", "-d", "0BADCAFE", "-f", file});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(r.out.find("Transferred 1 blocks, 30004 total bytes\nUpdate time: ") != std::string::npos) << r.out;
    const std::string flash = ReadFile(dir / "flash.bin");
    ASSERT_GE(flash.size(), kFirmwareAddress + firmware.size());
    EXPECT_EQ(Bytes(flash.begin() + kFirmwareAddress, flash.begin() + kFirmwareAddress + firmware.size()), firmware);
    KeyValueStore settings((dir / "updater/0BADCAFE/.settings").c_str());
    EXPECT_EQ(settings.GetString("LATEST_TRANSFER"), file);
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
