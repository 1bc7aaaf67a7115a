// Fuzz harness for the update-server answer parsers and the build ordering:
// every parser reads the same body; the parsed build list is then ordered and
// checked to hold exactly the same entries.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "updater/UpdateServerRequest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string body(reinterpret_cast<const char*>(data), size);
    using USR = UpdateServerRequest;

    USR::ParsePing(body);
    std::string build, firmware, text, token;
    USR::ParseQueryBuild(body, build, firmware);
    USR::ParseGetBuild(body, text);
    uint32_t serial = 0, recoveryBuild = 0;
    USR::ParseGetRecoveryInfo(body, serial, recoveryBuild);
    if (USR::ParseGetDeviceJWT(body, token)) {
        // A token is accepted only as three parts of two or more characters.
        const size_t first = token.find('.');
        const size_t second = token.find('.', first + 1);
        if (first == std::string::npos || first < 2 || second == std::string::npos || second - first - 1 < 2 ||
            token.size() - second - 1 < 2)
            std::abort();
    }

    USR::BuildList builds;
    USR::ParseGetBuildList(body, builds);
    const auto sorted = USR::SortBuildsByVersion(builds);
    if (USR::BuildList(sorted.begin(), sorted.end()) != builds || sorted.size() != builds.size()) std::abort();
    return 0;
}
