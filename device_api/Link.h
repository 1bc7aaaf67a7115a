// Link: the device API's handle on one connection to a module. It keeps the
// linkSpec saying where the module is, finds it by discovery, obtains (or
// shares) a link engine link from the link table, and offers the request and
// reply primitives the entity classes build on: UEI requests and replies,
// raw command packets and replies recognised by their first data bytes.
// Owned by Module; used by the entity classes and the upgrade entity.
#pragma once

#include <cstdint>

#include "common/aErr.h"
#include "common/aLink.h"
#include "common/aLinkSpec.h"
#include "common/aPacketFifo.h"
#include "common/aUEI.h"
#include "device_api/aWeaveConfig.h"

namespace Veltrane::Corvantis {

class Link {
  public:
    explicit Link(const char* name);
    Link(const linkSpec& spec, const char* name);
    ~Link();

    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    const char* getName() const;
    // aErrNotFound when there is no specifier.
    aErr getLinkSpecifier(linkSpec* spec) const;
    // aErrBusy while connected.
    aErr setLinkSpecifier(const linkSpec& spec);
    // aErrParam for a null pointer.
    aErr getConfig(aWeaveConfig* config) const;
    // aErrMode while connected.
    aErr setConfig(const aWeaveConfig& config);

    // Finds the module (serial number 0: the first of that model, model 0:
    // any model) and connects, falling back between transport families when
    // the configuration allows it.
    aErr discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model = 0);
    // Connects to the stored specifier; aErrConnection when already connected.
    aErr connect();
    // Shares the link of another connected Link (a router module's link).
    aErr connectThroughLinkModule(Link* other);
    // True when connected and the link is RUNNING.
    bool isConnected() const;
    // The link status; UNKNOWN_ERROR without a link.
    linkStatus getStatus() const;
    // Releases this Link's use of the link; always aErrNone.
    aErr disconnect();
    // Resets the link engine link; always aErrNone.
    aErr reset();
    // Asks the module its address (1000 ms); aErrNotReady without an answer.
    aErr getModuleAddress(uint8_t* address);
    aErr enablePooledPackets(bool enable);
    // The link table id of the current link, 0 while not connected.
    uint32_t getLinkId() const;

    // Request and reply primitives. Each needs a connected link
    // (aErrConnection) and an even, non-zero module address (aErrPacket).
    aErr sendUEI(const uei& request);
    // Sub-indexed form: command, option, specifier, subindex, value
    // (void, byte, short or int values only).
    aErr sendUEI(const uei& request, uint8_t subindex);
    // Awaits the reply matching reply's own module, command, option and
    // specifier (set them to the expected reply first) and fills reply from
    // it: 1000 ms, 4000 ms for a byte block above 1000 bytes. The command,
    // option and specifier arguments are not used.
    aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier, uei* reply);
    aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier, uei* reply,
                    aPacketFilter filter);
    // Discards every queued reply matching that key; aErrNone.
    aErr dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index);
    // Sends command followed by length data bytes; aErrParam above 27 bytes.
    aErr sendPacket(uint8_t module, uint8_t command, uint8_t length, const uint8_t* data);
    // Awaits (1000 ms) the first inbound packet whose first *length data bytes
    // equal match, from any address; then *length is its data size and its
    // data are copied to buffer, which must hold 28 bytes.
    aErr receivePacket(uint8_t module, const uint8_t* match, uint8_t* length, uint8_t* buffer);

    struct impl;

  private:
    impl* m_impl;
};

} // namespace Veltrane::Corvantis
