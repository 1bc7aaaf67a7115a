// SimOptions: everything one simulator instance is started with (module
// identity, transport, fault plan, log), and the parsers of its settings from
// `key=value` pairs, a settings file and the command line. Keys are the same
// in all three forms; see sim/README.md.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/FaultPlan.h"
#include "sim/ModuleConfig.h"

namespace modsim {

enum class TransportKind { Tcp, PtyCobs, PtyRaw };

struct SimOptions {
    ModuleConfig module;
    FaultPlan faults;
    TransportKind transport = TransportKind::Tcp;
    uint16_t port = 0;   // TCP port on 127.0.0.1; 0 picks a free one
    std::string ptyLink; // optional symlink to the pseudo-terminal
    std::string logPath; // event log file ("-" standard error, "" none)
};

// Thrown for a bad key or value; the message names both.
struct SettingError : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

void applySetting(SimOptions& o, const std::string& key, const std::string& value);
// Lines "key = value"; '#' starts a comment; blank lines are skipped.
// Errors carry "path:line: ".
void loadSettingsFile(SimOptions& o, const std::string& path);
// "--key value", "--key=value", "--config FILE" (applied where it stands).
// Returns false when --help was given.
bool parseCommandLine(SimOptions& o, const std::vector<std::string>& args);

extern const char* const kUsage;

} // namespace modsim
