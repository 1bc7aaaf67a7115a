// Parsing of a simulator's settings from pairs, files and the command line.
#include "sim/SimOptions.h"

#include <arpa/inet.h>

#include <cctype>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <utility>

namespace modsim {

const char* const kUsage =
    "usage: modsim [--config FILE] [--KEY VALUE | --KEY=VALUE]...\n"
    "keys: transport (tcp|pty-cobs|pty-raw), port, pty-link, log,\n"
    "      serial (hex), model, address, version (M.m.p or number), build, name,\n"
    "      heartbeat-ms, heartbeat-code,\n"
    "      drop-byte, corrupt-byte (POS[:VALUE]), insert-byte (POS:VALUE), garbage (hex),\n"
    "      mute-after, close-after, fault-every-connection (0|1),\n"
    "      listen (IPv4), discovery, discovery-reply-size, discovery-repeat,\n"
    "      router, route-default, router-address, behind, build-reply-size, protocol-features,\n"
    "      load-base, block-size, flash-base, flash-size, flash-dump, new-build, new-version,\n"
    "      restart-ms, uei-data, init-reply-size, no-load-reply, short-data, bad-sum,\n"
    "      drop-at-data, never-return (no|load|reboot)\n"
    "      --module starts the next module of a network (a file uses [module] lines)\n"
    "prints one line per module (\"listening ADDRESS:PORT\", \"pty PATH\" or\n"
    "\"behind ADDRESS:PORT module A\") and then \"ready\" on standard output.\n";

namespace {

[[noreturn]] void bad(const std::string& key, const std::string& value, const std::string& why) {
    throw SettingError("bad value '" + value + "' for " + key + ": " + why);
}

uint64_t number(const std::string& key, const std::string& v, uint64_t max, int base = 0) {
    if (v.empty() || v[0] == '-' || v[0] == '+' || std::isspace(static_cast<unsigned char>(v[0])))
        bad(key, v, "expected a number");
    size_t used = 0;
    unsigned long long n = 0;
    try {
        n = std::stoull(v, &used, base);
    } catch (const std::exception&) {
        bad(key, v, "expected a number");
    }
    if (used != v.size()) bad(key, v, "expected a number");
    if (n > max) bad(key, v, "at most " + std::to_string(max));
    return n;
}

std::vector<std::string> splitList(const std::string& v) {
    std::vector<std::string> r;
    size_t start = 0;
    while (start <= v.size()) {
        size_t comma = v.find(',', start);
        if (comma == std::string::npos) comma = v.size();
        std::string item = v.substr(start, comma - start);
        if (!item.empty()) r.push_back(item);
        start = comma + 1;
    }
    return r;
}

std::vector<uint8_t> hexBytes(const std::string& key, const std::string& v) {
    std::string digits;
    for (char c : v) {
        if (c == ' ' || c == ':') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) bad(key, v, "expected hex bytes");
        digits += c;
    }
    if (digits.empty() || digits.size() % 2) bad(key, v, "expected an even number of hex digits");
    std::vector<uint8_t> r;
    for (size_t i = 0; i < digits.size(); i += 2)
        r.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return r;
}

uint32_t versionValue(const std::string& key, const std::string& v) {
    if (v.find('.') == std::string::npos) return static_cast<uint32_t>(number(key, v, 0xFFFFFFFFu));
    unsigned part[3];
    size_t start = 0;
    for (int i = 0; i < 3; ++i) {
        size_t dot = v.find('.', start);
        if ((i < 2) != (dot != std::string::npos)) bad(key, v, "expected MAJOR.MINOR.PATCH");
        part[i] = static_cast<unsigned>(
            number(key, v.substr(start, dot == std::string::npos ? std::string::npos : dot - start),
                   255, 10));
        start = dot + 1;
    }
    return packVersion(part[0], part[1], part[2]);
}

bool flag(const std::string& key, const std::string& v) {
    if (v == "1" || v == "true" || v == "yes" || v == "on") return true;
    if (v == "0" || v == "false" || v == "no" || v == "off") return false;
    bad(key, v, "expected 0 or 1");
}

uint32_t ipv4(const std::string& key, const std::string& v) {
    in_addr a{};
    if (inet_pton(AF_INET, v.c_str(), &a) != 1) bad(key, v, "expected an IPv4 address");
    return ntohl(a.s_addr);
}

using Setter = std::function<void(SimOptions&, const std::string& key, const std::string& v)>;

const std::map<std::string, Setter>& setters() {
    static const std::map<std::string, Setter> m = {
        {"transport",
         [](SimOptions& o, auto& k, auto& v) {
             if (v == "tcp")
                 o.transport = TransportKind::Tcp;
             else if (v == "pty-cobs")
                 o.transport = TransportKind::PtyCobs;
             else if (v == "pty-raw")
                 o.transport = TransportKind::PtyRaw;
             else
                 bad(k, v, "expected tcp, pty-cobs or pty-raw");
         }},
        {"port", [](SimOptions& o, auto& k,
                    auto& v) { o.port = static_cast<uint16_t>(number(k, v, 65535)); }},
        {"pty-link", [](SimOptions& o, auto&, auto& v) { o.ptyLink = v; }},
        {"log", [](SimOptions& o, auto&, auto& v) { o.logPath = v; }},
        {"serial",
         [](SimOptions& o, auto& k, auto& v) {
             std::string s =
                 (v.size() > 2 && v[0] == '0' && (v[1] == 'x' || v[1] == 'X')) ? v.substr(2) : v;
             o.module.serial = static_cast<uint32_t>(number(k, s, 0xFFFFFFFFu, 16));
             if (o.module.serial == 0) bad(k, v, "a module's serial number is never 0");
         }},
        {"model", [](SimOptions& o, auto& k,
                     auto& v) { o.module.model = static_cast<uint8_t>(number(k, v, 255)); }},
        {"address",
         [](SimOptions& o, auto& k, auto& v) {
             auto a = number(k, v, 254);
             if (a == 0 || (a & 1)) bad(k, v, "a module address is even and non-zero");
             o.module.address = static_cast<uint8_t>(a);
         }},
        {"version", [](SimOptions& o, auto& k, auto& v) { o.module.version = versionValue(k, v); }},
        {"build",
         [](SimOptions& o, auto& k, auto& v) {
             o.module.build = static_cast<uint32_t>(number(k, v, 0xFFFFFFFFu));
         }},
        {"name",
         [](SimOptions& o, auto& k, auto& v) {
             if (v.size() > 255) bad(k, v, "at most 255 bytes");
             o.module.name = v;
         }},
        {"heartbeat-ms",
         [](SimOptions& o, auto& k, auto& v) {
             o.module.heartbeatMs = static_cast<unsigned>(number(k, v, 3600000));
         }},
        {"heartbeat-code",
         [](SimOptions& o, auto& k, auto& v) {
             o.module.heartbeatCode = static_cast<uint8_t>(number(k, v, 1));
         }},
        {"drop-byte",
         [](SimOptions& o, auto& k, auto& v) {
             for (auto& item : splitList(v))
                 o.faults.dropBytes.push_back(number(k, item, UINT64_MAX));
         }},
        {"corrupt-byte",
         [](SimOptions& o, auto& k, auto& v) {
             for (auto& item : splitList(v)) {
                 auto colon = item.find(':');
                 uint64_t pos = number(k, item.substr(0, colon), UINT64_MAX);
                 int val = colon == std::string::npos
                               ? -1
                               : static_cast<int>(number(k, item.substr(colon + 1), 255));
                 o.faults.corruptBytes.emplace_back(pos, val);
             }
         }},
        {"insert-byte",
         [](SimOptions& o, auto& k, auto& v) {
             for (auto& item : splitList(v)) {
                 auto colon = item.find(':');
                 if (colon == std::string::npos) bad(k, v, "expected POSITION:VALUE");
                 o.faults.insertBytes.emplace_back(
                     number(k, item.substr(0, colon), UINT64_MAX),
                     static_cast<uint8_t>(number(k, item.substr(colon + 1), 255)));
             }
         }},
        {"garbage", [](SimOptions& o, auto& k, auto& v) { o.faults.garbage = hexBytes(k, v); }},
        {"mute-after",
         [](SimOptions& o, auto& k, auto& v) { o.faults.muteAfter = number(k, v, UINT64_MAX); }},
        {"close-after",
         [](SimOptions& o, auto& k, auto& v) {
             auto n = number(k, v, UINT64_MAX);
             if (n == 0) bad(k, v, "at least 1");
             o.faults.closeAfter = n;
         }},
        {"fault-every-connection",
         [](SimOptions& o, auto& k, auto& v) { o.faults.everyConnection = flag(k, v); }},
        {"listen", [](SimOptions& o, auto& k, auto& v) { o.listen = ipv4(k, v); }},
        {"discovery", [](SimOptions& o, auto& k, auto& v) { o.discovery = flag(k, v); }},
        {"discovery-reply-size",
         [](SimOptions& o, auto& k, auto& v) {
             auto n = number(k, v, 16);
             if (n < 8) bad(k, v, "at least 8");
             o.discoveryReplySize = static_cast<uint8_t>(n);
         }},
        {"discovery-repeat",
         [](SimOptions& o, auto& k, auto& v) {
             o.discoveryRepeat = static_cast<unsigned>(number(k, v, 16));
         }},
        {"router", [](SimOptions& o, auto& k, auto& v) { o.module.router = flag(k, v); }},
        {"route-default",
         [](SimOptions& o, auto& k, auto& v) { o.module.routeDefault = flag(k, v); }},
        {"router-address",
         [](SimOptions& o, auto& k, auto& v) {
             auto a = number(k, v, 254);
             if (a & 1) bad(k, v, "a module address is even");
             o.module.routerAddress = static_cast<uint8_t>(a);
         }},
        {"behind", [](SimOptions& o, auto& k, auto& v) { o.behind = flag(k, v); }},
        {"build-reply-size",
         [](SimOptions& o, auto& k, auto& v) {
             auto n = number(k, v, 6);
             if (n < 2) bad(k, v, "at least 2");
             o.module.buildReplySize = static_cast<uint8_t>(n);
         }},
        {"protocol-features",
         [](SimOptions& o, auto& k, auto& v) {
             o.module.protocolFeatures = static_cast<uint32_t>(number(k, v, 0xFFFFFFFFu));
         }},
        {"load-base",
         [](SimOptions& o, auto& k, auto& v) {
             o.module.upgrade.loadBase = static_cast<uint32_t>(number(k, v, 0xFFFFFFFFu));
         }},
        {"block-size",
         [](SimOptions& o, auto& k, auto& v) {
             o.module.upgrade.blockSize = static_cast<uint16_t>(number(k, v, 65535));
         }},
        {"flash-base",
         [](SimOptions& o, auto& k, auto& v) {
             o.module.upgrade.flashBase = static_cast<uint32_t>(number(k, v, 0xFFFFFFFFu));
         }},
        {"flash-size",
         [](SimOptions& o, auto& k, auto& v) {
             auto n = number(k, v, 64u << 20);
             if (n == 0) bad(k, v, "at least 1");
             o.module.upgrade.flashSize = static_cast<uint32_t>(n);
         }},
        {"flash-dump", [](SimOptions& o, auto&, auto& v) { o.module.upgrade.flashDump = v; }},
        {"new-build",
         [](SimOptions& o, auto& k, auto& v) {
             o.module.upgrade.newBuild = static_cast<uint32_t>(number(k, v, 0xFFFFFFFFu));
         }},
        {"new-version",
         [](SimOptions& o, auto& k, auto& v) { o.module.upgrade.newVersion = versionValue(k, v); }},
        {"restart-ms",
         [](SimOptions& o, auto& k, auto& v) {
             o.module.upgrade.restartMs = static_cast<unsigned>(number(k, v, 60000));
         }},
        {"uei-data", [](SimOptions& o, auto& k, auto& v) { o.module.upgrade.ueiData = flag(k, v); }},
        {"init-reply-size",
         [](SimOptions& o, auto& k, auto& v) {
             auto n = number(k, v, 6);
             if (n < 2) bad(k, v, "at least 2");
             o.module.upgrade.initReplySize = static_cast<uint8_t>(n);
         }},
        {"no-load-reply",
         [](SimOptions& o, auto& k, auto& v) { o.module.upgrade.noLoadReply = flag(k, v); }},
        {"short-data",
         [](SimOptions& o, auto& k, auto& v) { o.module.upgrade.shortData = number(k, v, UINT64_MAX); }},
        {"bad-sum",
         [](SimOptions& o, auto& k, auto& v) { o.module.upgrade.badSum = number(k, v, UINT64_MAX); }},
        {"drop-at-data",
         [](SimOptions& o, auto& k, auto& v) { o.module.upgrade.dropAtData = number(k, v, UINT64_MAX); }},
        {"never-return",
         [](SimOptions& o, auto& k, auto& v) {
             if (v == "no")
                 o.module.upgrade.neverReturn = NeverReturn::No;
             else if (v == "load")
                 o.module.upgrade.neverReturn = NeverReturn::AfterLoad;
             else if (v == "reboot")
                 o.module.upgrade.neverReturn = NeverReturn::AfterReboot;
             else
                 bad(k, v, "expected no, load or reboot");
         }},
    };
    return m;
}

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

} // namespace

