// Link (see Link.h): connection management over the link table and the
// request/reply primitives over the link engine's queues.
#include "device_api/Link.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/aDiscovery.h"
#include "device_api/LinkFallback.h"
#include "device_api/UEICodec.h"

namespace Veltrane::Corvantis {

namespace {

constexpr size_t kMaxName = 1024;
constexpr uint64_t kReplyWaitMs = 1000;
constexpr uint64_t kLargeBlockWaitMs = 4000; // acknowledgement of a block above 1000 bytes
constexpr uint64_t kLargeBlock = 1000;
constexpr int kConnectPolls = 200;           // of 10 ms each

// Serialises link creation across every Link of the process.
std::mutex linkCreateHelperSerializer;

bool sBadAddress(uint8_t module) { return module == 0 || (module & 1) != 0; }

uint8_t sUEIFilter(const aPacket* packet, const void* reference)
{
    return ueiReplyMatches(packet, *static_cast<const uei*>(reference)) ? 1 : 0;
}

struct CommandMatch {
    const uint8_t* match;
    uint8_t length;
};

uint8_t sCommandFilter(const aPacket* packet, const void* reference)
{
    const auto* m = static_cast<const CommandMatch*>(reference);
    return packet->dataSize >= m->length && std::memcmp(packet->data, m->match, m->length) == 0 ? 1 : 0;
}

// Module-address answer: an empty packet.
uint8_t MatchMagic(const aPacket* packet, const void*) { return packet->dataSize == 0 ? 1 : 0; }

aErr sPut(uint32_t id, uint8_t module, const std::vector<uint8_t>& data)
{
    aPacket* packet = aPacket_CreateWithData(module, static_cast<uint8_t>(data.size()), data.data());
    if (!packet)
        return aErrResource;
    const aErr err = aLink_PutPacket(id, packet);
    aPacket_Destroy(&packet);
    return err;
}

struct ModelSearch {
    linkSpec* spec;
    bool found;
};

// Takes the first module of the wanted model (0: any).
bool cbModelCallback(const linkSpec* found, bool* taken, void* reference)
{
    auto* search = static_cast<ModelSearch*>(reference);
    if (search->spec->model != 0 && found->model != search->spec->model)
        return true;
    std::memcpy(search->spec, found, sizeof(linkSpec));
    search->found = true;
    *taken = true;
    return false;
}

} // namespace

struct Link::impl {
    Link* owner;
    std::atomic<uint32_t> linkId{0};
    aWeaveConfig config;
    std::string name;
    std::optional<linkSpec> specifier;

    impl(Link* o, const char* n) : owner(o), name(n ? std::string(n, strnlen(n, kMaxName)) : std::string()) {}

    bool hasLink() const { return linkId.load() != 0; }

    // Creates (or shares) the link for the specifier into linkId.
    aErr linkCreateHelper()
    {
        std::lock_guard<std::mutex> hold(linkCreateHelperSerializer);
        const linkSpec& s = *specifier;
        uint32_t id = 0;
        switch (s.type) {
        case USB:
            id = aLink_CreateUSB(s.serialNumber);
            break;
        case TCPIP:
            id = aLink_CreateTCPIP(s.serialNumber, s.t.ip.ipAddress, s.t.ip.ipPort);
            break;
        case SERIAL:
            id = aLink_CreateSerial(s.serialNumber, s.t.serial.portName, s.t.serial.baudRate);
            break;
        case AWEAVE:
        case AWEAVE_USB:
        case AWEAVE_TCPIP:
        case AWEAVE_SERIAL:
            if (!config.enabled)
                return aErrConfiguration;
            // Client links to a sharing server are not part of this build.
            return aErrUnimplemented;
        default:
            return aErrMode;
        }
        // With sharing enabled a sharing server would go in front of the new
        // direct link; this build has none, so the link is used directly.
        linkId = id;
        return aErrNone;
    }

