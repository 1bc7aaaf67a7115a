// aDiscovery: finds the modules reachable right now and describes each as a
// linkSpec ready for link creation. USB modules come from the USB walk
// (aDiscovery_USB.h); modules on the local network answer one UDP multicast
// request with a unicast reply. Used by Link's discover-and-connect and by
// the updater's discovery flows.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/aDiscovery_USB.h"
#include "common/aLinkSpec.h"

// TCP/IP discovery datagrams.
constexpr uint32_t aDISCOVERY_GROUP = 0xE8020202;   // 232.2.2.2, host order
constexpr uint16_t aDISCOVERY_REQUEST_PORT = 9888;  // modules listen here
constexpr uint16_t aDISCOVERY_REPLY_PORT = 9889;    // replies come back here
constexpr size_t aDISCOVERY_DATAGRAM_SIZE = 16;
constexpr uint8_t aDISCOVERY_REQUEST_CODE = 1;
constexpr uint32_t aDISCOVERY_REPLY_WAIT_MS = 2000; // after the last reply

// Calls found for every module of the given type until it returns false;
// networkInterface is a local IPv4 address in network byte order (0 and
// 127.0.0.1 mean every interface). Returns the number of modules whose
// callback set the taken flag (at most 255). Failures are not reported:
// unusable devices and interfaces are passed over. Sharing-server types find
// nothing in this build, and other types return 0 at once.
uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryModuleFoundProc found, void* reference,
                                    uint32_t networkInterface);

// A new linkSpec of the module with that serial number, or null. The caller
// destroys it with aLinkSpec_Destroy.
linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface);

// A new linkSpec of the first module with a non-zero serial number, or null.
linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface);

// Fills spec (type TCPIP) from a discovery reply of length bytes (at most 16
// are read; fields the datagram does not reach are 0, the model 0xFF) that
// came from source, an IPv4 address in network byte order.
void aDiscovery_ParseReply(const uint8_t* data, size_t length, uint32_t source, linkSpec* spec);

// Writes the dotted-decimal text of an IPv4 address given in network byte
// order and returns its length; 0 for a buffer under 16 bytes. The buffer is
// zeroed first.
size_t aDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, size_t size);
