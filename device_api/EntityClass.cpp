// EntityClass (see EntityClass.h): UEI gets, sets and calls of one entity,
// byte blocks in chunks, and the entity-store operations.
#include "device_api/EntityClass.h"

#include <cstring>
#include <new>
#include <type_traits>

#include "device_api/Link.h"
#include "device_api/Module.h"

namespace Veltrane::Corvantis {

namespace {

constexpr uint8_t kEntityStoreClass = 92;
constexpr uint8_t kStoreSave = 0;
constexpr uint8_t kStoreFactoryReset = 1;
constexpr uint8_t kStoreLoad = 2;
// Marks a reply whose size carried no value type (3 is no type).
constexpr uint32_t kNoReplyType = 3;

// A byte-block receive: the key first, so the filter gets it back from the
// uei pointer Link hands it.
struct BytesReceive {
    uei key;
    uint8_t* position;
    uint64_t capacity;
    uint64_t received;
    uint8_t expected;  // sequence number of the next chunk
    bool more;         // the last accepted chunk announced another
    uint8_t error;     // module's error code, 0 while none
    bool overflow;     // a chunk did not fit: the result is aErrMemory
};
static_assert(std::is_standard_layout_v<BytesReceive>);

uint8_t sUEIBytesFilter(const aPacket* packet, const void* reference)
{
    auto* r = reinterpret_cast<BytesReceive*>(const_cast<void*>(reference));
    const uint8_t* d = packet->data;
    if (packet->address != r->key.module || packet->dataSize < 3 || d[0] != r->key.command
        || d[1] != r->key.option || (d[2] & aUEI_INDEX_MASK) != r->key.specifier)
        return 0;
    if (d[2] & aUEI_SPECIFIER_ERROR) {
        r->error = packet->dataSize >= 4 ? d[3] : static_cast<uint8_t>(aErrUnknown);
        r->more = false;
        return 1;
    }
    if (packet->dataSize < 4)
        return 0;
    const uint8_t trailer = d[packet->dataSize - 1];
    if ((trailer & aUEI_BYTES_SEQUENCE_MASK) != r->expected)
        return 0;
    const uint64_t n = packet->dataSize - 4u;
    if (!r->overflow && r->received + n <= r->capacity) {
        std::memcpy(r->position, d + 3, n);
        r->position += n;
        r->received += n;
    } else {
        // Too long for the buffer: the rest of the block is still taken off
        // the queue so it cannot pass for the next read's chunks.
        r->overflow = true;
    }
    r->more = (trailer & aUEI_BYTES_CONTINUE) != 0;
    return 1;
}

} // namespace

struct EntityClass::impl {
    EntityClass* owner;
    Module* module = nullptr;
    uint8_t entityClass = 0;
    uint8_t index = 0;

    explicit impl(EntityClass* o) : owner(o) {}

    Link* link() const { return module ? module->getLink() : nullptr; }

    // A value addressed to this entity (module and class filled in); needs a module.
    uei addressed(uint8_t option, uint8_t specifier, uint32_t type) const
    {
        uei u{};
        u.module = module->getModuleAddress();
        u.command = entityClass;
        u.option = option;
        u.specifier = specifier;
        u.type = type;
        return u;
    }

    // Sends (set or get form), then awaits the reply into value.
    aErr exchange(uint8_t requestOption, uint8_t replyOption, uei* value, bool subindexed, uint8_t subindex)
    {
        Link* l = link();
        if (!l)
            return aErrResource;
        value->module = module->getModuleAddress();
        value->command = entityClass;
        value->option = requestOption;
        value->specifier = static_cast<uint8_t>(index | aUEI_SPECIFIER_REQUEST);
        const aErr sent = subindexed ? l->sendUEI(*value, subindex) : l->sendUEI(*value);
        if (sent != aErrNone)
            return sent;
        value->option = replyOption;
        value->specifier = index;
        // A block's size decides the wait; any other reply must bring its type.
        if (value->type != aUEI_BYTES)
            value->type = kNoReplyType;
        const aErr received = l->receiveUEI(value->module, value->command, value->option, value->specifier, value);
        if (received != aErrNone)
            return received;
        if (value->specifier & aUEI_SPECIFIER_ERROR)
            return static_cast<aErr>(value->byteVal);
        return aErrNone;
    }

    template <typename T>
    aErr getTyped(uint8_t option, bool subindexed, uint8_t subindex, uint32_t type, T* out)
    {
        if (!out)
            return aErrParam;
        uei value{};
        if (subindexed) {
            value.type = aUEI_BYTE;
            value.byteVal = subindex;
        }
        const aErr err = owner->getUEI(option, &value);
        if (err != aErrNone && err != aErrStreamStale)
            return err;
        if (value.type != type)
            return aErrSize;
        switch (type) {
        case aUEI_BYTE:
            *out = static_cast<T>(value.byteVal);
            break;
        case aUEI_SHORT:
            *out = static_cast<T>(value.shortVal);
            break;
        default:
            *out = static_cast<T>(value.intVal);
            break;
        }
        return err;
    }

