// Parsing of a simulator's settings from pairs, files and the command line.
#include "sim/SimOptions.h"

#include <cctype>
#include <fstream>
#include <functional>
#include <map>

namespace modsim {

const char* const kUsage =
    "usage: modsim [--config FILE] [--KEY VALUE | --KEY=VALUE]...\n"
    "keys: transport (tcp|pty-cobs|pty-raw), port, pty-link, log,\n"
    "      serial (hex), model, address, version (M.m.p or number), build, name,\n"
    "      heartbeat-ms, heartbeat-code,\n"
    "      drop-byte, corrupt-byte (POS[:VALUE]), insert-byte (POS:VALUE), garbage (hex),\n"
    "      mute-after, close-after, fault-every-connection (0|1)\n"
    "prints \"listening 127.0.0.1:PORT\" or \"pty PATH\" first on standard output.\n";

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

void applySetting(SimOptions& o, const std::string& key, const std::string& value) {
    auto it = setters().find(key);
    if (it == setters().end()) throw SettingError("unknown setting '" + key + "'");
    it->second(o, key, value);
}

void loadSettingsFile(SimOptions& o, const std::string& path) {
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
        auto eq = line.find('=');
        try {
            if (eq == std::string::npos) throw SettingError("expected key = value");
            applySetting(o, trim(line.substr(0, eq)), trim(line.substr(eq + 1)));
        } catch (const SettingError& e) {
            throw SettingError(path + ":" + std::to_string(lineNo) + ": " + e.what());
        }
    }
}

bool parseCommandLine(SimOptions& o, const std::vector<std::string>& args) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") return false;
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
        if (key == "config")
            loadSettingsFile(o, value);
        else
            applySetting(o, key, value);
    }
    return true;
}

} // namespace modsim
