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
    uint32_t listen = 0x7F000001;    // IPv4 address (host order) the TCP listener binds to
    uint16_t port = 0;               // TCP port; 0 picks a free one
    bool discovery = false;          // answer TCP/IP discovery (needs a non-loopback address)
    uint8_t discoveryReplySize = 16; // bytes of a discovery reply (less is a fault)
    unsigned discoveryRepeat = 1;    // replies per request
    bool behind = false;             // on the module network of the preceding router, no transport
    std::string ptyLink;             // optional symlink to the pseudo-terminal
    std::string logPath;             // event log file ("-" standard error, "" none)
};

// Several modules in one configuration: keys before the first "[module]"
// line of a file (or "--module" on the command line) are shared by every
// module; each section starts a module from them.
struct SimNetwork {
    std::vector<SimOptions> modules;
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

// The same for a configuration of several modules. Checks it: a module
// "behind" needs a router before it, addresses on one module network differ,
// and two listeners never share an address and port.
bool parseNetworkCommandLine(SimNetwork& n, const std::vector<std::string>& args);
void loadNetworkFile(SimNetwork& n, const std::string& path);

std::string ipText(uint32_t hostOrder);

extern const char* const kUsage;

} // namespace modsim
