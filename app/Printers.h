// The command line's printed forms: version and rights lines, usage texts,
// the device table, build lists, fingerprints and feature tokens. Everything
// but the usage text goes through the display; the usage text goes straight
// to standard error. Used by start-up and the command dispatch.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "app/UpdaterApi.h"
#include "app/UpdaterDisplayInterface.h"
#include "common/aLinkSpec.h"
#include "updater/DeviceInfo.h"
#include "updater/Fingerprint.h"

#define APP_NAME_TEXT "Updater"
constexpr const char* APP_NAME = APP_NAME_TEXT;
constexpr const char* APP_VERSION = "Version: 2.12.2 Mar 13 2026";

// A build list in printing order: (build number text, version text) pairs.
using BuildOrder = std::vector<std::pair<std::string, std::string>>;
// Puts a build list into printing order (newest version first).
using BuildSorter = BuildOrder (*)(const BuildList& builds);

void _display_app_version(UpdaterDisplayInterface& display);
void _display_rights(UpdaterDisplayInterface& display);
// The short text always; with full the parameters, commands and samples; with
// full and extended also the extended parameters and commands.
void _display_usage(bool extended, bool full);
void _display_device_list(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& devices, linkType type);
// Without a sorter the list prints in key order.
void _display_builds(UpdaterDisplayInterface& display, const BuildList& builds, uint32_t serial,
                     BuildSorter sorter);
void _display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fingerprint);
void _display_jwt(UpdaterDisplayInterface& display, const std::string& token);
