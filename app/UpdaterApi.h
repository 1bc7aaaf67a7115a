// UpdaterApi: the flows the command line runs, one method per command. The
// command dispatch calls them through this interface; the updater core
// (Updater) implements it and the dispatch tests substitute a recording double.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "common/aLinkSpec.h"
#include "updater/DeviceInfo.h"
#include "updater/Fingerprint.h"

// Build number text -> version text, ordered by the key's text.
using BuildList = std::map<std::string, std::string>;

class UpdaterApi {
  public:
    virtual ~UpdaterApi() = default;

    // Modules on one transport, or on USB then TCP/IP when type is 0.
    virtual std::vector<DeviceInfo> Discover_Devices(linkType type) = 0;
    // Modules behind a router module; type 0 finds the router's transport.
    virtual std::vector<DeviceInfo> Discover_CVNetwork_Devices(uint32_t routerSerial, linkType type) = 0;
    // The build number stored, 0 on failure. An empty build asks for the latest.
    virtual uint32_t Download_Firmware(uint32_t serial, std::string build, bool override, bool noCal) = 0;
    virtual bool Update_Firmware(uint32_t serial, uint32_t build, std::string birdFile, uint8_t moduleAddress,
                                 uint32_t routerSerial, bool override) = 0;
    virtual bool Recover_Firmware(std::string port, uint32_t build, uint32_t baud, uint32_t serial,
                                  std::string birdFile, bool override) = 0;
    virtual bool Get_Fingerprint(Fingerprint& out, std::string port, uint32_t serial, std::string birdFile,
                                 uint32_t baud, bool resetAfter) = 0;
    virtual BuildList Get_BuildList(uint32_t serial) = 0;
    virtual BuildList Get_BuildListLocal(uint32_t serial) = 0;
    // The module's feature token, empty on failure.
    virtual std::string Get_JWT(uint32_t serial) = 0;
    virtual void Set_UEIBytes_Load(bool use) = 0;
};
