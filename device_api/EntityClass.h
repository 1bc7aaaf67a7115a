// EntityClass: one entity of a module (an entity class byte and an index),
// whose options are read, written and called with UEI requests over the
// module's link: 8-, 16- and 32-bit values, byte blocks of any length and
// void calls, plain or sub-indexed. SystemClass, I2CClass and the upgrade
// entity derive from it.
#pragma once

#include <cstdint>

#include "common/aErr.h"
#include "common/aUEI.h"

namespace Veltrane::Corvantis {

class Module;

class EntityClass {
  public:
    EntityClass();
    virtual ~EntityClass();

    EntityClass(const EntityClass&) = delete;
    EntityClass& operator=(const EntityClass&) = delete;

    void init(Module* module, uint8_t entityClass, uint8_t index);
    uint8_t getIndex() const;

    // Every operation below answers aErrResource before init. A module's
    // error reply comes back as the module's own error code.
    // Get one value; when value->type is aUEI_BYTE on entry, value->byteVal
    // is the subindex.
    aErr getUEI(uint8_t option, uei* value);
    // Set with value's value (a call for a void value).
    aErr setUEI(uint8_t option, uei* value);
    aErr setUEI(uint8_t option, uint8_t subindex, uei* value);
    aErr callUEI(uint8_t option);

    aErr setUEI8(uint8_t option, uint8_t value);
    aErr setUEI16(uint8_t option, uint16_t value);
    aErr setUEI32(uint8_t option, uint32_t value);
    aErr setUEI8(uint8_t option, uint8_t subindex, uint8_t value);
    aErr setUEI16(uint8_t option, uint8_t subindex, uint16_t value);
    aErr setUEI32(uint8_t option, uint8_t subindex, uint32_t value);

    // aErrParam for a null output.
    aErr getUEI8(uint8_t option, uint8_t* value);
    aErr getUEI16(uint8_t option, uint16_t* value);
    aErr getUEI32(uint8_t option, uint32_t* value);
    aErr getUEI8(uint8_t option, uint8_t subindex, uint8_t* value);
    aErr getUEI16(uint8_t option, uint8_t subindex, uint16_t* value);
    aErr getUEI32(uint8_t option, uint8_t subindex, uint32_t* value);

    aErr setUEIBytes(uint8_t option, const uint8_t* data, uint64_t length);
    // Reads a byte block into buffer; aErrMemory (1) when it does not fit.
    aErr getUEIBytes(uint8_t option, uint8_t* buffer, uint64_t capacity, uint64_t* received);
    // Turns a byte count into an element count: aErrMemory when not divisible.
    static aErr getUEIBytesCheck(uint64_t* count, uint64_t elementSize);

    // Waits 1000 ms for an unsolicited reply for this entity and option
    // without sending anything; the third argument is not used.
    aErr awaitUEI32Val(uint8_t option, uint32_t* value, int unused = 0);
    aErr drainUEI(uint8_t option);

    // Raw command packets to and from the module's address.
    aErr sendPacket(uint8_t command, uint8_t length, const uint8_t* data);
    aErr receivePacket(const uint8_t* match, uint8_t* length, uint8_t* buffer);

    // Entity store operations on this entity.
    aErr saveEntityToStore();
    aErr resetEntityToFactoryDefaults();
    aErr loadEntityFromStore();

    struct impl;

  private:
    impl* m_impl;
};

} // namespace Veltrane::Corvantis
