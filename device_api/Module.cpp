// Module (see Module.h): connection by serial number, specifier or router,
// auto-networking, and the module-level command-73 queries and debug echo.
#include "device_api/Module.h"

#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <thread>

namespace Veltrane::Corvantis {

namespace {

constexpr uint8_t kCmdQuery = 73;       // module-level queries
constexpr uint8_t kQueryBuild = 0xFF;
constexpr uint8_t kQueryHasUEI = 1;
constexpr uint8_t kQueryClassQuantity = 4;
constexpr uint8_t kQuerySubClassQuantity = 5;
constexpr uint8_t kQueryEntityGroup = 6;
constexpr uint8_t kCmdDebug = 23;       // echo
constexpr int kAddressAttempts = 4;

} // namespace

struct Module::impl {
    std::unique_ptr<Link> link;
    uint8_t address;
    bool networkingMode;
    uint8_t model;

    impl(uint8_t a, bool n, uint8_t m) : link(new (std::nothrow) Link("Link")), address(a), networkingMode(n), model(m)
    {
    }

    // Adopts the address the module reports after a direct connection.
    aErr autoNetwork()
    {
        if (!networkingMode || !link)
            return aErrNone;
        aErr err = aErrNotReady;
        uint8_t reported = 0;
        for (int i = 0; i < kAddressAttempts && err == aErrNotReady; ++i) {
            err = link->getModuleAddress(&reported);
            if (err != aErrNone)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (err == aErrNone && reported != 0 && reported != address)
            address = reported;
        return err;
    }

    // Sends command + request to the module and awaits the reply starting
    // with match; the reply's data go to reply, its size to size.
    aErr query(uint8_t command, const uint8_t* request, uint8_t requestLength, const uint8_t* match,
               uint8_t matchLength, uint8_t* reply, uint8_t* size)
    {
        if (!link)
            return aErrInitialization;
        if (!link->isConnected())
            return aErrConnection;
        if (const aErr err = link->sendPacket(address, command, requestLength, request))
            return err;
        *size = matchLength;
        return link->receivePacket(address, match, size, reply);
    }
};

Module::Module(uint8_t address, uint8_t model) : Module(address, true, model) {}

Module::Module(uint8_t address, bool networkingMode, uint8_t model)
    : m_impl(new (std::nothrow) impl(address, networkingMode, model))
{
}

Module::~Module()
{
    if (m_impl && m_impl->link)
        m_impl->link->disconnect();
    delete m_impl;
}

aErr Module::connect(linkType type, uint32_t serialNumber)
{
    if (!m_impl || !m_impl->link)
        return aErrInitialization;
    if (serialNumber == 0)
        return aErrParam;
    return discoverAndConnect(type, serialNumber);
}

aErr Module::discoverAndConnect(linkType type, uint32_t serialNumber)
{
    if (!m_impl || !m_impl->link)
        return aErrInitialization;
    const aErr err = m_impl->link->discoverAndConnect(type, serialNumber, m_impl->model);
    if (err != aErrNone)
        return err;
    return m_impl->autoNetwork();
}

aErr Module::connectFromSpec(const linkSpec& spec)
{
    if (!m_impl || !m_impl->link)
        return aErrInitialization;
    if (m_impl->link->getLinkId() != 0)
        return aErrBusy;
    if (const aErr err = m_impl->link->setLinkSpecifier(spec))
        return err;
    const aErr err = m_impl->link->connect();
    if (err != aErrNone)
        return err;
    return m_impl->autoNetwork();
}

aErr Module::reconnect()
{
    if (!m_impl || !m_impl->link)
        return aErrInitialization;
    const aErr err = m_impl->link->connect();
    if (err != aErrNone)
        return err;
    return m_impl->autoNetwork();
}

aErr Module::connectThroughLinkModule(Module* router)
{
    if (!m_impl || !m_impl->link)
        return aErrInitialization;
    if (m_impl->link->getLinkId() != 0)
        return aErrNone;
    if (!router || router == this)
        return aErrInitialization;
    linkSpec spec{};
    if (const aErr err = router->getLinkSpecifier(&spec))
        return err;
    Link* routerLink = router->getLink();
    if (!routerLink)
        return aErrInitialization;
    aWeaveConfig config;
    routerLink->getConfig(&config);
    if (const aErr err = m_impl->link->setConfig(config))
        return err;
    if (config.enabled) {
        spec.type = AWEAVE;
        spec.t.ip.ipAddress = config.networkInterface;
        spec.t.ip.ipPort = config.port;
    }
    if (const aErr err = m_impl->link->setLinkSpecifier(spec))
        return err;
    const aErr err = m_impl->link->connectThroughLinkModule(routerLink);
    if (err == aErrNone)
        m_impl->networkingMode = false;
    return err;
}

bool Module::isConnected() const { return m_impl && m_impl->link && m_impl->link->isConnected(); }

linkStatus Module::getStatus() const
{
    if (!m_impl || !m_impl->link)
        return UNKNOWN_ERROR;
    return m_impl->link->getStatus();
}

aErr Module::disconnect()
{
    if (!m_impl || !m_impl->link)
        return aErrInitialization;
    return m_impl->link->disconnect();
}

uint8_t Module::getModuleAddress() const { return m_impl ? m_impl->address : 0; }

void Module::setModuleAddress(uint8_t address)
{
    if (m_impl)
        m_impl->address = address;
}

Link* Module::getLink() { return m_impl ? m_impl->link.get() : nullptr; }

void Module::setNetworkingMode(bool on)
{
    if (m_impl)
        m_impl->networkingMode = on;
}

aErr Module::getLinkSpecifier(linkSpec* spec) const
{
    if (!m_impl || !m_impl->link)
        return aErrNotReady;
    return m_impl->link->getLinkSpecifier(spec);
}

aErr Module::getConfig(aWeaveConfig* config) const
{
    if (!m_impl || !m_impl->link)
        return aErrNotReady;
    if (!config)
        return aErrParam;
    return m_impl->link->getConfig(config);
}

aErr Module::setConfig(const aWeaveConfig& config)
{
    if (!m_impl || !m_impl->link)
        return aErrNotReady;
    return m_impl->link->setConfig(config);
}

aErr Module::getBuild(uint32_t* build)
{
    if (!m_impl || !m_impl->link)
        return aErrInitialization;
    if (!build)
        return aErrParam;
    const uint8_t request[] = {kQueryBuild};
    const uint8_t match[] = {kCmdQuery, kQueryBuild};
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t size = 0;
    if (const aErr err = m_impl->query(kCmdQuery, request, 1, match, 2, reply, &size))
        return err;
    if (size != 6)
        return aErrSize;
    *build = aUEI_RetrieveInt(reply + 2);
    return aErrNone;
}

aErr Module::hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags)
{
    if (!m_impl || !m_impl->link)
        return aErrInitialization;
    if ((flags & 0x3F) != 0 || (flags & 0xC0) == 0xC0)
        return aErrParam;
    const uint8_t request[] = {kQueryHasUEI, command, option, index, flags};
    const uint8_t match[] = {kCmdQuery, kQueryHasUEI};
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t size = 0;
    if (const aErr err = m_impl->query(kCmdQuery, request, sizeof request, match, 2, reply, &size))
        return err;
    if (size != 6 || reply[2] != command || reply[3] != option || reply[4] != index)
        return aErrUnknown;
    return static_cast<aErr>(reply[5]);
}

aErr Module::classQuantity(uint8_t entityClass, uint8_t* quantity)
{
    if (!m_impl || !m_impl->link)
        return aErrInitialization;
    if (!quantity)
        return aErrParam;
    *quantity = 0;
    const uint8_t request[] = {kQueryClassQuantity, entityClass};
    const uint8_t match[] = {kCmdQuery, kQueryClassQuantity};
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t size = 0;
    if (const aErr err = m_impl->query(kCmdQuery, request, sizeof request, match, 2, reply, &size))
        return err;
    if (size != 4 || reply[2] != entityClass)
        return aErrUnknown;
    *quantity = reply[3];
    return aErrNone;
}

aErr Module::subClassQuantity(uint8_t entityClass, uint8_t subclass, uint8_t* quantity)
{
    if (!m_impl || !m_impl->link)
        return aErrInitialization;
    if (!quantity)
        return aErrParam;
    *quantity = 0;
    const uint8_t request[] = {kQuerySubClassQuantity, entityClass, subclass};
    const uint8_t match[] = {kCmdQuery, kQuerySubClassQuantity};
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t size = 0;
    if (const aErr err = m_impl->query(kCmdQuery, request, sizeof request, match, 2, reply, &size))
        return err;
    if (size != 5 || reply[2] != entityClass || reply[3] != subclass)
        return aErrUnknown;
    *quantity = reply[4];
    return aErrNone;
}

aErr Module::entityGroup(uint8_t entityClass, uint8_t index, uint8_t* group)
{
    if (!m_impl || !m_impl->link)
        return aErrInitialization;
    if (!group)
        return aErrParam;
    const uint8_t request[] = {kQueryEntityGroup, entityClass, index};
    const uint8_t match[] = {kCmdQuery, kQueryEntityGroup};
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t size = 0;
    if (const aErr err = m_impl->query(kCmdQuery, request, sizeof request, match, 2, reply, &size))
        return err;
    if (size != 5 || reply[2] != entityClass || reply[3] != index)
        return aErrUnknown;
    *group = reply[4];
    return aErrNone;
}

aErr Module::debug(const uint8_t* data, uint8_t length)
{
    if (!m_impl || !m_impl->link)
        return aErrInitialization;
    if (length > aPACKET_MAX_DATA - 1 || (length > 0 && !data))
        return aErrParam;
    const uint8_t match[] = {kCmdDebug};
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t size = 0;
    if (const aErr err = m_impl->query(kCmdDebug, data, length, match, 1, reply, &size))
        return err;
    if (size != length + 1 || (length > 0 && std::memcmp(reply + 1, data, length) != 0))
        return aErrIO;
    return aErrNone;
}

} // namespace Veltrane::Corvantis
