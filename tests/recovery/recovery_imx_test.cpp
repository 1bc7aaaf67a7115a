// Recovery of an i.MX RT module through the real command line. The test
// process hosts a simulated i.MX serial download ROM on a pseudo-terminal
// and umockdev's simulated USB bus. When the ROM jumps to the loaded image,
// the live loader "starts": a module running its loader appears on the USB
// bus under the default recovery serial number, answers the chip's unique id
// and takes firmware through the upgrade entity. The Updater executable runs
// under umockdev's preload (tests/usb/run-under-umockdev); the test exits 77
// without it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../server/ReferenceServer.h"
#include "common/aUSBModuleId.h"
#include "sim/imx/PtyRom.h"
#include "sim/usb/UsbTestbed.h"
#include "tools/birdpack/BirdWriter.h"
#include "updater/KeyValueStore.h"

namespace {

using birdpack::BirdWriter;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kLoaderSerial = 0xBDDEADFA;
constexpr uint32_t kSerial = 0x0BADCAFE;
constexpr uint32_t kLoaderAddress = 0x20000000;
constexpr uint32_t kFlashBase = 0x60000000;
constexpr uint32_t kFirmwareAddress = 0x60001000;
// The chip's unique id as the live loader answers it, subindex 0 to 3.
constexpr std::array<uint32_t, 4> kUniqueId = {0xA0A1A2A3u, 0xB0B1B2B3u, 0xC0C1C2C3u, 0xD0D1D2D3u};
// The fingerprint: subindex i is word 3 - i.
constexpr const char* kFingerprintText = "D0D1D2D3 C0C1C2C3 B0B1B2B3 A0A1A2A3";

// Made before the USB bus exists: once it does, every device node this
// process opens (even a new pseudo-terminal) is umockdev's.
std::vector<std::unique_ptr<imxsim::PtyRom>> sRoms;
size_t sNextRom = 0;
modsim::usb::UsbTestbed* sBus = nullptr;

bool Has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// A live loader image: filler with an image vector table at ivtOffset whose
// entry word points into the image.
Bytes LoaderImage(size_t size, uint32_t ivtOffset)
{
    Bytes image = BirdWriter::SyntheticImage(size, 11);
    const uint8_t ivt[8] = {0xD1, 0x00, 0x20, 0x41, 0x01, 0x20, 0x00, 0x20}; // entry 0x20002001
    std::copy(ivt, ivt + 8, image.begin() + ivtOffset);
    return image;
}

class ImxRecovery : public ::testing::Test {
  protected:
    TempDir dir;
    TempDir tree;
    imxsim::PtyRom* rom = nullptr;
    std::string flash = dir / "flash.bin";
    std::atomic<bool> stop{false};
    std::atomic<modsim::usb::UsbModule*> loader{nullptr};
    std::thread watcher;

