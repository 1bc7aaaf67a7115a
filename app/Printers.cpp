// Version line, rights line, device table, build list, fingerprint and token.
#include "app/Printers.h"

#include <cstdio>

#include "common/aDefs.h"

namespace {

const UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::LEVEL_INFO;

const char* sLinkTypeName(linkType type)
{
    switch (type) {
    case USB: return "USB";
    case TCPIP: return "TCPIP";
    default: return "Unknown";
    }
}

} // namespace

void _display_app_version(UpdaterDisplayInterface& display)
{
    display.message(INFO, "%s (%s)", APP_NAME, APP_VERSION);
}

void _display_rights(UpdaterDisplayInterface& display)
{
    display.message(INFO, "(c) 2026 Veltrane. All rights reserved.");
}

void _display_device_list(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& devices, linkType type)
{
    display.message(INFO, "Discovered Devices: (%s)", sLinkTypeName(type));
    if (devices.empty()) {
        display.message(INFO, "    No devices found.");
        return;
    }
    if (type == USB)
        display.message(INFO, "    Device    Module   Router  Model          Firmware Version (Build)    Device Name");
    else
        display.message(INFO, "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]       "
                              "Device Name");

    for (const DeviceInfo& info : devices) {
        const linkSpec& spec = info.spec;
        const char* model = aDefs_GetModelName(spec.model);
        if (spec.type == TCPIP) {
            const auto* ip = reinterpret_cast<const unsigned char*>(&spec.t.ip.ipAddress);
            char address[32];
            snprintf(address, sizeof address, "[%d.%d.%d.%d]", ip[0], ip[1], ip[2], ip[3]);
            display.message(INFO, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)        %-17s  %s",
                            spec.serialNumber, spec.module, spec.router, model, int(info.major), int(info.minor),
                            int(info.patch), info.build, address, info.deviceName.c_str());
        } else if (info.error != 0) {
            display.message(INFO, "    %08X  [Error (%d): Is someone else connected to this device?]",
                            spec.serialNumber, int(info.error));
        } else {
            display.message(INFO, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)         %s",
                            spec.serialNumber, spec.module, spec.router, model, int(info.major), int(info.minor),
                            int(info.patch), info.build, info.deviceName.c_str());
        }
    }
}

void _display_builds(UpdaterDisplayInterface& display, const BuildList& builds, uint32_t serial, BuildSorter sorter)
{
    if (builds.empty()) {
        display.message(INFO, "No builds found for device [%08X]", serial);
        return;
    }
    BuildOrder rows = sorter ? sorter(builds) : BuildOrder(builds.begin(), builds.end());
    display.message(INFO, "Build List for device [%08X]:\n", serial);
    display.message(INFO, "%-15.15s\t%-15.15s", "Build", "Version");
    for (const auto& [build, version] : rows)
        display.message(INFO, "%-15.15s\t%-15.15s", build.c_str(), version.c_str());
}

void _display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fingerprint)
{
    display.message(INFO, "[ %08X %08X %08X %08X ]", fingerprint.words[0], fingerprint.words[1],
                    fingerprint.words[2], fingerprint.words[3]);
}

void _display_jwt(UpdaterDisplayInterface& display, const std::string& token)
{
    display.message(INFO, "%s", token.c_str());
}