std::string ipText(uint32_t hostOrder) {
    in_addr a{};
    a.s_addr = htonl(hostOrder);
    char buf[INET_ADDRSTRLEN];
    return inet_ntop(AF_INET, &a, buf, sizeof buf) ? buf : "?";
}

void applySetting(SimOptions& o, const std::string& key, const std::string& value) {
    auto it = setters().find(key);
    if (it == setters().end()) throw SettingError("unknown setting '" + key + "'");
    it->second(o, key, value);
}

namespace {

// Hands each meaningful line of a settings file (comments and blank lines
// dropped, trimmed) to takeLine; its errors name the file and line.
void forEachSettingLine(const std::string& path, const std::function<void(const std::string&)>& takeLine) {
    std::ifstream in(path);
    if (!in) throw SettingError("cannot read settings file " + path);
    std::string line;
    int lineNo = 0;
    while (std::getline(in, line)) {
        ++lineNo;
        auto hash = line.find('#');
        if (hash != std::string::npos) line.erase(hash);
        line = trim(line);
        if (line.empty()) continue;
        try {
            takeLine(line);
        } catch (const SettingError& e) {
            throw SettingError(path + ":" + std::to_string(lineNo) + ": " + e.what());
        }
    }
}

} // namespace

void loadSettingsFile(SimOptions& o, const std::string& path) {
    forEachSettingLine(path, [&](const std::string& line) {
        auto eq = line.find('=');
        if (eq == std::string::npos) throw SettingError("expected key = value");
        applySetting(o, trim(line.substr(0, eq)), trim(line.substr(eq + 1)));
    });
}

