// UpdateServerRequest: the six update-server questions, their answer parsers
// and the version ordering of build lists. See UpdateServerRequest.h.
#include "updater/UpdateServerRequest.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <stdexcept>
#include <tuple>

#include "app/Log.h"
#include "app/ServerUrls.h"
#include "updater/HTTPRequest.h"

namespace {

std::string sSerial(uint32_t serial) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", serial);
    return text;
}

// The text up to the first of the given characters.
std::string sCut(const std::string& text, const char* stops) {
    return text.substr(0, text.find_first_of(stops));
}

bool sBeginsOk(const std::vector<std::string>& lines) {
    return !lines.empty() && lines[0].compare(0, 2, "ok") == 0;
}

// An unsigned 32-bit number at the start of text (strtoul rules, in the given
// base). Empty when no digit was read or the value does not fit 32 bits.
std::optional<uint32_t> sNumber(const std::string& text, int base) {
    const char* start = text.c_str();
    char* end = nullptr;
    errno = 0;
    // A sign would let strtoul wrap a negative value silently.
    const char* p = start;
    while (*p == ' ' || *p == '\t') ++p;
    if (*p == '-' || *p == '+') return std::nullopt;
    const unsigned long long value = std::strtoull(start, &end, base);
    if (end == start || errno == ERANGE || value > 0xFFFFFFFFull) return std::nullopt;
    return static_cast<uint32_t>(value);
}

// Common course of a question: GET, status check, answer check. Returns the
// body of a status-200 answer, or nothing after tracing the failure.
std::optional<HTTPResponse> sAsk(const char* name, const char* url, const HTTPRequest::Parameters& params) {
    HTTPResponse response;
    try {
        response = HTTPRequest::GET(url ? url : UPDATE_SERVER_HTTP_URL, params);
    } catch (const std::exception& e) {
        Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", name, e.what());
        return std::nullopt;
    }
    if (response.get_status() != 200) {
        if (std::string(name) == "ping")
            Log::log(DEBUG_ServerComm, "PING ==> [%d] [%s]\n", static_cast<int>(response.get_status()),
                     response.get_response().c_str());
        else
            Log::log(DEBUG_ServerComm, "%s ==> [%d] [%s]\n", name, static_cast<int>(response.get_status()),
                     response.get_response().c_str());
        return std::nullopt;
    }
    return response;
}

bool sRefused(const char* name, const HTTPResponse& response) {
    Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", name, response.get_request().c_str());
    return false;
}

// A version split into three numbers, or nothing when it is not of that form.
std::optional<std::tuple<int, int, int>> sVersionNumbers(const std::string& version) {
    const auto parts = UpdateServerRequest::SplitCorvantisVersion(version);
    if (parts.size() != 3) return std::nullopt;
    int numbers[3];
    try {
        for (size_t i = 0; i < 3; ++i) {
            numbers[i] = std::stoi(parts[i]);
            if (numbers[i] < 0) throw std::invalid_argument("negative part in " + version);
        }
    } catch (const std::exception& e) {
        Log::log(DEBUG_ServerComm, "%s: Exception converting version: %s\n", "_sortVersion", e.what());
        return std::nullopt;
    }
    return std::make_tuple(numbers[0], numbers[1], numbers[2]);
}

}  // namespace

namespace {

// The first `limit` lines of a body, split as SplitLines does. Answers that
// need only their first lines do not copy the rest (a BIRD file's text can
// run to megabytes).
std::vector<std::string> sFirstLines(const std::string& body, size_t limit) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < body.size() && lines.size() < limit) {
        size_t end = body.find('\n', start);
        if (end == std::string::npos) end = body.size();
        if (end > start) lines.push_back(body.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

}  // namespace

std::vector<std::string> UpdateServerRequest::SplitLines(const std::string& body) {
    return sFirstLines(body, body.size());
}

std::string UpdateServerRequest::FingerprintParameter(const Fingerprint& fp) {
    char text[64];
    std::snprintf(text, sizeof text, "%08X%%20%08X%%20%08X%%20%08X", fp.words[0], fp.words[1], fp.words[2],
                  fp.words[3]);
    return text;
}

// ---- answer parsers ----

bool UpdateServerRequest::ParsePing(const std::string& body) { return sBeginsOk(sFirstLines(body, 1)); }

bool UpdateServerRequest::ParseQueryBuild(const std::string& body, std::string& build, std::string& firmware) {
    const auto lines = sFirstLines(body, 3);
    if (!sBeginsOk(lines)) return false;
    if (lines.size() > 1) build = sCut(lines[1], "\r");
    if (lines.size() > 2) firmware = sCut(lines[2], "\r\n");
    return true;
}

bool UpdateServerRequest::ParseGetBuild(const std::string& body, std::string& base64) {
    auto lines = sFirstLines(body, 2);
    if (!sBeginsOk(lines)) return false;
    base64.clear();
    if (lines.size() > 1) {
        base64 = std::move(lines[1]);
        base64.erase(std::min(base64.find('\r'), base64.size()));
    }
    return true;
}

bool UpdateServerRequest::ParseGetBuildList(const std::string& body, BuildList& builds) {
    builds.clear();
    const auto lines = SplitLines(body);
    if (!sBeginsOk(lines)) return false;
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (line.size() < 3) continue;
        Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetBuildList", line.c_str());
        const size_t semicolon = line.find(';');
        const std::string build = sCut(line, ";\r\n");
        const std::string version =
            semicolon == std::string::npos || line.find_first_of("\r\n") < semicolon
                ? std::string()
                : sCut(line.substr(semicolon + 1), ";\r\n");
        // An entry without a build number names nothing that could be fetched.
        if (build.empty()) continue;
        Log::log(DEBUG_ServerComm, "%s [%.10s][%.10s]\n", "GetBuildList", build.c_str(), version.c_str());
        builds.emplace(build, version);  // a repeated build keeps its first version
    }
    return true;
}

