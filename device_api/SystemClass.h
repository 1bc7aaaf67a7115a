// SystemClass: a module's system entity (entity class 3): its address,
// router, version, model, serial number, name, power and temperature values,
// save, reset and route control. Used by the updater's discovery and update
// flows and by anyone inspecting a module.
#pragma once

#include <cstdint>

#include "device_api/EntityClass.h"

namespace Veltrane::Corvantis {

class SystemClass : public EntityClass {
  public:
    static constexpr uint8_t ENTITY_CLASS = 3;

    void init(Module* module, uint8_t index);

    aErr getModule(uint8_t* address);
    aErr getRouter(uint8_t* address);
    aErr setRouter(uint8_t address);
    aErr getHBInterval(uint8_t* interval);
    aErr setHBInterval(uint8_t interval);
    aErr getLED(uint8_t* state);
    aErr setLED(uint8_t state);
    aErr getBootSlot(uint8_t* slot);
    aErr setBootSlot(uint8_t slot);
    aErr getVersion(uint32_t* version);
    aErr getModel(uint8_t* model);
    aErr getSerialNumber(uint32_t* serialNumber);
    aErr save();
    aErr reset();
    aErr getInputVoltage(uint32_t* microvolts);
    aErr getModuleHardwareOffset(uint8_t* offset);
    aErr getModuleBaseAddress(uint8_t* address);
    aErr getModuleSoftwareOffset(uint8_t* offset);
    aErr setModuleSoftwareOffset(uint8_t offset);
    aErr getRouterAddressSetting(uint8_t* address);
    aErr routeToMe(uint8_t enable);
    aErr getInputCurrent(uint32_t* microamps);
    aErr getUptime(uint32_t* minutes);
    aErr getMaximumTemperature(int32_t* temperature);
    aErr logEvents();
    aErr getUnregulatedVoltage(int32_t* microvolts);
    aErr getUnregulatedCurrent(int32_t* microamps);
    aErr getTemperature(int32_t* temperature);
    aErr getMinimumTemperature(int32_t* temperature);
    aErr getInputPowerSource(uint8_t* source);
    aErr getInputPowerBehavior(uint8_t* behavior);
    aErr setInputPowerBehavior(uint8_t behavior);
    // Words travel as they lie in host memory. count receives whole words.
    aErr getInputPowerBehaviorConfig(uint32_t* words, uint64_t capacity, uint64_t* count);
    aErr setInputPowerBehaviorConfig(const uint32_t* words, uint64_t count);
    // length receives the name's length in bytes (no terminator is added).
    aErr getName(uint8_t* buffer, uint64_t capacity, uint64_t* length);
    aErr setName(const uint8_t* name, uint64_t length);
    aErr getPowerLimit(uint32_t* milliwatts);
    aErr getPowerLimitMax(uint32_t* milliwatts);
    aErr setPowerLimitMax(uint32_t milliwatts);
    aErr getPowerLimitState(uint32_t* state);
    aErr resetDeviceToFactoryDefaults();
    aErr getLinkInterface(uint8_t* linkInterface);
    aErr setLinkInterface(uint8_t linkInterface);
    aErr getHardwareVersion(uint32_t* version);
    aErr getErrors(uint32_t* errors);
    aErr getLEDMaxBrightness(uint8_t* brightness);
    aErr setLEDMaxBrightness(uint8_t brightness);
    aErr getBuild(uint32_t* build);
    aErr getProtocolFeatures(uint32_t* features);
};

} // namespace Veltrane::Corvantis
