// Updater flows behind -N and -U -t RECOVER: a module whose firmware no
// longer runs is reached through its processor's boot ROM. The chip's
// fingerprint (LPC17xx: the ISP device words; i.MX RT: the unique id read
// from a live loader started in RAM) names the module and its recovery build
// to the update server. LPC firmware is unscrambled with the fingerprint and
// written straight into flash through the ISP; i.MX firmware goes through the
// live loader's upgrade entity over USB.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "app/Log.h"
#include "app/ServerUrls.h"
#include "common/aTime.h"
#include "common/aUEI.h"
#include "common/aUSBContext.h"
#include "device_api/Module.h"
#include "device_api/SystemClass.h"
#include "recovery/HID_SDPLoader.h"
#include "recovery/NXPSerialClass.h"
#include "recovery/SDPLoader.h"
#include "recovery/SDPLoader_IMX1050.h"
#include "recovery/Serial_SDPLoader.h"
#include "updater/BirdFile.h"
#include "updater/UpdateServerRequest.h"
#include "updater/Updater.h"
#include "updater/UpdaterStore.h"

using Veltrane::Corvantis::Module;
using Veltrane::Corvantis::SystemClass;

namespace {

const UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::LEVEL_INFO;
const UpdaterDisplayInterface::Level ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

// Waiting for the live loader to appear on USB.
constexpr int kLoaderWaitRounds = 15;
constexpr uint32_t kLoaderWaitPauseMs = 1000;
// The LPC17xx flash: sectors 0 to 29, erased whole before a recovery.
constexpr int kFirstSector = 0;
constexpr int kLastSector = 29;
// Largest piece written to RAM and copied to flash at once.
constexpr uint32_t kPieceSize = 4096;
constexpr uint32_t kRecoveryBaud = 115200;

// Keeps the display muted for the lifetime of the guard.
class MutedDisplay {
  public:
    explicit MutedDisplay(UpdaterDisplayInterface& display) : display_(display) { display_.mute_messages(true); }
    ~MutedDisplay() { display_.mute_messages(false); }
    MutedDisplay(const MutedDisplay&) = delete;
    MutedDisplay& operator=(const MutedDisplay&) = delete;

  private:
    UpdaterDisplayInterface& display_;
};

// One round of looking for the live loader: under the default recovery
// serial number first, then under the module's own when that differs.
bool sConnectLiveLoader(Module& module, uint32_t serial)
{
    module.discoverAndConnect(USB, DEFAULT_RECOVERY_SERIAL);
    if (module.isConnected())
        return true;
    if (serial == DEFAULT_RECOVERY_SERIAL)
        return false;
    module.discoverAndConnect(USB, serial);
    return module.isConnected();
}

} // namespace

bool Updater::Get_Fingerprint(Fingerprint& out, std::string port, uint32_t serial, std::string birdFile,
                              uint32_t baud, bool resetAfter)
{
    if (_get_fingerprint_lpc(port, baud, out)) {
        recoveryChip = 2;
        return true;
    }
    recoveryChip = 1;
    return _get_fingerprint_imx(display, *this, port, serial, birdFile, out, resetAfter);
}

bool Updater::_get_fingerprint_lpc(const std::string& port, uint32_t baud, Fingerprint& out)
{
    NXPSerialClass chip;
    aErr err = chip.Connect(port.c_str(), baud);
    if (err != aErrNone) {
        Log::log(DEBUG_APP, "ERROR %d ==> Could not open serial port\n", err);
        return false;
    }
    Log::log(DEBUG_APP, "\n\tSync to Device:\n");
    err = chip.Sync();
    if (err != aErrNone) {
        Log::log(DEBUG_APP, "ERROR %d ==> Could not communicate with device over serial port\n", err);
        return false;
    }
    Log::log(DEBUG_APP, "\n\tGet Info from Device:\n");
    if (chip.GetDeviceID() != aErrNone) {
        Log::log(DEBUG_APP, "\tERROR ==> Got no response from chip\n");
        return false;
    }
    for (int i = 0; i < 4; ++i)
        out.words[i] = chip.DeviceSerialNumber()[i];
    return true;
}

