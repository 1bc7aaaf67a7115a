// Updater flow behind -U: brings a running module to a firmware build over
// its own link, directly (USB, then TCP/IP) or through a router module. It
// chooses the build, loads the BIRD file (load_bird, shared with recovery),
// writes the serial number into generic images, checks the file against the
// module, sends and starts the loader, reconnects once the module has
// restarted into it, sends the firmware, reboots the module and records the
// transfer in the device's settings.
#include <cctype>
#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/Log.h"
#include "app/ServerUrls.h"
#include "common/aDefs.h"
#include "common/aTime.h"
#include "common/aUSBContext.h"
#include "device_api/Module.h"
#include "device_api/SystemClass.h"
#include "updater/BirdFile.h"
#include "updater/UpdateServerRequest.h"
#include "updater/Updater.h"
#include "updater/UpdaterEntity.h"
#include "updater/UpdaterStore.h"

using Veltrane::Corvantis::Module;
using Veltrane::Corvantis::SystemClass;

namespace {

const UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::LEVEL_INFO;
const UpdaterDisplayInterface::Level ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

constexpr int kFirmwareBlockAttempts = 5;
// Reconnection once the module has restarted into its loader.
constexpr int kLoaderReconnectAttempts = 15;
constexpr uint32_t kLoaderReconnectPauseMs = 1000;
// How long the flow watches for the module leaving once its loader starts.
constexpr uint32_t kRestartNoticeMs = 1500;
constexpr uint32_t kRestartPollMs = 20;

// An unsigned decimal build number; 0 for anything else.
uint32_t sBuildNumber(const std::string& text)
{
    if (text.empty() || text.size() > 10)
        return 0;
    uint64_t value = 0;
    for (const char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return 0;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return value > 0xFFFFFFFFull ? 0 : static_cast<uint32_t>(value);
}

// A build recorded in the settings ("124.bird" reads as 124); 0 when unset.
uint32_t sRecordedBuild(KeyValueStore& settings, const char* key)
{
    const int value = settings.GetInt(key, 0);
    return value > 0 ? static_cast<uint32_t>(value) : 0;
}

aErr sConnectDirect(Module& module, uint32_t serial, linkType* used)
{
    *used = USB;
    aErr err = module.connect(USB, serial);
    if (err == aErrNotFound) {
        *used = TCPIP;
        err = module.connect(TCPIP, serial);
    }
    return err;
}

// After the loader starts the module restarts into it. A USB link notices
// the module leaving within moments; a TCP connection that the module closed
// in order still reads as up, so a module reached over TCP/IP is always
// reached anew. True when the module has to be reached anew.
bool sAwaitRestart(Module& module, linkType type)
{
    if (type == TCPIP)
        return true;
    for (uint32_t waited = 0; waited < kRestartNoticeMs; waited += kRestartPollMs) {
        if (!module.isConnected())
            return true;
        aTime_MSSleep(kRestartPollMs);
    }
    return !module.isConnected();
}

} // namespace

BirdFile Updater::load_bird(const char* action, std::string birdFile, uint32_t serial,
                            uint32_t build, bool recovery)
{
    std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, storeRoot, "load_bird");
    if (!store)
        return BirdFile();

    if (!birdFile.empty()) {
        display.message(INFO, "%s from Birdfile: %s", action, birdFile.c_str());
        return BirdFile(birdFile);
    }

    UpdaterStoreItem item = store->AddDevice(serial);
    display.message(INFO, "%s firmware with build: %u", action, build);
    const std::string name = std::to_string(build) + ".bird";
    try {
        return item.ReadBirdFile(name);
    } catch (const std::runtime_error& e) {
        Log::log(DEBUG_Updater, "%s\n", e.what());
        if (!recovery)
            throw std::runtime_error("Error reading birdfile");
    }
    display.message(INFO, "Downloading firmware build %u", build);
    Download_Firmware(serial, std::to_string(build), false, false);
    return item.ReadBirdFile(name);
}