namespace {

// The setting at args[i], given as "--key=value" or as "--key value" (then i
// moves on to the value).
std::pair<std::string, std::string> optionAt(const std::vector<std::string>& args, size_t& i) {
    const std::string& a = args[i];
    if (a.rfind("--", 0) != 0 || a.size() == 2)
        throw SettingError("unexpected argument '" + a + "'");
    std::string key = a.substr(2), value;
    auto eq = key.find('=');
    if (eq != std::string::npos) {
        value = key.substr(eq + 1);
        key.erase(eq);
    } else {
        if (i + 1 >= args.size()) throw SettingError("missing value for --" + key);
        value = args[++i];
    }
    return {key, value};
}

} // namespace

bool parseCommandLine(SimOptions& o, const std::vector<std::string>& args) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") return false;
        const auto [key, value] = optionAt(args, i);
        if (key == "config")
            loadSettingsFile(o, value);
        else
            applySetting(o, key, value);
    }
    return true;
}

namespace {

// Builds a network: keys go to the shared defaults until the first module
// section, then to the module last opened.
class NetworkParser {
public:
    explicit NetworkParser(SimNetwork& n) : n_(n) {}

    void apply(const std::string& key, const std::string& value) {
        applySetting(n_.modules.empty() ? defaults_ : n_.modules.back(), key, value);
    }
    void section() { n_.modules.push_back(defaults_); }