bool Updater::_get_fingerprint_imx(UpdaterDisplayInterface& display, Updater& updater, const std::string& port,
                                   uint32_t serial, const std::string& birdFile, Fingerprint& out,
                                   bool resetAfter)
{
    std::unique_ptr<UpdaterStore> store =
        _createUpdaterStore(display, updater.storeRoot, "_get_fingerprint_imx");
    if (!store)
        return false;
    if (serial == 0)
        serial = DEFAULT_RECOVERY_SERIAL;
    UpdaterStoreItem item;
    const bool known = store->FindDevice(serial, &item);

    // The recovery image: the caller's file, else the store's latest
    // download for the device, else the server's current build for it.
    std::string storeName;
    if (!birdFile.empty()) {
        if (serial == DEFAULT_RECOVERY_SERIAL) {
            display.message(ERROR, "Add serial number or remove the bird filename to use a default recovery image.");
            return false;
        }
    } else if (known) {
        storeName = item.settings.GetString("LATEST_DOWNLOAD", "");
    } else {
        MutedDisplay muted(display);
        Log::log(DEBUG_APP, "Existing loader device not found. Downloading.\n");
        const uint32_t build = updater.Download_Firmware(serial, "", false, false);
        if (build != 0) {
            storeName = std::to_string(build) + ".bird";
            store->FindDevice(serial, &item);
        }
    }

    BirdFile image;
    try {
        image = birdFile.empty() ? item.ReadBirdFile(storeName) : BirdFile(birdFile);
    } catch (const std::exception& e) {
        Log::log(DEBUG_APP, "%s", e.what());
        return false;
    }

    if (_transfer_recovery_loader(display, image, port) != aErrNone) {
        Log::log(DEBUG_APP, "Error loading liveloader.\n");
        return false;
    }

    Module loader(0, 0);
    if (_disableWeave(loader, display) != aErrNone)
        return false;
    bool connected = false;
    for (int attempt = 1; attempt <= kLoaderWaitRounds && !connected; ++attempt) {
        if (attempt % 3 == 0) {
            Log::log(DEBUG_APP, "Failed enumeration after 3 tries, refreshing libusb context.\n");
            Corvantis_libusb_exit();
        }
        connected = sConnectLiveLoader(loader, serial);
        if (!connected && attempt < kLoaderWaitRounds)
            aTime_MSSleep(kLoaderWaitPauseMs);
    }
    if (!connected) {
        Log::log(DEBUG_APP, "Could not connect to device.\n");
        return false;
    }

    SystemClass system;
    system.init(&loader, 0);
    for (uint8_t i = 0; i < 4; ++i) {
        if (system.getUEI32(39, i, &out.words[3 - i]) != aErrNone) {
            Log::log(DEBUG_APP, "Error getting Identifier %d.\n", i);
            return false;
        }
    }
    if (resetAfter)
        system.reset();
    return true;
}

aErr Updater::_transfer_recovery_loader(UpdaterDisplayInterface&, BirdFile& image, const std::string& port)
{
    Log::log(DEBUG_Updater, "Transfer Loader via Serial Interface (iMX):\n");
    std::unique_ptr<SDPLoader_Interface> transport;
    if (port == "USB")
        transport = std::make_unique<HID_SDPLoader>(IMX1050::VID, IMX1050::PID);
    else
        transport = std::make_unique<Serial_SDPLoader>(port);
    SDPLoader loader;
    loader.setLoader(std::move(transport));
    if (loader.init() != SDPLoader::SDP_OK)
        return aErrNotReady;

    const std::vector<BirdBlock> blocks = image.FindBlocks(BLOCK_LOADER);
    for (size_t n = 0; n < blocks.size(); ++n) {
        const BirdBlock& block = blocks[n];
        // A block without its address word has no place in RAM: a loader
        // missing a piece must not be started.
        if (!block.HasImage()) {
            Log::log(DEBUG_Updater, "Loader block %zu has no address word.\n", n);
            return aErrConnection;
        }
        const uint32_t address = aUEI_RetrieveInt(block.data);
        Log::log(DEBUG_Updater, "Writting Block: %d, size %zu, address: %d\b", static_cast<int>(n),
                 static_cast<size_t>(block.imageLength()), static_cast<int>(address));
        if (loader.writeLoader(block.image(), block.imageLength(), address) != SDPLoader::SDP_OK)
            return aErrConnection;
    }

    uint32_t entry = IMX1050::DEFAULT_IMX_LOADER_IVT_ADDRESS;
    for (const BirdBlock& block : image.FindBlocks(BLOCK_LOADER_ENTRY)) {
        if (block.length >= 4 && block.data) {
            entry = aUEI_RetrieveInt(block.data);
            break;
        }
    }
    (void)loader.startLoader(entry);
    return aErrNone;
}