    aErr waitForLink(int polls)
    {
        const uint32_t id = linkId;
        switch (aLink_GetStatus(id)) {
        case STOPPED:
        case INITIALIZING:
        case SYNCING:
            for (int i = 0; i < polls; ++i) {
                if (aLink_GetStatus(id) == RUNNING)
                    return aErrNone;
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            return aLink_GetStatus(id) == RUNNING ? aErrNone : aErrConnection;
        case RUNNING:
            return aErrNone;
        case STOPPING:
            return aErrBusy;
        default:
            return aErrConnection;
        }
    }

    aErr connectHelper()
    {
        if (!specifier)
            return aErrConfiguration;
        const aErr err = linkCreateHelper();
        if (err != aErrNone)
            return err;
        if (!hasLink())
            return aErrConnection;
        return waitForLink(kConnectPolls);
    }

    aErr discoveryAndConnectHelper(linkType type, uint32_t serialNumber, uint8_t model)
    {
        // Nothing found of a sharing-server type could be connected anyway.
        if (isAWEAVE(type) && !config.enabled)
            return aErrConfiguration;
        linkSpec* found = nullptr;
        if (serialNumber != 0) {
            found = aDiscovery_FindModule(type, serialNumber, config.networkInterface);
        } else {
            found = aLinkSpec_Create(type);
            if (!found)
                return aErrResource;
            found->model = model;
            ModelSearch search{found, false};
            aDiscovery_EnumerateModules(type, cbModelCallback, &search, config.networkInterface);
            if (!search.found)
                aLinkSpec_Destroy(&found);
        }
        if (!found)
            return aErrNotFound;
        specifier = *found;
        aLinkSpec_Destroy(&found);
        return connectHelper();
    }

    aErr checkRequest(uint8_t module) const
    {
        if (!owner->isConnected())
            return aErrConnection;
        if (sBadAddress(module))
            return aErrPacket;
        return aErrNone;
    }
};

Link::Link(const char* name) : m_impl(new (std::nothrow) impl(this, name)) {}

Link::Link(const linkSpec& spec, const char* name) : Link(name)
{
    if (m_impl)
        m_impl->specifier = spec;
}

Link::~Link()
{
    if (!m_impl)
        return;
    disconnect();
    delete m_impl;
}

const char* Link::getName() const { return m_impl ? m_impl->name.c_str() : ""; }

aErr Link::getLinkSpecifier(linkSpec* spec) const
{
    if (!spec)
        return aErrParam;
    if (!m_impl || !m_impl->specifier)
        return aErrNotFound;
    *spec = *m_impl->specifier;
    return aErrNone;
}

aErr Link::setLinkSpecifier(const linkSpec& spec)
{
    if (!m_impl)
        return aErrInitialization;
    if (m_impl->hasLink())
        return aErrBusy;
    m_impl->specifier = spec;
    return aErrNone;
}

aErr Link::getConfig(aWeaveConfig* config) const
{
    if (!config)
        return aErrParam;
    if (!m_impl)
        return aErrInitialization;
    *config = m_impl->config;
    return aErrNone;
}

aErr Link::setConfig(const aWeaveConfig& config)
{
    if (!m_impl)
        return aErrInitialization;
    if (m_impl->hasLink())
        return aErrMode;
    m_impl->config = config;
    return aErrNone;
}

aErr Link::discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model)
{
    if (!m_impl)
        return aErrInitialization;
    if (m_impl->hasLink())
        return aErrConnection;
    const aErr first = m_impl->discoveryAndConnectHelper(type, serialNumber, model);
    const linkType next = linkFallbackType(type, first, m_impl->config);
    if (next == INVALID)
        return first;
    return m_impl->discoveryAndConnectHelper(next, serialNumber, model);
}

aErr Link::connect()
{
    if (!m_impl)
        return aErrInitialization;
    if (m_impl->hasLink())
        return aErrConnection;
    return m_impl->connectHelper();
}

aErr Link::connectThroughLinkModule(Link* other)
{
    if (!m_impl)
        return aErrInitialization;
    if (!other || other == this || !other->m_impl || !other->m_impl->hasLink())
        return aErrInitialization;
    if (m_impl->hasLink())
        return aErrConnection;
    // The link table hands the router's link out again for the same module
    // identity, adding one use that this Link releases on disconnect.
    return m_impl->connectHelper();
}

bool Link::isConnected() const
{
    return m_impl && m_impl->hasLink() && aLink_GetStatus(m_impl->linkId) == RUNNING;
}

linkStatus Link::getStatus() const
{
    if (!m_impl || !m_impl->hasLink())
        return UNKNOWN_ERROR;
    return aLink_GetStatus(m_impl->linkId);
}

aErr Link::disconnect()
{
    if (m_impl) {
        uint32_t id = m_impl->linkId.exchange(0);
        if (id)
            aLink_Destroy(&id);
    }
    return aErrNone;
}

aErr Link::reset()
{
    if (m_impl && m_impl->hasLink())
        aLink_Reset(m_impl->linkId);
    return aErrNone;
}

uint32_t Link::getLinkId() const { return m_impl ? m_impl->linkId.load() : 0; }

aErr Link::getModuleAddress(uint8_t* address)
{
    if (!address)
        return aErrParam;
    *address = 0;
    if (!isConnected())
        return aErrNotReady;
    const uint32_t id = m_impl->linkId;
    aPacket* query = aPacket_CreateWithData(aLINK_ADDRESS_QUERY, 0, address);
    if (!query)
        return aErrResource;
    const aErr put = aLink_PutPacket(id, query);
    aPacket_Destroy(&query);
    if (put != aErrNone)
        return aErrNotReady;
    aPacket* answer = aLink_AwaitFirst(id, MatchMagic, nullptr, kReplyWaitMs);
    if (!answer)
        return aErrNotReady;
    *address = answer->address;
    aPacket_Destroy(&answer);
    return aErrNone;
}

aErr Link::enablePooledPackets(bool enable)
{
    if (!m_impl || !m_impl->hasLink())
        return aErrConnection;
    return aLink_EnablePooledPackets(m_impl->linkId, enable);
}

aErr Link::sendUEI(const uei& request)
{
    if (!m_impl)
        return aErrInitialization;
    if (const aErr err = m_impl->checkRequest(request.module))
        return err;
    std::vector<std::vector<uint8_t>> packets;
    if (const aErr err = ueiRequestData(request, &packets))
        return err;
    aErr result = aErrNone;
    for (const auto& data : packets) {
        result = sPut(m_impl->linkId, request.module, data);
        if (result != aErrNone)
            break;
    }
    return result;
}

aErr Link::sendUEI(const uei& request, uint8_t subindex)
{
    if (!m_impl)
        return aErrInitialization;
    if (const aErr err = m_impl->checkRequest(request.module))
        return err;
    std::vector<uint8_t> data;
    if (const aErr err = ueiSubindexRequestData(request, subindex, &data))
        return err;
    return sPut(m_impl->linkId, request.module, data);
}

aErr Link::receiveUEI(uint8_t module, uint8_t, uint8_t, uint8_t, uei* reply)
{
    if (!reply)
        return aErrParam;
    if (!m_impl)
        return aErrInitialization;
    if (const aErr err = m_impl->checkRequest(module))
        return err;
    const uint64_t wait = reply->type == aUEI_BYTES && reply->bytesSize > kLargeBlock ? kLargeBlockWaitMs
                                                                                         : kReplyWaitMs;
    aPacket* packet = aLink_AwaitFirst(m_impl->linkId, sUEIFilter, reply, wait);
    if (!packet)
        return aErrTimeout;
    ueiDecodeReply(packet, reply);
    aPacket_Destroy(&packet);
    return aErrNone;
}

aErr Link::receiveUEI(uint8_t module, uint8_t, uint8_t, uint8_t, uei* reply, aPacketFilter filter)
{
    if (!reply || !filter)
        return aErrParam;
    if (!m_impl)
        return aErrInitialization;
    if (const aErr err = m_impl->checkRequest(module))
        return err;
    const uint64_t wait = reply->type == aUEI_BYTES && reply->bytesSize > kLargeBlock ? kLargeBlockWaitMs
                                                                                         : kReplyWaitMs;
    // The filter itself takes what it needs from the packet it accepts.
    aPacket* packet = aLink_AwaitFirst(m_impl->linkId, filter, reply, wait);
    if (!packet)
        return aErrTimeout;
    aPacket_Destroy(&packet);
    return aErrNone;
}

aErr Link::dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index)
{
    if (!m_impl)
        return aErrInitialization;
    if (const aErr err = m_impl->checkRequest(module))
        return err;
    uei key{};
    key.module = module;
    key.command = command;
    key.option = option;
    key.specifier = index;
    aLink_DrainPackets(m_impl->linkId, sUEIFilter, &key);
    return aErrNone;
}