    void file(const std::string& path) {
        forEachSettingLine(path, [&](const std::string& line) {
            if (line == "[module]") {
                section();
                return;
            }
            auto eq = line.find('=');
            if (eq == std::string::npos) throw SettingError("expected key = value or [module]");
            apply(trim(line.substr(0, eq)), trim(line.substr(eq + 1)));
        });
    }

    void finish() {
        if (n_.modules.empty()) n_.modules.push_back(defaults_);
        bool haveRouter = false;
        std::set<uint8_t> onNetwork;
        std::set<std::pair<uint32_t, uint16_t>> listeners;
        std::set<std::string> ptyLinks;
        for (size_t i = 0; i < n_.modules.size(); ++i) {
            const SimOptions& m = n_.modules[i];
            const std::string which = "module " + std::to_string(i + 1) + ": ";
            if (m.behind) {
                if (!haveRouter) throw SettingError(which + "behind needs a router before it");
                if (m.module.router)
                    throw SettingError(which + "a module behind a router is no router");
                if (!onNetwork.insert(m.module.address).second)
                    throw SettingError(which + "address " + std::to_string(m.module.address) +
                                       " is taken on this module network");
                continue;
            }
            haveRouter = m.module.router;
            onNetwork = {m.module.address};
            if (m.transport == TransportKind::Tcp && m.port != 0 &&
                !listeners.insert({m.listen, m.port}).second)
                throw SettingError(which + "listener " + ipText(m.listen) + ":" +
                                   std::to_string(m.port) + " is taken");
            if (!m.ptyLink.empty() && !ptyLinks.insert(m.ptyLink).second)
                throw SettingError(which + "pty-link " + m.ptyLink + " is taken");
        }
    }

private:
    SimNetwork& n_;
    SimOptions defaults_;
};

} // namespace

bool parseNetworkCommandLine(SimNetwork& n, const std::vector<std::string>& args) {
    NetworkParser p(n);
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") return false;
        if (a == "--module") {
            p.section();
            continue;
        }
        const auto [key, value] = optionAt(args, i);
        if (key == "config")
            p.file(value);
        else
            p.apply(key, value);
    }
    p.finish();
    return true;
}

void loadNetworkFile(SimNetwork& n, const std::string& path) {
    NetworkParser p(n);
    p.file(path);
    p.finish();
}

} // namespace modsim
