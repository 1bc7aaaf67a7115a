// SystemEntity: the simulated module's system entity (class 3, index 0):
// every system option a module offers, with realistic values: identity
// (address, model, serial, version, build, name), settings that can be read
// back after a set, calls (save, reset, factory defaults, log events), power
// and temperature readings, and routeToMe, which switches a router's routing.
#pragma once

#include <array>

#include "sim/Uei.h"

namespace modsim {

class SystemEntity final : public UeiEntity {
public:
    static constexpr uint8_t kCommand = 3;
    enum Opt : uint8_t {
        kModule = 1,
        kRouter = 2,
        kHBInterval = 3,
        kLED = 4,
        kBootSlot = 6,
        kVersion = 7,
        kModel = 8,
        kSerialNumber = 9,
        kSave = 10,
        kReset = 11,
        kInputVoltage = 12,
        kHardwareOffset = 13,
        kBaseAddress = 14,
        kSoftwareOffset = 15,
        kRouterAddressSetting = 16,
        kRouteToMe = 20,
        kInputCurrent = 21,
        kUptime = 22,
        kMaxTemperature = 23,
        kLogEvents = 24,
        kUnregulatedVoltage = 25,
        kUnregulatedCurrent = 26,
        kTemperature = 27,
        kMinTemperature = 28,
        kInputPowerSource = 29,
        kInputPowerBehavior = 30,
        kInputPowerBehaviorConfig = 31,
        kName = 32,
        kPowerLimit = 33,
        kPowerLimitMax = 34,
        kPowerLimitState = 35,
        kFactoryDefaults = 37,
        kLinkInterface = 38,
        kUniqueId = 39, // takes subindex 0..3: one word of the chip's unique id
        kHardwareVersion = 40,
        kErrors = 41,
        kLEDMaxBrightness = 42,
        kBuild = 43,
        kProtocolFeatures = 45,
    };
    static constexpr size_t kMaxName = 255;

    SystemEntity();

protected:
    uint8_t getValue(ModuleModel& module, uint8_t option, uint8_t index, std::optional<uint8_t> sub,
                     UeiValue& out) override;
    uint8_t setValue(ModuleModel& module, uint8_t option, uint8_t index, std::optional<uint8_t> sub,
                     const UeiValue& in) override;

private:
    // Settings a set changes and a get reads back; factory defaults restore them.
    struct Settings {
        uint8_t router = 0; // 0: the module's configured router address
        uint8_t hbInterval = 0;
        uint8_t led = 0;
        uint8_t bootSlot = 0;
        uint8_t softwareOffset = 0;
        uint8_t inputPowerBehavior = 0;
        std::vector<uint8_t> inputPowerBehaviorConfig = {0, 0, 0, 1, 0, 0, 0, 0};
        uint32_t powerLimitMax = 15000000; // µW
        uint8_t linkInterface = 0;
        uint8_t ledMaxBrightness = 255;
    };
    Settings s_;
    unsigned eventsLogged_ = 0;
};

} // namespace modsim