bool UpdateServerRequest::ParseGetRecoveryInfo(const std::string& body, uint32_t& serial, uint32_t& build) {
    const auto lines = sFirstLines(body, 3);
    if (!sBeginsOk(lines)) return false;
    Log::log(DEBUG_ServerComm, "%s [%.20s][%.20s][%.20s]\n", "GetRecoveryInfo", lines[0].c_str(),
             lines.size() > 1 ? lines[1].c_str() : "", lines.size() > 2 ? lines[2].c_str() : "");
    std::optional<uint32_t> newSerial, newBuild;
    if (lines.size() > 1 && !(newSerial = sNumber(lines[1], 16))) return false;
    if (lines.size() > 2 && !(newBuild = sNumber(lines[2], 0))) return false;
    if (newSerial) serial = *newSerial;
    if (newBuild) build = *newBuild;
    return true;
}

bool UpdateServerRequest::ParseGetDeviceJWT(const std::string& body, std::string& token) {
    const auto lines = sFirstLines(body, 2);
    if (!sBeginsOk(lines) || lines.size() < 2) return false;
    const std::string& line = lines[1];
    Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetDeviceJWT", line.c_str());
    if (line.size() <= 2) return false;
    const size_t first = line.find('.');
    if (first == std::string::npos) return false;
    const size_t second = line.find('.', first + 1);
    if (second == std::string::npos) return false;
    const std::string header = line.substr(0, first);
    const std::string payload = line.substr(first + 1, second - first - 1);
    const std::string signature = sCut(line.substr(second + 1), "\r\n");
    if (header.size() < 2 || payload.size() < 2 || signature.size() < 2) return false;
    token = header + "." + payload + "." + signature;
    return true;
}

// ---- questions ----

bool UpdateServerRequest::ping(const char* url) {
    const auto response = sAsk("ping", url, {{"op", "hi"}, {"rv", "2"}});
    if (!response) return false;
    return ParsePing(response->get_response()) || sRefused("ping", *response);
}

bool UpdateServerRequest::QueryBuild(uint32_t serial, std::string& build, std::string& firmware, const char* url) {
    const auto response = sAsk("QueryBuild", url, {{"op", "qu"}, {"sn", sSerial(serial)}});
    if (!response) return false;
    return ParseQueryBuild(response->get_response(), build, firmware) || sRefused("QueryBuild", *response);
}

bool UpdateServerRequest::GetBuild(uint32_t serial, const std::string& firmware, const std::string& build,
                                   std::string& base64, const char* url, bool noCal) {
    const auto response = sAsk("GetBuild", url,
                               {{"bld", build},
                                {"fw", firmware},
                                {"no_cal", noCal ? "true" : "false"},
                                {"op", "bird"},
                                {"sn", sSerial(serial)}});
    if (!response) return false;
    return ParseGetBuild(response->get_response(), base64) || sRefused("GetBuild", *response);
}

bool UpdateServerRequest::GetBuildList(uint32_t serial, BuildList& builds, const char* url) {
    builds.clear();
    const auto response = sAsk("GetBuildList", url, {{"op", "builds"}, {"sn", sSerial(serial)}});
    if (!response) return false;
    return ParseGetBuildList(response->get_response(), builds) || sRefused("GetBuildList", *response);
}

bool UpdateServerRequest::GetRecoveryInfo(const Fingerprint& fingerprint, uint32_t& serial, uint32_t& build,
                                          const char* url) {
    const auto response = sAsk("GetRecoveryInfo", url,
                               {{"brief", "true"}, {"fp", FingerprintParameter(fingerprint)}, {"op", "fix"}});
    if (!response) return false;
    return ParseGetRecoveryInfo(response->get_response(), serial, build) ||
           sRefused("GetRecoveryInfo", *response);
}

bool UpdateServerRequest::GetDeviceJWT(uint32_t serial, std::string& token, const char* url) {
    const auto response =
        sAsk("GetDeviceJWT", url, {{"json", "false"}, {"op", "ent_jwt"}, {"sn", sSerial(serial)}});
    if (!response) return false;
    return ParseGetDeviceJWT(response->get_response(), token) || sRefused("GetDeviceJWT", *response);
}

// ---- version ordering ----

std::vector<std::string> UpdateServerRequest::SplitCorvantisVersion(const std::string& version) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t dot = version.find('.', start);
        parts.push_back(version.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    if (parts.size() != 3) parts.clear();
    return parts;
}

std::vector<UpdateServerRequest::BuildEntry> UpdateServerRequest::SortBuildsByVersion(const BuildList& builds) {
    // Each version is read once; the order is then a strict weak ordering:
    // numeric versions newest first, equal versions in build-text order, and
    // every version that is not three numbers after them in build-text order.
    struct Keyed {
        std::optional<std::tuple<int, int, int>> numbers;
        const BuildList::value_type* entry;
    };
    std::vector<Keyed> keyed;
    keyed.reserve(builds.size());
    for (const auto& entry : builds) keyed.push_back(Keyed{sVersionNumbers(entry.second), &entry});
    std::stable_sort(keyed.begin(), keyed.end(), [](const Keyed& a, const Keyed& b) {
        if (a.numbers && b.numbers) return *a.numbers > *b.numbers;
        return a.numbers.has_value() && !b.numbers.has_value();
    });
    std::vector<BuildEntry> sorted;
    sorted.reserve(keyed.size());
    for (const auto& k : keyed) sorted.emplace_back(k.entry->first, k.entry->second);
    return sorted;
}
