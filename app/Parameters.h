// Parameters: everything one command line asked for, with the defaults that
// apply when an option is absent. Filled by _get_params, read by start-up and
// the command dispatch; one record per run.
#pragma once

#include <cstdint>
#include <string>

#include "app/CommandsClass.h"
#include "app/ServerUrls.h"

// Transport codes of -t (1 and 2 are the USB and TCPIP link types).
constexpr uint32_t TRANSPORT_INVALID = 0;
constexpr uint32_t TRANSPORT_USB = 1;
constexpr uint32_t TRANSPORT_TCPIP = 2;
constexpr uint32_t TRANSPORT_RECOVER = 255;

struct Parameters {
    CommandsClass commands;
    uint32_t deviceSerial = 0;         // -d
    uint32_t routerSerial = 0;         // -r
    uint32_t transport = TRANSPORT_USB; // -t
    bool transportGiven = false;
    std::string serialPort;            // -s
    uint32_t baudRate = 115200;        // -o
    uint8_t moduleAddress = 0;         // handed to the update flow; no option sets it
    std::string birdFile;              // -f
    std::string historyMessage;        // -l
    std::string buildNumber;           // -b as decimal text; -G replaces it with the build downloaded
    bool echo = false;                 // -e
    std::string serverUrl = UPDATE_SERVER_HTTP_URL; // --http, --https, -u
    bool optionN = false;              // -n
    std::string storeDirectory;        // -i; after start-up the store root in use
    std::string programName;           // argv[0] after its last path separator
    std::string homeDirectory;
    std::string logMode = "a+";
    std::string logFile = "Updater.log"; // -k
    bool override = false;             // -OVERRIDE
    bool useUEIBytes = true;           // -m
    uint32_t logMask = 0;              // -X
    bool logMaskGiven = false;
    bool helpRequested = false;
};
