// I2CClass: an I2C bus master entity (entity class 8) of a module, driven
// with plain command packets: reads and writes of up to 23 bytes at an 8-bit
// I2C address, pull-ups, and a bus speed code sent with each transfer. The
// updater's router scan uses it to find the modules on a module network.
#pragma once

#include <cstdint>

#include "device_api/EntityClass.h"

namespace Veltrane::Corvantis {

class I2CClass : public EntityClass {
  public:
    static constexpr uint8_t ENTITY_CLASS = 8;
    static constexpr uint8_t MAX_TRANSFER = 23;


    void init(Module* module, uint8_t index);

    // aErrSize above 23 bytes; a reply whose status byte has bit 7 set gives
    // the error code in its bits 0-6.
    aErr read(uint8_t address, uint8_t length, uint8_t* buffer);
    aErr write(uint8_t address, uint8_t length, const uint8_t* data);
    aErr setPullup(bool on);
    // Speed codes 0 to 3; aErrParam above 3.
    aErr setSpeed(uint8_t code);
    aErr getSpeed(uint8_t* code);

  private:
    uint8_t m_speed = 0;
};

} // namespace Veltrane::Corvantis