    void SetUp() override
    {
        ASSERT_LT(sNextRom, sRoms.size()) << "one simulated ROM per test: make more in main";
        rom = sRoms[sNextRom++].get();
        // The live loader starts when the ROM jumps to it.
        watcher = std::thread([this] {
            while (!stop) {
                if (rom->inspect([](imxsim::SdpRom& r) { return r.jumped(); })) {
                    modsim::usb::UsbModule& m = sBus->plug(LiveLoader());
                    m.state()->model->setInLoader(true);
                    loader = &m;
                    return;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
    }
    void TearDown() override
    {
        stop = true;
        watcher.join();
        if (loader)
            sBus->unplug(*loader);
    }

    modsim::usb::UsbModuleConfig LiveLoader() const
    {
        modsim::usb::UsbModuleConfig c;
        c.usb.vendorId = CORVANTIS_USB_VENDOR_ID;
        c.usb.productId = 0x0013;
        c.usb.serialText = "BDDEADFA";
        c.module.serial = kLoaderSerial;
        c.module.model = 0x13;
        c.module.uniqueId = kUniqueId;
        c.module.upgrade.flashBase = kFlashBase;
        c.module.upgrade.flashDump = flash;
        c.module.upgrade.restartMs = 200;
        return c;
    }
    ProcessResult Run(std::vector<std::string> args, const std::string& server = "")
    {
        args.insert(args.begin(),
                    {UPDATER_BINARY_DIR "/Updater", "-i", dir.path(), "-u", server.empty() ? ClosedPortUrl() : server});
        return RunProcess(args, {}, 90);
    }
    imxsim::SdpJump Jump()
    {
        return rom->inspect([](imxsim::SdpRom& r) { return r.jumps().empty() ? imxsim::SdpJump{0, 0} : r.jumps()[0]; });
    }
    Bytes Ram(uint32_t address, size_t length)
    {
        return rom->inspect([&](imxsim::SdpRom& r) { return r.ram().read(address, length); });
    }
};

// -N: the recovery file the store holds for the default serial number is
// loaded into RAM and started at the default entry, and the fingerprint is
// read from the live loader.
TEST_F(ImxRecovery, FingerprintFromTheLiveLoader)
{
    const Bytes image = LoaderImage(6000, 0x400);
    BirdWriter writer;
    writer.AddLoader(kLoaderAddress, image);
    writer.AddIdentity(77, "1.0.0", kLoaderSerial, "Zorbel");
    std::filesystem::create_directories(dir / "updater/BDDEADFA");
    ASSERT_TRUE(writer.Write(dir / "updater/BDDEADFA/77.bird"));
    {
        KeyValueStore settings((dir / "updater/BDDEADFA/.settings").c_str());
        settings.Add("LATEST_DOWNLOAD", "77.bird");
        settings.Save();
    }

    const ProcessResult r = Run({"-N", "-s", rom->slavePath()});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, std::string("[ ") + kFingerprintText + " ]\n")) << r.out << r.err;
    EXPECT_EQ(Ram(kLoaderAddress, image.size()), image);
    EXPECT_EQ(Jump().address, 0x20000400u);
    ASSERT_NE(loader.load(), nullptr);
    // -N leaves the chip as it found it: the loader is reset.
    EXPECT_TRUE(loader.load()->log().waitFor("restarted reset", std::chrono::seconds(5)));
}

// -U -t RECOVER: the live loader comes from the server's current build for
// the default serial number (downloaded quietly), the server names module and
// recovery build from the fingerprint, and the firmware goes through the live
// loader's upgrade entity into the module's flash.
TEST_F(ImxRecovery, FirmwareThroughTheLiveLoader)
{
    const Bytes image = LoaderImage(9000, 0x1000);
    BirdWriter loaderFile;
    loaderFile.AddLoader(kLoaderAddress, image);
    loaderFile.AddLoaderEntry(kLoaderAddress + 0x1000);
    loaderFile.AddIdentity(78, "1.0.1", kLoaderSerial, "Zorbel");
    std::filesystem::create_directories(tree / "BDDEADFA");
    ASSERT_TRUE(loaderFile.Write(tree / "BDDEADFA/78.bird"));

    const Bytes firmware = BirdWriter::SyntheticImage(20000, 5);
    BirdWriter firmwareFile;
    firmwareFile.AddFirmware(kFirmwareAddress, firmware);
    firmwareFile.AddIdentity(5005, "2.4.6", kSerial, "Zorbel");
    std::filesystem::create_directories(tree / "0BADCAFE");
    ASSERT_TRUE(firmwareFile.Write(tree / "0BADCAFE/5005.bird"));
    std::ofstream(tree / "recovery") << kFingerprintText << " 0BADCAFE 5005\n";
    ReferenceServer server(tree.path());

    const ProcessResult r = Run({"-U", "-t", "RECOVER", "-s", rom->slavePath()}, server.url());
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "Recovering firmware with build: 5005\nDownloading firmware build 5005\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "Transferred 1 blocks, 20004 total bytes\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "Update time: ")) << r.out;
    EXPECT_EQ(Jump().address, kLoaderAddress + 0x1000);
    ASSERT_NE(loader.load(), nullptr);
    EXPECT_TRUE(loader.load()->log().waitFor("restarted reboot", std::chrono::seconds(5)));
    const std::string dumped = [&] {
        std::ifstream in(flash, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }();
    const size_t at = kFirmwareAddress - kFlashBase;
    ASSERT_GE(dumped.size(), at + firmware.size());
    EXPECT_EQ(Bytes(dumped.begin() + at, dumped.begin() + at + firmware.size()), firmware);
}

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (!modsim::usb::UsbTestbed::preloaded()) {
        std::fprintf(stderr, "recovery_imx_test: needs umockdev's preload (tests/usb/run-under-umockdev); skipped\n");
        return 77;
    }
    for (int i = 0; i < 2; ++i) {
        auto rom = std::make_unique<imxsim::PtyRom>();
        std::string error;
        if (!rom->start(error)) {
            std::fprintf(stderr, "recovery_imx_test: %s\n", error.c_str());
            return 1;
        }
        sRoms.push_back(std::move(rom));
    }
    sBus = new modsim::usb::UsbTestbed();
    const int result = RUN_ALL_TESTS();
    delete sBus;
    sRoms.clear();
    return result;
}