bool Updater::Recover_Firmware(std::string port, uint32_t build, uint32_t baud, uint32_t serial,
                               std::string birdFile, bool)
{
    const uint64_t start = aTime_GetMSTicks();
    Fingerprint fp;
    if (!Get_Fingerprint(fp, port, serial, birdFile, kRecoveryBaud, false)) {
        display.message(ERROR, "Could not get Device Identifier");
        return false;
    }

    if (birdFile.empty()) {
        const std::string url = serverUrl.empty() ? UPDATE_SERVER_HTTP_URL : serverUrl;
        uint32_t serverBuild = 0;
        bool found = false;
        try {
            found = UpdateServerRequest::GetRecoveryInfo(fp, serial, serverBuild, url.c_str());
        } catch (const std::exception& e) {
            Log::log(DEBUG_ServerComm, "GetRecoveryInfo ==> [%s]\n", e.what());
        }
        if (!found) {
            display.message(ERROR, "Failed to retrieve recovery information from Veltrane server");
            return false;
        }
        if (build == 0)
            build = serverBuild;
    }

    BirdFile file;
    try {
        file = load_bird("Recovering", birdFile, serial, build, true);
    } catch (const std::exception& e) {
        Log::log(DEBUG_Updater, "%s\n", e.what());
        display.message(ERROR, "Failed to load bird file");
        return false;
    }

    // An empty file (the store could not be opened) must not count as a
    // recovery that worked.
    if (file.Blocks().empty()) {
        display.message(ERROR, "Failed to load bird file");
        return false;
    }
    if (file.HasSerialOffsets()) {
        display.message(ERROR, "Updater does not support offline recovery");
        return false;
    }

    bool result = false;
    if (recoveryChip == 1) {
        result = _recover_firmware_imx(display, file, serial, ueiBytesLoad);
    } else if (recoveryChip == 2) {
        file.DecodeFirmwareBlocks(fp.words);
        result = _recover_firmware_lpc(display, file, port, baud, fp);
    } else {
        display.message(ERROR, "Unknown device");
    }
    display.message(INFO, "Update time: %.4f sec", static_cast<double>(aTime_GetMSTicks() - start) / 1000.0);
    return result;
}

bool Updater::_recover_firmware_imx(UpdaterDisplayInterface& display, BirdFile& file, uint32_t serial,
                                    bool useUEIBytes)
{
    Module loader(0, 0);
    if (_disableWeave(loader, display) != aErrNone) {
        display.message(ERROR, "Failed to transfer firmware");
        return false;
    }
    bool connected = false;
    for (int round = 1; round <= kLoaderWaitRounds && !connected; ++round) {
        connected = sConnectLiveLoader(loader, serial);
        if (!connected && round < kLoaderWaitRounds)
            aTime_MSSleep(kLoaderWaitPauseMs);
    }
    if (!connected) {
        display.message(ERROR, "Could not connect to device");
        return false;
    }
    if (_transfer_firmware(display, loader, file, false, useUEIBytes) != aErrNone) {
        display.message(ERROR, "Failed to transfer firmware");
        return false;
    }
    return true;
}