aErr Link::sendPacket(uint8_t module, uint8_t command, uint8_t length, const uint8_t* data)
{
    if (!m_impl)
        return aErrInitialization;
    if (length > aPACKET_MAX_DATA - 1 || (length > 0 && !data))
        return aErrParam;
    if (const aErr err = m_impl->checkRequest(module))
        return err;
    std::vector<uint8_t> bytes{command};
    bytes.insert(bytes.end(), data, data + length);
    return sPut(m_impl->linkId, module, bytes);
}

aErr Link::receivePacket(uint8_t module, const uint8_t* match, uint8_t* length, uint8_t* buffer)
{
    if (!length || !buffer || (*length > 0 && !match) || *length > aPACKET_MAX_DATA)
        return aErrParam;
    if (!m_impl)
        return aErrInitialization;
    if (const aErr err = m_impl->checkRequest(module))
        return err;
    CommandMatch m{match, *length};
    aPacket* packet = aLink_AwaitFirst(m_impl->linkId, sCommandFilter, &m, kReplyWaitMs);
    if (!packet)
        return aErrTimeout;
    *length = packet->dataSize;
    std::memcpy(buffer, packet->data, packet->dataSize);
    aPacket_Destroy(&packet);
    return aErrNone;
}

} // namespace Veltrane::Corvantis
