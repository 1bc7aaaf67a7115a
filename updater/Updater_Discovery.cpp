// The discovery flows of Updater (-D and -D -r): modules found on USB and
// TCP/IP, or behind a router module on its I2C module network, each read for
// build, version and name into a DeviceInfo record. Also the helpers other
// flows share for reaching a module: _disableWeave and the build, version and
// name reads. Discovery only reads modules; it writes nothing to the store.
#include <cstring>
#include <memory>

#include "app/Log.h"
#include "common/aDefs.h"
#include "common/aDiscovery.h"
#include "common/aVersion.h"
#include "device_api/I2CClass.h"
#include "device_api/Module.h"
#include "device_api/SystemClass.h"
#include "updater/Updater.h"

using Veltrane::Corvantis::aWeaveConfig;
using Veltrane::Corvantis::I2CClass;
using Veltrane::Corvantis::Link;
using Veltrane::Corvantis::Module;
using Veltrane::Corvantis::SystemClass;

namespace {

constexpr uint32_t kEveryInterface = 0x0100007F; // 127.0.0.1 as held in a socket address
constexpr uint8_t kDefaultAddress = 2;
constexpr uint8_t kCmdBuild = 0x49;
constexpr uint8_t kBuildQuery = 0xFF;
constexpr uint8_t kNameBuffer = 32;
constexpr uint8_t kScanSpeed = 3;
constexpr uint8_t kFirstScanAddress = 2;
constexpr uint8_t kLastScanAddress = 252;

const UpdaterDisplayInterface::Level ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

struct LinkSearch {
    uint32_t serial;
    linkType type;
};

} // namespace

aErr Updater::_disableWeave(Module& module, UpdaterDisplayInterface& display)
{
    aWeaveConfig config;
    config.enabled = false;
    config.fallback = false;
    config.localOnly = true;
    const aErr err = module.setConfig(config);
    if (err != aErrNone)
        display.message(ERROR, "Failed to SET network configuration");
    return err;
}

bool Updater::_discovered_device(const linkSpec* spec, bool* taken, void* list)
{
    DeviceInfo info;
    info.spec = *spec;
    static_cast<std::vector<DeviceInfo>*>(list)->push_back(std::move(info));
    *taken = true;
    return true;
}

uint32_t Updater::_get_build_number(Module& module)
{
    Link* link = module.getLink();
    if (!link)
        return 0;
    const uint8_t address = module.getModuleAddress();
    const uint8_t query[] = {kBuildQuery};
    if (link->sendPacket(address, kCmdBuild, sizeof query, query) != aErrNone)
        return 0;
    const uint8_t match[] = {kCmdBuild, kBuildQuery};
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t length = sizeof match;
    if (link->receivePacket(address, match, &length, reply) != aErrNone || length != 6)
        return 0;
    return static_cast<uint32_t>(reply[2]) << 24 | static_cast<uint32_t>(reply[3]) << 16
        | static_cast<uint32_t>(reply[4]) << 8 | reply[5];
}

aErr Updater::_get_version(Module& module, DeviceInfo& info)
{
    SystemClass system;
    system.init(&module, 0);
    uint32_t version = 0;
    if (const aErr err = system.getVersion(&version))
        return err;
    info.major = aVersion_ParseMajor(version);
    info.minor = aVersion_ParseMinor(version);
    info.patch = aVersion_ParsePatch(version);
    uint8_t address = 0;
    if (const aErr err = system.getModule(&address))
        return err;
    info.spec.module = address;
    const aErr err = system.getRouter(&address);
    if (err == aErrNone)
        info.spec.router = address;
    return err;
}

aErr Updater::_get_device_name(Module& module, DeviceInfo& info)
{
    if (!aVersion_IsAtLeastCompare(info.major, info.minor, static_cast<uint8_t>(info.patch), 2, 10, 4))
        return aErrNone;
    SystemClass system;
    system.init(&module, 0);
    uint8_t name[kNameBuffer];
    uint64_t length = 0;
    const aErr err = system.getName(name, sizeof name, &length);
    if (err == aErrNone)
        info.deviceName.assign(reinterpret_cast<const char*>(name), length);
    return err;
}

bool Updater::_discovered_link(const linkSpec* spec, bool* taken, void* search)
{
    auto* s = static_cast<LinkSearch*>(search);
    *taken = true;
    if (spec->serialNumber != s->serial)
        return true;
    Log::log(DEBUG_Network, "NETWORK: Found device [%08X] via link type [%d]\n", spec->serialNumber,
             static_cast<int>(spec->type));
    s->type = spec->type;
    return false;
}

