// Updater: the application object behind every command of the command line.
// It holds the update-server URL, the store root and the display, and offers
// one flow per command. Built once by main; each flow opens the store and
// connects modules for its own duration only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/UpdaterApi.h"
#include "app/UpdaterDisplayInterface.h"
#include "common/aErr.h"
#include "common/aLinkSpec.h"
#include "updater/BirdFile.h"
#include "updater/DeviceInfo.h"
#include "updater/Fingerprint.h"

class UpdaterStore;
namespace Veltrane::Corvantis {
class Module;
}

class Updater : public UpdaterApi {
  public:
    Updater(const char* url, const char* root, UpdaterDisplayInterface& display);
    ~Updater() override;

    Updater(const Updater&) = delete;
    Updater& operator=(const Updater&) = delete;

    void Set_UEIBytes_Load(bool use) override;

    std::vector<DeviceInfo> Discover_Devices(linkType type) override;
    std::vector<DeviceInfo> Discover_CVNetwork_Devices(uint32_t routerSerial, linkType type) override;
    uint32_t Download_Firmware(uint32_t serial, std::string build, bool override, bool noCal) override;
    bool Update_Firmware(uint32_t serial, uint32_t build, std::string birdFile, uint8_t moduleAddress,
                         uint32_t routerSerial, bool override) override;
    bool Recover_Firmware(std::string port, uint32_t build, uint32_t baud, uint32_t serial, std::string birdFile,
                          bool override) override;
    bool Get_Fingerprint(Fingerprint& out, std::string port, uint32_t serial, std::string birdFile, uint32_t baud,
                         bool resetAfter) override;
    BuildList Get_BuildList(uint32_t serial) override;
    BuildList Get_BuildListLocal(uint32_t serial) override;
    std::string Get_JWT(uint32_t serial) override;

    // Opens the store on root for one flow; reports the failure (naming the
    // calling flow) and returns an empty pointer when it cannot be opened.
    static std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display,
                                                             const std::string& root, const char* caller);
    // Discovery helpers. Every Module the updater connects gets
    // _disableWeave first, so it is always reached directly.
    static bool _discovered_device(const linkSpec* spec, bool* taken, void* list);
    static uint32_t _get_build_number(Veltrane::Corvantis::Module& module);
    static aErr _get_version(Veltrane::Corvantis::Module& module, DeviceInfo& info);
    static aErr _get_device_name(Veltrane::Corvantis::Module& module, DeviceInfo& info);
    static linkType _discover_link_type(uint32_t serial);
    static bool _discovered_link(const linkSpec* spec, bool* taken, void* search);
    static aErr _disableWeave(Veltrane::Corvantis::Module& module, UpdaterDisplayInterface& display);
    // True when build is in the server's build list for the module.
    bool _valid_build(uint32_t serial, uint32_t build, const char* url);

    // The BIRD file at birdFile, or the store's file for build when birdFile
    // is empty (recovery downloads it when missing). Throws
    // std::runtime_error when the file cannot be had; an empty BirdFile when
    // the store cannot be opened.
    BirdFile load_bird(const char* action, std::string birdFile, uint32_t serial, uint32_t build,
                       bool recovery);
    // True when the file belongs to the connected module (serial number and
    // model); reports a model mismatch.
    static bool _validate_birdfile(UpdaterDisplayInterface& display, BirdFile& file,
                                   Veltrane::Corvantis::Module& module, uint32_t serial);
    // Sends the loader blocks and starts the loader.
    static aErr _transfer_loader(UpdaterDisplayInterface& display, Veltrane::Corvantis::Module& module,
                                 BirdFile& file);
    // Sends the firmware blocks (five attempts each) and reboots the module.
    static aErr _transfer_firmware(UpdaterDisplayInterface& display,
                                   Veltrane::Corvantis::Module& module, BirdFile& file, bool indirect,
                                   bool useUEIBytes);

    // Recovery through the boot ROM (-N, -U -t RECOVER).
    static bool _get_fingerprint_lpc(const std::string& port, uint32_t baud, Fingerprint& out);
    static bool _get_fingerprint_imx(UpdaterDisplayInterface& display, Updater& updater, const std::string& port,
                                     uint32_t serial, const std::string& birdFile, Fingerprint& out,
                                     bool resetAfter);
    // Loads the loader blocks of image into the i.MX boot ROM's RAM and
    // starts them: aErrNone, aErrNotReady (transport did not open) or
    // aErrConnection (a block was refused).
    static aErr _transfer_recovery_loader(UpdaterDisplayInterface& display, BirdFile& image,
                                          const std::string& port);
    static bool _recover_firmware_lpc(UpdaterDisplayInterface& display, BirdFile& file, const std::string& port,
                                      uint32_t baud, const Fingerprint& fp);
    static bool _recover_firmware_imx(UpdaterDisplayInterface& display, BirdFile& file, uint32_t serial,
                                      bool useUEIBytes);

    std::string serverUrl;
    std::string storeRoot;
    UpdaterDisplayInterface& display;
    uint8_t recoveryChip = 0; // 1 i.MX RT, 2 LPC: chip family of the last fingerprint read
    bool ueiBytesLoad = false;
};
