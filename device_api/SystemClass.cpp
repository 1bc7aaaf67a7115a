// SystemClass (see SystemClass.h): each operation is one option of the
// system entity.
#include "device_api/SystemClass.h"

namespace Veltrane::Corvantis {

namespace {

constexpr uint8_t kModule = 1;
constexpr uint8_t kRouter = 2;
constexpr uint8_t kHBInterval = 3;
constexpr uint8_t kLED = 4;
constexpr uint8_t kBootSlot = 6;
constexpr uint8_t kVersion = 7;
constexpr uint8_t kModel = 8;
constexpr uint8_t kSerialNumber = 9;
constexpr uint8_t kSave = 10;
constexpr uint8_t kReset = 11;
constexpr uint8_t kInputVoltage = 12;
constexpr uint8_t kModuleHardwareOffset = 13;
constexpr uint8_t kModuleBaseAddress = 14;
constexpr uint8_t kModuleSoftwareOffset = 15;
constexpr uint8_t kRouterAddressSetting = 16;
constexpr uint8_t kRouteToMe = 20;
constexpr uint8_t kInputCurrent = 21;
constexpr uint8_t kUptime = 22;
constexpr uint8_t kMaximumTemperature = 23;
constexpr uint8_t kLogEvents = 24;
constexpr uint8_t kUnregulatedVoltage = 25;
constexpr uint8_t kUnregulatedCurrent = 26;
constexpr uint8_t kTemperature = 27;
constexpr uint8_t kMinimumTemperature = 28;
constexpr uint8_t kInputPowerSource = 29;
constexpr uint8_t kInputPowerBehavior = 30;
constexpr uint8_t kPowerLimit = 33;
constexpr uint8_t kPowerLimitMax = 34;
constexpr uint8_t kPowerLimitState = 35;
constexpr uint8_t kResetDeviceToFactoryDefaults = 37;
constexpr uint8_t kLinkInterface = 38;
constexpr uint8_t kHardwareVersion = 40;
constexpr uint8_t kErrors = 41;
constexpr uint8_t kLEDMaxBrightness = 42;
constexpr uint8_t kBuild = 43;
constexpr uint8_t kProtocolFeatures = 45;
constexpr uint8_t kInputPowerBehaviorConfig = 31;
constexpr uint8_t kName = 32;

} // namespace

void SystemClass::init(Module* module, uint8_t index) { EntityClass::init(module, ENTITY_CLASS, index); }

aErr SystemClass::getModule(uint8_t* address)
{
    return getUEI8(kModule, address);
}

aErr SystemClass::getRouter(uint8_t* address)
{
    return getUEI8(kRouter, address);
}

aErr SystemClass::setRouter(uint8_t address)
{
    return setUEI8(kRouter, address);
}

aErr SystemClass::getHBInterval(uint8_t* interval)
{
    return getUEI8(kHBInterval, interval);
}

aErr SystemClass::setHBInterval(uint8_t interval)
{
    return setUEI8(kHBInterval, interval);
}

aErr SystemClass::getLED(uint8_t* state)
{
    return getUEI8(kLED, state);
}

aErr SystemClass::setLED(uint8_t state)
{
    return setUEI8(kLED, state);
}

aErr SystemClass::getBootSlot(uint8_t* slot)
{
    return getUEI8(kBootSlot, slot);
}

aErr SystemClass::setBootSlot(uint8_t slot)
{
    return setUEI8(kBootSlot, slot);
}

aErr SystemClass::getVersion(uint32_t* version)
{
    return getUEI32(kVersion, version);
}

aErr SystemClass::getModel(uint8_t* model)
{
    return getUEI8(kModel, model);
}

aErr SystemClass::getSerialNumber(uint32_t* serialNumber)
{
    return getUEI32(kSerialNumber, serialNumber);
}

aErr SystemClass::save()
{
    return callUEI(kSave);
}

aErr SystemClass::reset()
{
    return callUEI(kReset);
}

aErr SystemClass::getInputVoltage(uint32_t* microvolts)
{
    return getUEI32(kInputVoltage, microvolts);
}

aErr SystemClass::getModuleHardwareOffset(uint8_t* offset)
{
    return getUEI8(kModuleHardwareOffset, offset);
}

aErr SystemClass::getModuleBaseAddress(uint8_t* address)
{
    return getUEI8(kModuleBaseAddress, address);
}

aErr SystemClass::getModuleSoftwareOffset(uint8_t* offset)
{
    return getUEI8(kModuleSoftwareOffset, offset);
}

aErr SystemClass::setModuleSoftwareOffset(uint8_t offset)
{
    return setUEI8(kModuleSoftwareOffset, offset);
}

aErr SystemClass::getRouterAddressSetting(uint8_t* address)
{
    return getUEI8(kRouterAddressSetting, address);
}

aErr SystemClass::routeToMe(uint8_t enable)
{
    return setUEI8(kRouteToMe, enable);
}

aErr SystemClass::getInputCurrent(uint32_t* microamps)
{
    return getUEI32(kInputCurrent, microamps);
}

aErr SystemClass::getUptime(uint32_t* minutes)
{
    return getUEI32(kUptime, minutes);
}

aErr SystemClass::getMaximumTemperature(int32_t* temperature)
{
    if (!temperature)
        return aErrParam;
    uint32_t raw = 0;
    const aErr err = getUEI32(kMaximumTemperature, &raw);
    if (err == aErrNone || err == aErrStreamStale)
        *temperature = static_cast<int32_t>(raw);
    return err;
}

aErr SystemClass::logEvents()
{
    return callUEI(kLogEvents);
}

aErr SystemClass::getUnregulatedVoltage(int32_t* microvolts)
{
    if (!microvolts)
        return aErrParam;
    uint32_t raw = 0;
    const aErr err = getUEI32(kUnregulatedVoltage, &raw);
    if (err == aErrNone || err == aErrStreamStale)
        *microvolts = static_cast<int32_t>(raw);
    return err;
}

aErr SystemClass::getUnregulatedCurrent(int32_t* microamps)
{
    if (!microamps)
        return aErrParam;
    uint32_t raw = 0;
    const aErr err = getUEI32(kUnregulatedCurrent, &raw);
    if (err == aErrNone || err == aErrStreamStale)
        *microamps = static_cast<int32_t>(raw);
    return err;
}

aErr SystemClass::getTemperature(int32_t* temperature)
{
    if (!temperature)
        return aErrParam;
    uint32_t raw = 0;
    const aErr err = getUEI32(kTemperature, &raw);
    if (err == aErrNone || err == aErrStreamStale)
        *temperature = static_cast<int32_t>(raw);
    return err;
}

aErr SystemClass::getMinimumTemperature(int32_t* temperature)
{
    if (!temperature)
        return aErrParam;
    uint32_t raw = 0;
    const aErr err = getUEI32(kMinimumTemperature, &raw);
    if (err == aErrNone || err == aErrStreamStale)
        *temperature = static_cast<int32_t>(raw);
    return err;
}

aErr SystemClass::getInputPowerSource(uint8_t* source)
{
    return getUEI8(kInputPowerSource, source);
}

aErr SystemClass::getInputPowerBehavior(uint8_t* behavior)
{
    return getUEI8(kInputPowerBehavior, behavior);
}

aErr SystemClass::setInputPowerBehavior(uint8_t behavior)
{
    return setUEI8(kInputPowerBehavior, behavior);
}

aErr SystemClass::getPowerLimit(uint32_t* milliwatts)
{
    return getUEI32(kPowerLimit, milliwatts);
}

aErr SystemClass::getPowerLimitMax(uint32_t* milliwatts)
{
    return getUEI32(kPowerLimitMax, milliwatts);
}

aErr SystemClass::setPowerLimitMax(uint32_t milliwatts)
{
    return setUEI32(kPowerLimitMax, milliwatts);
}

aErr SystemClass::getPowerLimitState(uint32_t* state)
{
    return getUEI32(kPowerLimitState, state);
}

aErr SystemClass::resetDeviceToFactoryDefaults()
{
    return callUEI(kResetDeviceToFactoryDefaults);
}

aErr SystemClass::getLinkInterface(uint8_t* linkInterface)
{
    return getUEI8(kLinkInterface, linkInterface);
}

aErr SystemClass::setLinkInterface(uint8_t linkInterface)
{
    return setUEI8(kLinkInterface, linkInterface);
}

aErr SystemClass::getHardwareVersion(uint32_t* version)
{
    return getUEI32(kHardwareVersion, version);
}

aErr SystemClass::getErrors(uint32_t* errors)
{
    return getUEI32(kErrors, errors);
}

aErr SystemClass::getLEDMaxBrightness(uint8_t* brightness)
{
    return getUEI8(kLEDMaxBrightness, brightness);
}

aErr SystemClass::setLEDMaxBrightness(uint8_t brightness)
{
    return setUEI8(kLEDMaxBrightness, brightness);
}

aErr SystemClass::getBuild(uint32_t* build)
{
    return getUEI32(kBuild, build);
}

aErr SystemClass::getProtocolFeatures(uint32_t* features)
{
    return getUEI32(kProtocolFeatures, features);
}

aErr SystemClass::getInputPowerBehaviorConfig(uint32_t* words, uint64_t capacity, uint64_t* count)
{
    if (!words || !count)
        return aErrParam;
    const aErr err = getUEIBytes(kInputPowerBehaviorConfig, reinterpret_cast<uint8_t*>(words), capacity * 4, count);
    if (err != aErrNone)
        return err;
    return getUEIBytesCheck(count, 4);
}

aErr SystemClass::setInputPowerBehaviorConfig(const uint32_t* words, uint64_t count)
{
    return setUEIBytes(kInputPowerBehaviorConfig, reinterpret_cast<const uint8_t*>(words), count * 4);
}

aErr SystemClass::getName(uint8_t* buffer, uint64_t capacity, uint64_t* length)
{
    return getUEIBytes(kName, buffer, capacity, length);
}

aErr SystemClass::setName(const uint8_t* name, uint64_t length) { return setUEIBytes(kName, name, length); }

} // namespace Veltrane::Corvantis