    aErr setTyped(uint8_t option, bool subindexed, uint8_t subindex, uint32_t type, uint32_t v)
    {
        uei value{};
        value.type = type;
        if (type == aUEI_BYTE)
            value.byteVal = static_cast<uint8_t>(v);
        else if (type == aUEI_SHORT)
            value.shortVal = static_cast<uint16_t>(v);
        else
            value.intVal = v;
        return subindexed ? owner->setUEI(option, subindex, &value) : owner->setUEI(option, &value);
    }

    aErr store(uint8_t option)
    {
        if (!module)
            return aErrResource;
        EntityClass entityStore;
        entityStore.init(module, kEntityStoreClass, 0);
        return entityStore.setUEI32(option, static_cast<uint32_t>(entityClass) * 256 + index);
    }
};

EntityClass::EntityClass() : m_impl(new (std::nothrow) impl(this)) {}

EntityClass::~EntityClass() { delete m_impl; }

void EntityClass::init(Module* module, uint8_t entityClass, uint8_t index)
{
    if (!m_impl)
        return;
    m_impl->module = module;
    m_impl->entityClass = entityClass;
    m_impl->index = index;
}

uint8_t EntityClass::getIndex() const { return m_impl ? m_impl->index : 0; }

aErr EntityClass::getUEI(uint8_t option, uei* value)
{
    if (!m_impl || !m_impl->module)
        return aErrResource;
    if (!value)
        return aErrParam;
    // Values pushed by a streaming module are not cached in this build, so
    // every get asks the module.
    return m_impl->exchange(static_cast<uint8_t>(option | aUEI_OPTION_GET), option, value, false, 0);
}

aErr EntityClass::setUEI(uint8_t option, uei* value)
{
    if (!m_impl || !m_impl->module)
        return aErrResource;
    if (!value)
        return aErrParam;
    return m_impl->exchange(static_cast<uint8_t>(option | aUEI_OPTION_SET),
                            static_cast<uint8_t>(option | aUEI_OPTION_SET_REPLY), value, false, 0);
}

aErr EntityClass::setUEI(uint8_t option, uint8_t subindex, uei* value)
{
    if (!m_impl || !m_impl->module)
        return aErrResource;
    if (!value)
        return aErrParam;
    return m_impl->exchange(static_cast<uint8_t>(option | aUEI_OPTION_SET),
                            static_cast<uint8_t>(option | aUEI_OPTION_SET_REPLY), value, true, subindex);
}

aErr EntityClass::callUEI(uint8_t option)
{
    uei value{};
    value.type = aUEI_VOID;
    return setUEI(option, &value);
}

aErr EntityClass::setUEI8(uint8_t option, uint8_t value)
{
    return m_impl ? m_impl->setTyped(option, false, 0, aUEI_BYTE, value) : aErrResource;
}
aErr EntityClass::setUEI16(uint8_t option, uint16_t value)
{
    return m_impl ? m_impl->setTyped(option, false, 0, aUEI_SHORT, value) : aErrResource;
}
aErr EntityClass::setUEI32(uint8_t option, uint32_t value)
{
    return m_impl ? m_impl->setTyped(option, false, 0, aUEI_INT, value) : aErrResource;
}
aErr EntityClass::setUEI8(uint8_t option, uint8_t subindex, uint8_t value)
{
    return m_impl ? m_impl->setTyped(option, true, subindex, aUEI_BYTE, value) : aErrResource;
}
aErr EntityClass::setUEI16(uint8_t option, uint8_t subindex, uint16_t value)
{
    return m_impl ? m_impl->setTyped(option, true, subindex, aUEI_SHORT, value) : aErrResource;
}
aErr EntityClass::setUEI32(uint8_t option, uint8_t subindex, uint32_t value)
{
    return m_impl ? m_impl->setTyped(option, true, subindex, aUEI_INT, value) : aErrResource;
}

aErr EntityClass::getUEI8(uint8_t option, uint8_t* value)
{
    return m_impl ? m_impl->getTyped(option, false, 0, aUEI_BYTE, value) : aErrResource;
}
aErr EntityClass::getUEI16(uint8_t option, uint16_t* value)
{
    return m_impl ? m_impl->getTyped(option, false, 0, aUEI_SHORT, value) : aErrResource;
}
aErr EntityClass::getUEI32(uint8_t option, uint32_t* value)
{
    return m_impl ? m_impl->getTyped(option, false, 0, aUEI_INT, value) : aErrResource;
}
aErr EntityClass::getUEI8(uint8_t option, uint8_t subindex, uint8_t* value)
{
    return m_impl ? m_impl->getTyped(option, true, subindex, aUEI_BYTE, value) : aErrResource;
}
aErr EntityClass::getUEI16(uint8_t option, uint8_t subindex, uint16_t* value)
{
    return m_impl ? m_impl->getTyped(option, true, subindex, aUEI_SHORT, value) : aErrResource;
}
aErr EntityClass::getUEI32(uint8_t option, uint8_t subindex, uint32_t* value)
{
    return m_impl ? m_impl->getTyped(option, true, subindex, aUEI_INT, value) : aErrResource;
}

aErr EntityClass::setUEIBytes(uint8_t option, const uint8_t* data, uint64_t length)
{
    if (length > 0 && !data)
        return aErrParam;
    uei value{};
    value.type = aUEI_BYTES;
    value.bytes = const_cast<uint8_t*>(data); // only read when sending
    value.bytesSize = length;
    return setUEI(option, &value);
}

aErr EntityClass::getUEIBytes(uint8_t option, uint8_t* buffer, uint64_t capacity, uint64_t* received)
{
    if (!buffer || !received || capacity == 0)
        return aErrParam;
    *received = 0;
    Link* l = m_impl ? m_impl->link() : nullptr;
    if (!l)
        return aErrResource;
    const uei request = m_impl->addressed(static_cast<uint8_t>(option | aUEI_OPTION_GET),
                                          static_cast<uint8_t>(m_impl->index | aUEI_SPECIFIER_REQUEST), aUEI_VOID);
    // Chunks left over from an earlier read that gave up must not join this one.
    l->dropMatchingUEIPackets(request.module, request.command, option, m_impl->index);
    if (const aErr err = l->sendUEI(request))
        return err;

    BytesReceive r{};
    r.key.module = request.module;
    r.key.command = request.command;
    r.key.option = option;
    r.key.specifier = m_impl->index;
    r.key.type = aUEI_VOID;
    r.position = buffer;
    r.capacity = capacity;
    // Every chunk but the last should bring a byte; a module that keeps
    // announcing more without sending any is cut off here.
    const uint64_t maxChunks = capacity / aUEI_BYTES_CHUNK + 130;
    for (uint64_t chunks = 0; chunks < maxChunks; ++chunks) {
        r.more = false;
        const aErr err = l->receiveUEI(r.key.module, r.key.command, r.key.option, r.key.specifier, &r.key,
                                       sUEIBytesFilter);
        *received = r.received;
        if (err != aErrNone)
            return r.overflow ? aErrMemory : err;
        if (r.error != 0)
            return static_cast<aErr>(r.error);
        if (!r.more)
            return r.overflow ? aErrMemory : aErrNone;
        r.expected = static_cast<uint8_t>((r.expected + 1) & aUEI_BYTES_SEQUENCE_MASK);
    }
    return r.overflow ? aErrMemory : aErrOverrun;
}

aErr EntityClass::getUEIBytesCheck(uint64_t* count, uint64_t elementSize)
{
    if (!count || elementSize == 0)
        return aErrParam;
    if (*count % elementSize != 0)
        return aErrMemory;
    *count /= elementSize;
    return aErrNone;
}

aErr EntityClass::awaitUEI32Val(uint8_t option, uint32_t* value, int)
{
    if (!value)
        return aErrParam;
    Link* l = m_impl ? m_impl->link() : nullptr;
    if (!l)
        return aErrResource;
    uei reply = m_impl->addressed(option, m_impl->index, kNoReplyType);
    if (const aErr err = l->receiveUEI(reply.module, reply.command, reply.option, reply.specifier, &reply))
        return err;
    if (reply.specifier & aUEI_SPECIFIER_ERROR)
        return static_cast<aErr>(reply.byteVal);
    if (reply.type != aUEI_INT)
        return aErrSize;
    *value = reply.intVal;
    return aErrNone;
}

aErr EntityClass::drainUEI(uint8_t option)
{
    if (!m_impl || !m_impl->link())
        return aErrResource;
    return m_impl->link()->dropMatchingUEIPackets(m_impl->module->getModuleAddress(), m_impl->entityClass, option,
                                                  m_impl->index);
}

aErr EntityClass::sendPacket(uint8_t command, uint8_t length, const uint8_t* data)
{
    if (!m_impl || !m_impl->link())
        return aErrResource;
    return m_impl->link()->sendPacket(m_impl->module->getModuleAddress(), command, length, data);
}

aErr EntityClass::receivePacket(const uint8_t* match, uint8_t* length, uint8_t* buffer)
{
    if (!m_impl || !m_impl->link())
        return aErrResource;
    return m_impl->link()->receivePacket(m_impl->module->getModuleAddress(), match, length, buffer);
}

aErr EntityClass::saveEntityToStore() { return m_impl ? m_impl->store(kStoreSave) : aErrResource; }
aErr EntityClass::resetEntityToFactoryDefaults() { return m_impl ? m_impl->store(kStoreFactoryReset) : aErrResource; }
aErr EntityClass::loadEntityFromStore() { return m_impl ? m_impl->store(kStoreLoad) : aErrResource; }

} // namespace Veltrane::Corvantis
