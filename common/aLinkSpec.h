// linkSpec and linkType: which module to reach and over which transport.
// Filled by discovery, kept by Link and Module, listed by the updater, and
// sent unchanged inside sharing-server announcements (hence the fixed layout).
#pragma once

#include <cstdint>

#include "common/aErr.h"

enum linkType : uint32_t {
    INVALID = 0,       // no transport: a link over a caller-supplied stream
    USB = 1,           // module on USB, reached by serial number
    TCPIP = 2,         // module with its own TCP/IP interface
    SERIAL = 3,        // module on a serial line (packetized serial stream)
    AWEAVE = 4,        // client of a sharing server
    AWEAVE_USB = 5,    // module a sharing server reaches over USB
    AWEAVE_TCPIP = 6,  // module a sharing server reaches over TCP/IP
    AWEAVE_SERIAL = 7, // module a sharing server reaches over a serial line
};

constexpr bool isAWEAVE(uint32_t type) { return type >= AWEAVE && type <= AWEAVE_SERIAL; }

struct linkSpec {
    linkType type;
    uint32_t serialNumber;       // 0 in a search pattern means any
    uint32_t module;             // module address
    uint32_t router;             // router's address (own address when reached directly)
    uint32_t routerSerialNumber; // serial number of that router
    uint32_t model;              // model number, see aDefs_GetModelName
    union {
        struct {
            uint32_t ipAddress; // network byte order, as in a socket address
            uint32_t ipPort;
        } ip;
        struct {
            uint32_t baudRate;
            char portName[100];
        } serial;
        struct {
            uint32_t usbId; // equal to the serial number
        } usb;
    } t;
};

static_assert(sizeof(linkSpec) == 128, "linkSpec is sent as it is and must stay 128 bytes");

linkSpec* aLinkSpec_Create(linkType type);
linkSpec* aLinkSpec_Copy(const linkSpec* spec);
// Returns aErrParam when *spec is already null.
aErr aLinkSpec_Destroy(linkSpec** spec);
