// The command dispatch (see CommandDispatch.h).
#include "app/CommandDispatch.h"

#include <string>

#include "app/CommandLine.h"
#include "updater/Fingerprint.h"

namespace {

const UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::LEVEL_INFO;
const UpdaterDisplayInterface::Level ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

int sFinish(Parameters& params, int status)
{
    _release_params(&params);
    return status;
}

// -B, -L and -J need a device; without one they also show the short usage.
bool sHaveDevice(Parameters& params, UpdaterDisplayInterface& display, const char* command)
{
    if (params.deviceSerial != 0)
        return true;
    display.message(ERROR, "Error must supply a serial number for the %s command", command);
    _display_usage(false, false);
    return false;
}

int sDiscover(Parameters& params, UpdaterApi& updater, UpdaterDisplayInterface& display)
{
    linkType type = INVALID;
    if (params.transportGiven && params.transport != TRANSPORT_RECOVER)
        type = static_cast<linkType>(params.transport);
    if (params.routerSerial != 0) {
        display.message(INFO, "Searching for Corvantis Network devices connected to %08X", params.routerSerial);
        _display_device_list(display, updater.Discover_CVNetwork_Devices(params.routerSerial, type), type);
    } else {
        display.message(INFO, "Searching for Corvantis devices");
        if (type == INVALID)
            type = USB;
        _display_device_list(display, updater.Discover_Devices(type), type);
    }
    return 0;
}

int sUpdate(Parameters& params, UpdaterApi& updater, UpdaterDisplayInterface& display)
{
    char* end = nullptr;
    uint32_t build = _get_int_arg(params.buildNumber.c_str(), &end);
    updater.Set_UEIBytes_Load(params.useUEIBytes);
    bool done;
    if (params.transport == TRANSPORT_RECOVER) {
        done = updater.Recover_Firmware(params.serialPort, build, params.baudRate, params.deviceSerial,
                                        params.birdFile, params.override);
    } else {
        if (params.deviceSerial == 0) {
            display.message(ERROR, "Must specify the specific device to be updated");
            return 1;
        }
        done = updater.Update_Firmware(params.deviceSerial, build, params.birdFile, params.moduleAddress,
                                       params.routerSerial, params.override);
    }
    return done ? 0 : 1;
}

} // namespace

int _run_commands(Parameters& params, UpdaterApi& updater, UpdaterDisplayInterface& display, BuildSorter sorter)
{
    int result = 0;

    if (params.commands.IsSet(CMD_FINGERPRINT)) {
        if (params.serialPort.empty()) {
            display.message(ERROR, "Must specify the serial port used for connecting");
            return sFinish(params, 1);
        }
        Fingerprint fingerprint;
        if (updater.Get_Fingerprint(fingerprint, params.serialPort, DEFAULT_RECOVERY_SERIAL, params.birdFile,
                                    params.baudRate, true)) {
            _display_fingerprint(display, fingerprint);
        } else {
            display.message(ERROR, "Got no response from chip");
            result = 1;
        }
    }

    if (params.commands.IsSet(CMD_GET_BUILD)) {
        if (params.deviceSerial == 0) {
            display.message(ERROR, "-G must specify a specific device via -d");
            display.message(ERROR, "--help for usage information");
            return sFinish(params, 1);
        }
        display.message(INFO, "Retrieving firmware for device with serial number %08X", params.deviceSerial);
        if (params.buildNumber.empty()) {
            display.message(INFO, "No build specified");
            display.message(INFO, "Using Latest build");
        } else {
            display.message(INFO, "Retrieving firmware build %s", params.buildNumber.c_str());
        }
        uint32_t stored = updater.Download_Firmware(params.deviceSerial, params.buildNumber, params.override, false);
        if (stored != 0) {
            params.buildNumber = std::to_string(stored);
            result = 0;
        } else {
            result = 1;
        }
    }

    if (params.commands.IsSet(CMD_DISCOVER))
        return sFinish(params, sDiscover(params, updater, display));

    if (params.commands.IsSet(CMD_UPDATE))
        return sFinish(params, sUpdate(params, updater, display));

    if (params.commands.IsSet(CMD_LIST_BUILDS)) {
        if (!sHaveDevice(params, display, "List Builds"))
            return sFinish(params, 1);
        _display_builds(display, updater.Get_BuildList(params.deviceSerial), params.deviceSerial, sorter);
        return sFinish(params, 0);
    }

    if (params.commands.IsSet(CMD_LIST_LOCAL_BUILDS)) {
        if (!sHaveDevice(params, display, "List Local Builds"))
            return sFinish(params, 1);
        _display_builds(display, updater.Get_BuildListLocal(params.deviceSerial), params.deviceSerial, sorter);
        return sFinish(params, 0);
    }

    if (params.commands.IsSet(CMD_GET_JWT)) {
        if (!sHaveDevice(params, display, "Get JWT"))
            return sFinish(params, 1);
        _display_jwt(display, updater.Get_JWT(params.deviceSerial));
        return sFinish(params, 0);
    }

    // Only -N, -G, -I, -C or -Z: -I, -C and -Z do nothing of their own.
    return sFinish(params, result);
}