bool Updater::_validate_birdfile(UpdaterDisplayInterface& display, BirdFile& file, Module& module,
                                 uint32_t serial)
{
    if (file.Blocks().empty())
        return false;
    if (!file.HasSerialOffsets() && !file.ValidateSerialNumber(serial))
        return false;

    Log::log(DEBUG_Updater, "UpdateFirmware() Connecting to device\n");
    SystemClass system;
    system.init(&module, 0);
    uint32_t moduleSerial = 0;
    aErr err = system.getSerialNumber(&moduleSerial);
    if (err != aErrNone || moduleSerial != serial) {
        Log::log(DEBUG_Updater, "Bird serial number and connected device don't match (%d).\n", err);
        return false;
    }
    uint8_t model = 0;
    err = system.getModel(&model);
    const char* name = aDefs_GetModelName(model);
    if (!file.ValidateModel(name)) {
        display.message(ERROR, "Connected device model and Bird file model do not match [%s] (%d)",
                        name, err);
        return false;
    }
    return true;
}

aErr Updater::_transfer_loader(UpdaterDisplayInterface& display, Module& module, BirdFile& file)
{
    UpdaterEntity entity;
    entity.init(&module, 0, true, false);
    aErr err = entity.LoaderInit();
    if (err != aErrNone) {
        Log::log(DEBUG_Updater, "Error starting loader [%d, %s].\n", err, aError_GetErrorText(err));
        return err;
    }

    display.message(INFO, "Transferring loader to device");
    const std::vector<BirdBlock> blocks = file.FindBlocks(BLOCK_LOADER);
    const int count = static_cast<int>(blocks.size());
    display.display_progress(true);
    int sent = 0;
    int bytes = 0;
    for (int i = 0; i < count; ++i) {
        const BirdBlock& block = blocks[static_cast<size_t>(i)];
        display.message(INFO, "Transferring loader block %d of %d, %d bytes", i + 1, count,
                        static_cast<int>(block.length));
        uint16_t size = 0;
        err = entity.TransferPrepare(block.data, block.length, block.flags, &size);
        if (err != aErrNone && err != aErrTimeout) {
            Log::log(DEBUG_Updater, "Error Preparing transfer [%d, %s].\n", err,
                     aError_GetErrorText(err));
            break;
        }
        err = entity.LoaderTransfer(block.data, block.length);
        if (err != aErrNone) {
            // A loader missing a block must not be started.
            Log::log(DEBUG_Updater, "Error loader transfer [%d, %s].\n", err,
                     aError_GetErrorText(err));
            break;
        }
        bytes += static_cast<int>(block.length);
        ++sent;
    }
    display.message(INFO, "Transferred %d blocks, %d total bytes", sent, bytes);
    display.display_progress(false);

    if (err == aErrNone) {
        display.message(INFO, "Starting Load on Device");
        err = entity.LoaderStart();
        if (err == aErrTimeout) {
            Log::log(DEBUG_Updater,
                     "Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err.\n");
            err = aErrNone;
        } else if (err != aErrNone) {
            display.message(ERROR, "Error starting loader [%d, %s]", err, aError_GetErrorText(err));
        }
    }
    return err;
}

aErr Updater::_transfer_firmware(UpdaterDisplayInterface& display, Module& module, BirdFile& file,
                                 bool indirect, bool useUEIBytes)
{
    UpdaterEntity entity;
    entity.init(&module, 0, true, indirect);
    if (useUEIBytes && entity.CheckUEIDataSupport() == aErrNone)
        entity.CheckPooledPacketsSupport();

    Log::log(DEBUG_Updater, "Transferring firmware to device %s\n", file.Path().c_str());
    const std::vector<BirdBlock> blocks = file.FindBlocks(BLOCK_FIRMWARE);
    const unsigned count = static_cast<unsigned>(blocks.size());
    aErr err = aErrNone;
    int sent = 0;
    int bytes = 0;
    for (unsigned i = 0; i < count; ++i) {
        const BirdBlock& block = blocks[i];
        for (int attempt = 1; attempt <= kFirmwareBlockAttempts; ++attempt) {
            display.message(INFO, "Transferring firmware block %u of %u, %d bytes", i + 1, count,
                            static_cast<int>(block.length));
            if (attempt > 1)
                display.message(INFO, "  Retry %d", attempt - 1);
            uint16_t size = 0;
            err = entity.TransferPrepare(block.data, block.length, block.flags, &size);
            if (err != aErrNone) {
                Log::log(DEBUG_Updater, "Error firmware transfer init: [%d, %s].\n", err,
                         aError_GetErrorText(err));
                break;
            }
            err = entity.FirmwareTransfer(block.data, block.length, size, display);
            if (err == aErrNone)
                break;
            Log::log(DEBUG_Updater, "Error firmware transfer [%d, %s].\n", err,
                     aError_GetErrorText(err));
        }
        if (err != aErrNone) {
            Log::log(DEBUG_Updater, "Error firmware transfer block failed.\n");
            break;
        }
        bytes += static_cast<int>(block.length);
        ++sent;
    }
    display.message(INFO, "Transferred %d blocks, %d total bytes", sent, bytes);
    if (err == aErrNone)
        err = entity.LoaderReboot(display);
    return err;
}

