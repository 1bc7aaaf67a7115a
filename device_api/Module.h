// Module: the program's handle on one module. It owns a Link, knows the
// module's address on the module network, connects by serial number, from a
// ready linkSpec or through a router module, adopts the address the module
// reports after a direct connection (networking mode), and offers the
// module-level queries (build, capabilities, entity inventory, echo test).
// Entity objects attach to a Module and use its link and address.
#pragma once

#include <cstdint>

#include "common/aErr.h"
#include "common/aLink.h"
#include "common/aLinkSpec.h"
#include "device_api/Link.h"
#include "device_api/aWeaveConfig.h"

namespace Veltrane::Corvantis {

class Module {
  public:
    // Networking mode on.
    Module(uint8_t address, uint8_t model);
    Module(uint8_t address, bool networkingMode, uint8_t model);
    virtual ~Module();

    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    // aErrParam for serial number 0.
    aErr connect(linkType type, uint32_t serialNumber);
    aErr discoverAndConnect(linkType type, uint32_t serialNumber);
    // aErrBusy when already connected.
    aErr connectFromSpec(const linkSpec& spec);
    aErr reconnect();
    // Reaches this module through another connected module acting as router;
    // aErrNone without doing anything when already connected.
    aErr connectThroughLinkModule(Module* router);
    bool isConnected() const;
    linkStatus getStatus() const;
    aErr disconnect();

    uint8_t getModuleAddress() const;
    void setModuleAddress(uint8_t address);
    Link* getLink();
    void setNetworkingMode(bool on);
    aErr getLinkSpecifier(linkSpec* spec) const;
    aErr getConfig(aWeaveConfig* config) const;
    // aErrMode while connected.
    aErr setConfig(const aWeaveConfig& config);

    // Module-level queries (1000 ms each; aErrConnection when not connected).
    aErr getBuild(uint32_t* build);
    // flags: bit 6 asks about the get form, bit 7 about the set form; the
    // result is the module's answer byte.
    aErr hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags);
    aErr classQuantity(uint8_t entityClass, uint8_t* quantity);
    aErr subClassQuantity(uint8_t entityClass, uint8_t subclass, uint8_t* quantity);
    aErr entityGroup(uint8_t entityClass, uint8_t index, uint8_t* group);
    // Echo test: the module returns the bytes; aErrIO on any difference.
    aErr debug(const uint8_t* data, uint8_t length);

    struct impl;

  private:
    impl* m_impl;
};

} // namespace Veltrane::Corvantis