linkType Updater::_discover_link_type(uint32_t serial)
{
    LinkSearch search{serial, INVALID};
    if (aDiscovery_EnumerateModules(USB, _discovered_link, &search, kEveryInterface) == 0)
        aDiscovery_EnumerateModules(TCPIP, _discovered_link, &search, kEveryInterface);
    return search.type;
}

std::vector<DeviceInfo> Updater::Discover_Devices(linkType type)
{
    std::vector<DeviceInfo> list;
    const std::vector<linkType> types = type == INVALID ? std::vector<linkType>{USB, TCPIP} : std::vector{type};
    for (linkType t : types)
        aDiscovery_EnumerateModules(t, _discovered_device, &list, kEveryInterface);

    for (DeviceInfo& info : list) {
        info.modelName = aDefs_GetModelName(info.spec.model);
        Module module(kDefaultAddress, static_cast<uint8_t>(0));
        if (_disableWeave(module, display) != aErrNone)
            continue;
        info.error = module.connectFromSpec(info.spec);
        if (info.error == aErrNone) {
            info.build = _get_build_number(module);
            info.error = _get_version(module, info);
            if (info.error == aErrNone)
                info.error = _get_device_name(module, info);
        }
        module.disconnect();
    }
    return list;
}

std::vector<DeviceInfo> Updater::Discover_CVNetwork_Devices(uint32_t routerSerial, linkType type)
{
    std::vector<DeviceInfo> list;
    if (type == INVALID)
        type = _discover_link_type(routerSerial);
    // A router nobody answers for leaves type 0, which finds nothing.
    std::unique_ptr<linkSpec, void (*)(linkSpec*)> found(aDiscovery_FindModule(type, routerSerial, kEveryInterface),
                                                         [](linkSpec* s) { aLinkSpec_Destroy(&s); });
    if (!found)
        return list;

    Log::log(DEBUG_Updater, "Found Link Module");
    Module router(kDefaultAddress, static_cast<uint8_t>(0));
    if (_disableWeave(router, display) != aErrNone)
        return list;
    if (const aErr err = router.connectFromSpec(*found)) {
        display.message(ERROR, "Error %d on connectFromSpec", static_cast<int>(err));
        router.disconnect();
        return list;
    }

    SystemClass routerSystem;
    routerSystem.init(&router, 0);
    if (const aErr err = routerSystem.routeToMe(1)) {
        display.message(ERROR, "Error %d on route to me", static_cast<int>(err));
        router.disconnect();
        return list;
    }

    I2CClass i2c;
    i2c.init(&router, 0);
    i2c.setSpeed(kScanSpeed);
    const uint8_t routerAddress = router.getModuleAddress();
    for (unsigned a = kFirstScanAddress; a <= kLastScanAddress; a += 2) {
        const auto address = static_cast<uint8_t>(a);
        if (address == routerAddress)
            continue;
        Log::log(DEBUG_Updater, "Searching Address 0x%02x\n", address);
        const uint8_t probe[2] = {0, 0};
        if (i2c.write(address, sizeof probe, probe) != aErrNone)
            continue;

        Log::log(DEBUG_Updater, "Attempt Connect on address: 0x%02x\n", address);
        Module module(address, false, static_cast<uint8_t>(0));
        _disableWeave(module, display);
        if (module.connectThroughLinkModule(&router) != aErrNone) {
            module.disconnect();
            continue;
        }
        SystemClass system;
        system.init(&module, 0);
        uint32_t serial = 0;
        if (system.getSerialNumber(&serial) != aErrNone) {
            module.disconnect();
            continue;
        }

        Log::log(DEBUG_Updater, "Got Serial [0x%08X]\n", serial);
        DeviceInfo info;
        std::memcpy(&info.spec.t, &found->t, sizeof info.spec.t);
        info.spec.type = found->type;
        info.spec.serialNumber = serial;
        info.spec.router = routerAddress;
        info.spec.routerSerialNumber = routerSerial;
        info.i2cAddress = address;
        info.build = _get_build_number(module);
        info.error = _get_version(module, info);
        uint8_t model = 0;
        if (const aErr err = system.getModel(&model)) {
            info.error = err;
        } else {
            info.spec.model = model;
            info.modelName = aDefs_GetModelName(model);
        }
        module.disconnect();
        list.push_back(std::move(info));
    }

    routerSystem.routeToMe(0);
    router.disconnect();
    return list;
}