bool Updater::_recover_firmware_lpc(UpdaterDisplayInterface& display, BirdFile& file, const std::string& port,
                                    uint32_t baud, const Fingerprint&)
{
    const std::vector<BirdBlock> blocks = file.FindBlocks(BLOCK_FIRMWARE);
    // A final block of exactly four image bytes is a marker and is not
    // written; it does not count among the blocks announced.
    int count = static_cast<int>(blocks.size());
    if (!blocks.empty() && blocks.back().HasImage() && blocks.back().imageLength() == 4)
        --count;
    // The whole flash is erased before anything is written: a file with
    // nothing to write would leave the chip blank.
    if (count <= 0) {
        display.message(ERROR, "No firmware to write in %s", file.Path().c_str());
        return false;
    }

    NXPSerialClass chip;
    if (chip.Connect(port.c_str(), baud) != aErrNone) {
        Log::log(DEBUG_Network, "Could not connect to %s\n", port.c_str());
        return false;
    }
    Log::log(DEBUG_Updater, "\n\tUnlock Memory:\n");
    if (chip.Unlock() != aErrNone) {
        Log::log(DEBUG_Network, "Could not unlock\n");
        return false;
    }
    Log::log(DEBUG_Updater, "\n\tPrepare ALL memory for update:\n");
    if (chip.Prepare(kFirstSector, kLastSector) != aErrNone) {
        Log::log(DEBUG_Network, "Could not prepare\n");
        return false;
    }
    Log::log(DEBUG_Updater, "\n\tErase all memory before update:\n");
    if (chip.Erase(kFirstSector, kLastSector) != aErrNone) {
        Log::log(DEBUG_Network, "Could not erase\n");
        return false;
    }

    chip.SetEcho(false);
    Log::log(DEBUG_Updater, "Updating device firmware: \n");
    Log::log(DEBUG_Updater, "Transferring firmware to device from [%s]\n", file.Path().c_str());
    int total = 0;
    for (size_t i = 0; i < blocks.size(); ++i) {
        const BirdBlock& block = blocks[i];
        if (!block.HasImage()) {
            Log::log(DEBUG_Updater, "Firmware block %zu has no address word.\n", i + 1);
            return false;
        }
        const uint32_t size = block.imageLength();
        if (size == 4)
            break;
        const uint8_t* image = block.image();
        uint32_t target = block.address;
        display.message(INFO, "Transferring firmware block %d of %d, %d bytes", static_cast<int>(i + 1), count,
                        static_cast<int>(size));
        display.display_progress(true);
        Log::log(DEBUG_Updater, "Transferring firmware block: %d bytes to address 0x%08X\n", static_cast<int>(size),
                 target);
        for (uint32_t offset = 0; offset < size;) {
            const uint32_t piece = size - offset < kPieceSize ? size - offset : kPieceSize;
            Log::log(DEBUG_Updater, "Transferring firmware %d bytes to address 0x%08X\n", static_cast<int>(piece),
                     target);
            Log::log(DEBUG_Updater, "\t Write %d bytes to address 0x%08X\n", static_cast<int>(piece),
                     NXPSerialClass::WRITE_ADDRESS);
            if (chip.Write(NXPSerialClass::WRITE_ADDRESS, piece, image + offset) != aErrNone) {
                Log::log(DEBUG_Updater, "\t Write to RAM failed\n");
                display.display_progress(false);
                return false;
            }
            const int first = NXPSerialClass::SectorFromAddress(target);
            const int last = NXPSerialClass::SectorFromAddress(target + piece - 1);
            Log::log(DEBUG_Updater, "\t Prepare to copy to sector(s) %d to %d\n", first, last);
            if (chip.Prepare(first, last) != aErrNone) {
                Log::log(DEBUG_Updater, "\t Prepare failed\n");
                display.display_progress(false);
                return false;
            }
            const uint32_t copy = NXPSerialClass::CopyLength(piece);
            Log::log(DEBUG_Updater, "\t Copy %d bytes from %08X to %08X\n", static_cast<int>(copy),
                     NXPSerialClass::WRITE_ADDRESS, target);
            if (chip.CopyToFlash(target, NXPSerialClass::WRITE_ADDRESS, copy) != aErrNone) {
                Log::log(DEBUG_Updater, "\t Transfer to flash failed\n");
                display.display_progress(false);
                return false;
            }
            target += piece;
            offset += piece;
            display.update_progress(static_cast<double>(offset) / static_cast<double>(size), nullptr);
        }
        display.display_progress(false);
        total += static_cast<int>(size);
    }

    display.message(INFO, "Transferred %d blocks, %d total bytes", count, total);
    const aErr err = chip.SetEcho(true);
    if (err != aErrNone) {
        display.message(ERROR, "Recovery Error transfering data to device ==> [%d, %s]", err,
                        aError_GetErrorText(err));
    } else {
        display.message(INFO, "Rebooting Device");
        (void)chip.ExecuteFrom(0);
    }
    return true;
}
