// _get_params and the option-argument readers (see CommandLine.h).
#include "app/CommandLine.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/Log.h"
#include "app/OptionParser.h"
#include "app/OptionTable.h"
#include "common/aDirectory.h"

namespace {

uint32_t sDigitsArg(const char* text, char** end, const char* digits, int base)
{
    if (end == nullptr || text == nullptr)
        return 0;
    *end = const_cast<char*>(text);
    if (text[0] == '\0' || strspn(text, digits) != strlen(text))
        return 0;
    errno = 0;
    unsigned long long value = strtoull(text, end, base);
    if (errno == ERANGE || value > 0xFFFFFFFFull)
        return 0;
    return static_cast<uint32_t>(value);
}

// Removes a leading "0x" or "0X", tracing that it did.
const char* sStripHexPrefix(const char* text, const char* trace)
{
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        Log::log(DEBUG_Updater, "%s", trace);
        return text + 2;
    }
    return text;
}

bool sStartsWith(const char* text, const char* prefix)
{
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

std::string sProgramName(const char* argv0)
{
    if (argv0 == nullptr)
        return "";
    const char* name = argv0;
    for (const char* p = argv0; *p; ++p)
        if (*p == '/' || *p == '\\')
            name = p + 1;
    return name;
}

} // namespace

uint32_t _get_hex_arg(const char* text, char** end)
{
    return sDigitsArg(text, end, "0123456789ABCDEFabcdef", 16);
}

uint32_t _get_int_arg(const char* text, char** end)
{
    return sDigitsArg(text, end, "0123456789", 10);
}

int _validate_params(Parameters*)
{
    return 0;
}

void _release_params(Parameters* params)
{
    if (params == nullptr)
        return;
    // Nothing here is needed once the last command has run.
    params->serialPort.clear();
    params->serialPort.shrink_to_fit();
    params->birdFile.clear();
    params->birdFile.shrink_to_fit();
    params->historyMessage.clear();
    params->historyMessage.shrink_to_fit();
}

int _get_params(UpdaterDisplayInterface& display, int argc, char** argv, Parameters* params)
{
    *params = Parameters{};
    params->programName = sProgramName(argc > 0 ? argv[0] : nullptr);
    char home[2048] = "";
    aDirectory_GetHomeDirectory(home, sizeof home);
    params->homeDirectory = home;
    Log::log(DEBUG_APP, "Home directory:[%s]\n", params->homeDirectory.c_str());

    bool failed = false;
    int serverSelections = 0;
    OptionParser parser(argc, argv, UPDATER_OPTIONS, UPDATER_OPTION_COUNT);
    while (parser.Next()) {
        const char* text = parser.OptionText();
        const char* arg = parser.OptionArg();
        char* end = nullptr;
        switch (parser.OptionId()) {
        case OPT_HELP:
            params->commands.Set(CMD_HELP);
            params->helpRequested = true;
            return 0;
        case OPT_HTTPS:
            params->serverUrl = UPDATE_SERVER_HTTPS_URL;
            ++serverSelections;
            break;
        case OPT_HTTP:
            params->serverUrl = UPDATE_SERVER_HTTP_URL;
            ++serverSelections;
            break;
        case OPT_COMMAND:
            if (strcmp(text, "-OVERRIDE") == 0) {
                params->override = true;
                break;
            }
            switch (text[1]) {
            case 'B': params->commands.Set(CMD_LIST_BUILDS); break;
            case 'L': params->commands.Set(CMD_LIST_LOCAL_BUILDS); break;
            case 'D': params->commands.Set(CMD_DISCOVER); break;
            case 'G': params->commands.Set(CMD_GET_BUILD); break;
            case 'I': params->commands.Set(CMD_INFO); break;
            case 'U': params->commands.Set(CMD_UPDATE); break;
            case 'N': params->commands.Set(CMD_FINGERPRINT); break;
            case 'C': params->commands.Set(CMD_CHECK_BIRD); break;
            case 'J': params->commands.Set(CMD_GET_JWT); break;
            default:
                display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Unhandled command: [%s]", text);
                failed = true;
                break;
            }
            break;
        case OPT_PARAM:
            switch (text[1]) {
            case 'd': {
                const char* digits = sStripHexPrefix(arg, "Discarding '0x' serial number prefix\n");
                params->deviceSerial = _get_hex_arg(digits, &end);
                if (params->deviceSerial == 0) {
                    display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                                    "Invalid serial number obtained from argument [%s]", digits);
                    failed = true;
                }
                break;
            }
            case 'r': {
                const char* digits = sStripHexPrefix(arg, "Discarding '0x' router serial number prefix\n");
                params->routerSerial = _get_hex_arg(digits, &end);
                if (params->routerSerial == 0) {
                    display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                                    "Invalid router serial number obtained from argument [%s]", digits);
                    failed = true;
                }
                break;
            }
            case 'b':
                params->buildNumber = std::to_string(_get_int_arg(arg, &end));
                break;
            case 'o':
                params->baudRate = _get_int_arg(arg, &end);
                break;
            case 't':
                params->transportGiven = true;
                if (sStartsWith(arg, "USB")) {
                    params->transport = TRANSPORT_USB;
                } else if (sStartsWith(arg, "TCP")) {
                    params->transport = TRANSPORT_TCPIP;
                } else if (sStartsWith(arg, "RECOVER")) {
                    params->transport = TRANSPORT_RECOVER;
                } else {
                    display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                                    "Invalid transport type:[%s]\nMust be one of the following: USB, TCPIP, RECOVER",
                                    arg);
                    params->transport = TRANSPORT_INVALID;
                    failed = true;
                }
                break;
            case 'X': {
                params->logMaskGiven = true;
                int base = (arg[0] == '0' && (arg[1] == 'x' || arg[1] == 'X')) ? 16 : 10;
                unsigned long mask = strtoul(arg, &end, base);
                if (*end != '\0') {
                    display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                                    "Invalid format for \"%s\" parameter, unprocessed characters [%s]", text, end);
                    break;
                }
                params->logMask |= static_cast<uint32_t>(mask);
                Log::ActivatePackage(static_cast<uint32_t>(mask));
                break;
            }
            case 'm':
                params->useUEIBytes = arg[0] == '1' || sStartsWith(arg, "true");
                break;
            case 'e': params->echo = true; break;
            case 'n': params->optionN = true; break;
            case 'Z': params->commands.Set(CMD_Z); break;
            case 's': params->serialPort = arg; break;
            case 'f': params->birdFile = arg; break;
            case 'i': params->storeDirectory = arg; break;
            case 'l': params->historyMessage = arg; break;
            case 'k': params->logFile = arg; break;
            case 'u':
                params->serverUrl = arg;
                ++serverSelections;
                break;
            default:
                break;
            }
            break;
        default:
            break;
        }
    }

    if (serverSelections > 1) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Multiple update server URLs specified. Choose one of: --https, --http, or -U <host:port>.");
        failed = true;
    }

    Log::log(DEBUG_APP, "\nApplication parameters:[%s]\n", params->programName.c_str());
    for (int i = 0; i < argc; ++i)
        Log::log(DEBUG_APP, "\t[%s]\n", argv[i] ? argv[i] : "");
    if (failed)
        return 1;
    return _validate_params(params);
}