bool Updater::Update_Firmware(uint32_t serial, uint32_t build, std::string birdFile,
                              uint8_t moduleAddress, uint32_t routerSerial, bool override)
{
    if (serial == 0) {
        display.message(ERROR, "Update command must specify the specific device");
        return false;
    }
    std::unique_ptr<UpdaterStore> store =
        _createUpdaterStore(display, storeRoot, "Update_Firmware");
    if (!store)
        return false;
    UpdaterStoreItem item;
    const bool known = store->FindDevice(serial, &item);
    const uint64_t start = aTime_GetMSTicks();

    // The build: the caller's, else the server's current one when its file
    // is in the store, else the last download, else the last transfer.
    if (birdFile.empty()) {
        if (build == 0) {
            const std::string url = serverUrl.empty() ? UPDATE_SERVER_HTTP_URL : serverUrl;
            std::string buildText, firmware;
            try {
                UpdateServerRequest::QueryBuild(serial, buildText, firmware, url.c_str());
            } catch (const std::exception& e) {
                Log::log(DEBUG_ServerComm, "QueryBuild ==> [%s]\n", e.what());
            }
            build = sBuildNumber(buildText);
            if (build == 0)
                Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", buildText.c_str());
            if (build != 0) {
                try {
                    // A device without a directory has no stored file at all.
                    if (!item.IsValid())
                        throw std::runtime_error("device not in the store");
                    (void)item.ReadBirdFile(std::to_string(build) + ".bird");
                } catch (const std::exception& e) {
                    Log::log(DEBUG_Updater, "%s\n", e.what());
                    display.message(INFO, "New firmware is available.  Updater will proceed if "
                                          "valid firmware is found locally.");
                    build = 0;
                }
            }
        }
        if (build == 0) {
            build = sRecordedBuild(item.settings, "LATEST_DOWNLOAD");
            if (build != 0)
                display.message(INFO, "Updating with the Latest Download");
        }
        if (build == 0) {
            build = sRecordedBuild(item.settings, "LATEST_TRANSFER");
            if (build != 0)
                display.message(INFO, "Updating with the Latest Transfer");
        }
        if (build == 0) {
            (void)item.settings.GetString("LAST_TRANSFER_VERSION", "");
            display.message(ERROR, "Could not find valid build for this device.");
            return false;
        }
    }

    BirdFile file;
    try {
        file = load_bird("Updating", birdFile, serial, build, false);
    } catch (const std::exception& e) {
        Log::log(DEBUG_Updater, "%s\n", e.what());
        display.message(ERROR, "Failed to load bird file");
        return false;
    }

    if (file.HasSerialOffsets()) {
        Log::log(DEBUG_Updater, "Setting serial number into firmware... ");
        if (!file.ReplaceSerialNumber(serial)) {
            Log::log(DEBUG_Updater, "Error: Unable to modify serial number in bird.\n");
            display.message(ERROR, "Unable to set serial number [%08X] into firmware", serial);
            return false;
        }
        Log::log(DEBUG_Updater, " Serial Number inserted into firmware.\n");
    }

    Module target(moduleAddress, 0);
    linkType directType = USB;
    bool connectionError = false;
    aErr err = _disableWeave(target, display);
    if (err != aErrNone) {
        connectionError = true;
    } else if (routerSerial == 0) {
        err = sConnectDirect(target, serial, &directType);
        if (err != aErrNone) {
            display.message(ERROR, "Failed to connect to module [%08X]", serial);
            connectionError = true;
        }
    } else {
        if (moduleAddress == 0) {
            const std::vector<DeviceInfo> found = Discover_CVNetwork_Devices(routerSerial, INVALID);
            if (found.empty()) {
                display.message(ERROR, "Unable to find modules on Network");
                return false;
            }
            uint16_t address = 0;
            for (const DeviceInfo& info : found)
                if (info.spec.serialNumber == serial)
                    address = info.i2cAddress;
            if (address == 0) {
                display.message(ERROR,
                                "Module address required for indirect firmware update, could not "
                                "find serial number [0x%08X] on network",
                                serial);
                return false;
            }
            target.setModuleAddress(static_cast<uint8_t>(address));
        }
        Module router(0, 0);
        linkType routerType = USB;
        aErr routerErr = _disableWeave(router, display);
        if (routerErr == aErrNone)
            routerErr = sConnectDirect(router, routerSerial, &routerType);
        if (routerErr != aErrNone) {
            display.message(ERROR, "Failed to connect to link module [%08X]", routerSerial);
            return false;
        }
        // The router passes the module network's packets to this host only
        // while it is asked to route to it.
        SystemClass routerSystem;
        routerSystem.init(&router, 0);
        const aErr routed = routerSystem.routeToMe(1);
        if (routed != aErrNone)
            Log::log(DEBUG_Updater, "Error %d on route to me\n", routed);
        err = target.connectThroughLinkModule(&router);
        if (err != aErrNone) {
            display.message(ERROR, "Failed to connect to module [%08X]", serial);
            connectionError = true;
        }
    }

    if (!override && !connectionError && !_validate_birdfile(display, file, target, serial)) {
        display.message(ERROR, "Birdfile failed validation");
        return false;
    }

    if (err == aErrNone)
        err = _transfer_loader(display, target, file);
    if (err == aErrNone && routerSerial == 0 && sAwaitRestart(target, directType)) {
        // The module restarted into its loader and came back as a new device
        // on the transport it was reached over.
        target.disconnect();
        for (int attempt = 1; attempt <= kLoaderReconnectAttempts; ++attempt) {
            if (directType == USB && attempt % 3 == 0) {
                Log::log(DEBUG_APP, "Failed enumeration after 3 tries, refreshing libusb context.\n");
                Corvantis_libusb_exit();
            }
            target.discoverAndConnect(directType, serial);
            if (target.isConnected())
                break;
            if (attempt < kLoaderReconnectAttempts)
                aTime_MSSleep(kLoaderReconnectPauseMs);
        }
    }
    if (err == aErrNone)
        err = _transfer_firmware(display, target, file, routerSerial != 0, ueiBytesLoad);

    if (err != aErrNone) {
        Log::log(DEBUG_Updater, "Failed _transfer_firmware(): %d\n", err);
        if (!connectionError)
            display.message(ERROR, "Firmware update of device [%08X] failed [%d, %s]", serial, err,
                            aError_GetErrorText(err));
        return false;
    }

    // Recorded in the device's settings; a device the store did not know yet
    // gets its directory now.
    try {
        if (!known)
            item = store->AddDevice(serial);
        const std::string name = birdFile.empty() ? std::to_string(build) + ".bird" : birdFile;
        item.settings.Add("LATEST_TRANSFER", name);
        item.settings.Add("LAST_TRANSFER_DATE", KeyValueStore::CurrentTime());
        item.settings.Save();
    } catch (const std::exception& e) {
        Log::log(DEBUG_Updater, "Could not record the transfer: %s\n", e.what());
    }
    Log::log(DEBUG_Updater, "Updating device firmware: \n");
    display.message(INFO, "Update time: %.4f sec",
                    static_cast<double>(aTime_GetMSTicks() - start) / 1000.0);
    return true;
}
