// UpdateServerRequest: the questions the updater asks the update server (is it
// there, which build for a module, a build's BIRD file, the build list, the
// recovery identity of a chip, the module's feature token), each one GET of
// HTTPRequest, and the helpers that order build lists by version.
// Used by the build, update and recovery flows of Updater and by the command
// line's build-list printer. Stateless: every member is static.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "updater/Fingerprint.h"

class UpdateServerRequest {
  public:
    // Build number text -> version text, ordered by the key's text.
    using BuildList = std::map<std::string, std::string>;
    using BuildEntry = std::pair<std::string, std::string>;

    // Each question takes the server's base URL last; null asks the plain-HTTP
    // update server. True when the server answered status 200 with a first line
    // beginning "ok" and the rest of the answer has the expected form.
    static bool ping(const char* url = nullptr);
    // Outputs are overwritten only by the answer lines that are present.
    static bool QueryBuild(uint32_t serial, std::string& build, std::string& firmware,
                           const char* url = nullptr);
    // On success base64 is cleared, then set to the answer's BIRD text if any.
    static bool GetBuild(uint32_t serial, const std::string& firmware, const std::string& build,
                         std::string& base64, const char* url = nullptr, bool noCal = false);
    // builds is cleared first; a build listed twice keeps its first version.
    static bool GetBuildList(uint32_t serial, BuildList& builds, const char* url = nullptr);
    // Outputs are set only from the answer lines that are present.
    static bool GetRecoveryInfo(const Fingerprint& fingerprint, uint32_t& serial, uint32_t& build,
                                const char* url = nullptr);
    // token is left unchanged unless the answer holds a well-formed token.
    static bool GetDeviceJWT(uint32_t serial, std::string& token, const char* url = nullptr);

    // Newest version first. Versions that are not three numeric parts go last,
    // in build-number text order.
    static std::vector<BuildEntry> SortBuildsByVersion(const BuildList& builds);
    // The three "."-separated parts of a version text; empty for any other count.
    static std::vector<std::string> SplitCorvantisVersion(const std::string& version);

    // Answer parsers, applied to a status-200 body. Exposed for the tests and
    // the fuzz harnesses; the questions above call them.
    static std::vector<std::string> SplitLines(const std::string& body);
    static bool ParsePing(const std::string& body);
    static bool ParseQueryBuild(const std::string& body, std::string& build, std::string& firmware);
    static bool ParseGetBuild(const std::string& body, std::string& base64);
    static bool ParseGetBuildList(const std::string& body, BuildList& builds);
    static bool ParseGetRecoveryInfo(const std::string& body, uint32_t& serial, uint32_t& build);
    static bool ParseGetDeviceJWT(const std::string& body, std::string& token);

    // The query text of the fingerprint parameter: four "%08X" words joined by
    // an encoded space ("%20").
    static std::string FingerprintParameter(const Fingerprint& fingerprint);
};
