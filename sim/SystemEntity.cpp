// The simulated module's system entity.
#include "sim/SystemEntity.h"

#include "sim/ModuleModel.h"

namespace modsim {
namespace {

// Readings of a module on a bench supply (micro-units, as modules report them).
constexpr uint32_t kInputVoltageUV = 5020000;
constexpr uint32_t kInputCurrentUA = 412000;
constexpr int32_t kUnregulatedVoltageUV = 12040000;
constexpr int32_t kUnregulatedCurrentUA = 188000;
constexpr int32_t kTemperatureUC = 38500000;
constexpr int32_t kMaxTemperatureUC = 51250000;
constexpr int32_t kMinTemperatureUC = -4750000;
constexpr uint32_t kHardwareVersion = 0x00030001;

uint32_t asWord(int32_t v) {
    return static_cast<uint32_t>(v);
}

} // namespace

SystemEntity::SystemEntity() : UeiEntity(kCommand, 1) {
    using K = ValueKind;
    struct Row {
        uint8_t option;
        ValueKind kind;
        bool get, set;
    };
    const Row rows[] = {
        {kModule, K::Byte, true, false},
        {kRouter, K::Byte, true, true},
        {kHBInterval, K::Byte, true, true},
        {kLED, K::Byte, true, true},
        {kBootSlot, K::Byte, true, true},
        {kVersion, K::Int, true, false},
        {kModel, K::Byte, true, false},
        {kSerialNumber, K::Int, true, false},
        {kSave, K::Void, false, true},
        {kReset, K::Void, false, true},
        {kInputVoltage, K::Int, true, false},
        {kHardwareOffset, K::Byte, true, false},
        {kBaseAddress, K::Byte, true, false},
        {kSoftwareOffset, K::Byte, true, true},
        {kRouterAddressSetting, K::Byte, true, false},
        {kRouteToMe, K::Byte, false, true},
        {kInputCurrent, K::Int, true, false},
        {kUptime, K::Int, true, false},
        {kMaxTemperature, K::Int, true, false},
        {kLogEvents, K::Void, false, true},
        {kUnregulatedVoltage, K::Int, true, false},
        {kUnregulatedCurrent, K::Int, true, false},
        {kTemperature, K::Int, true, false},
        {kMinTemperature, K::Int, true, false},
        {kInputPowerSource, K::Byte, true, false},
        {kInputPowerBehavior, K::Byte, true, true},
        {kInputPowerBehaviorConfig, K::Bytes, true, true},
        {kName, K::Bytes, true, true},
        {kPowerLimit, K::Int, true, false},
        {kPowerLimitMax, K::Int, true, true},
        {kPowerLimitState, K::Int, true, false},
        {kFactoryDefaults, K::Void, false, true},
        {kLinkInterface, K::Byte, true, true},
        {kUniqueId, K::Int, true, false},
        {kHardwareVersion, K::Int, true, false},
        {kErrors, K::Int, true, false},
        {kLEDMaxBrightness, K::Byte, true, true},
        {kBuild, K::Int, true, false},
        {kProtocolFeatures, K::Int, true, false},
    };
    for (auto& r : rows)
        defineOption(r.option, r.kind, r.get, r.set);
}

uint8_t SystemEntity::getValue(ModuleModel& module, uint8_t option, uint8_t,
                               std::optional<uint8_t> sub, UeiValue& out) {
    const ModuleConfig& c = module.config();
    // Only the unique id takes a subindex, and it needs one.
    if (option == kUniqueId) {
        if (!sub) return kErrParam;
        if (*sub >= c.uniqueId.size()) return kErrRange;
        out.number = c.uniqueId[*sub];
        return kErrNone;
    }
    if (sub) return kErrParam;
    const uint8_t router = s_.router ? s_.router : c.routerAddress ? c.routerAddress : c.address;
    uint32_t& n = out.number;
    switch (option) {
    case kModule:
        n = module.address();
        break;
    case kRouter:
        n = router;
        break;
    case kHBInterval:
        n = s_.hbInterval;
        break;
    case kLED:
        n = s_.led;
        break;
    case kBootSlot:
        n = s_.bootSlot;
        break;
    case kVersion:
        n = c.packedVersion();
        break;
    case kModel:
        n = c.model;
        break;
    case kSerialNumber:
        n = c.serial;
        break;
    case kInputVoltage:
        n = kInputVoltageUV;
        break;
    // Address = base address + 2 * hardware offset (the software offset
    // takes effect only after a save and reset, which a simulation never needs).
    case kHardwareOffset:
        n = static_cast<uint8_t>((module.address() - 2) / 2);
        break;
    case kBaseAddress:
        n = 2;
        break;
    case kSoftwareOffset:
        n = s_.softwareOffset;
        break;
    case kRouterAddressSetting:
        n = router;
        break;
    case kInputCurrent:
        n = kInputCurrentUA;
        break;
    case kUptime:
        n = module.uptimeSeconds();
        break;
    case kMaxTemperature:
        n = asWord(kMaxTemperatureUC);
        break;
    case kUnregulatedVoltage:
        n = asWord(kUnregulatedVoltageUV);
        break;
    case kUnregulatedCurrent:
        n = asWord(kUnregulatedCurrentUA);
        break;
    case kTemperature:
        n = asWord(kTemperatureUC);
        break;
    case kMinTemperature:
        n = asWord(kMinTemperatureUC);
        break;
    case kInputPowerSource:
        n = 1;
        break; // USB host power
    case kInputPowerBehavior:
        n = s_.inputPowerBehavior;
        break;
    case kInputPowerBehaviorConfig:
        out.bytes = s_.inputPowerBehaviorConfig;
        break;
    case kName:
        out.bytes.assign(c.name.begin(), c.name.end());
        break;
    case kPowerLimit:
        n = std::min<uint32_t>(s_.powerLimitMax, 10000000);
        break;
    case kPowerLimitMax:
        n = s_.powerLimitMax;
        break;
    case kPowerLimitState:
        n = 0;
        break; // within the limit
    case kLinkInterface:
        n = s_.linkInterface;
        break;
    case kHardwareVersion:
        n = kHardwareVersion;
        break;
    case kErrors:
        n = 0;
        break;
    case kLEDMaxBrightness:
        n = s_.ledMaxBrightness;
        break;
    case kBuild:
        n = c.build;
        break;
    case kProtocolFeatures:
        n = c.protocolFeatures;
        break;
    default:
        return kErrInvalidOption;
    }
    return kErrNone;
}

uint8_t SystemEntity::setValue(ModuleModel& module, uint8_t option, uint8_t,
                               std::optional<uint8_t> sub, const UeiValue& in) {
    if (sub) return kErrParam;
    const auto byte = static_cast<uint8_t>(in.number);
    switch (option) {
    case kRouter:
        if (byte & 1) return kErrRange;
        s_.router = byte;
        break;
    case kHBInterval:
        s_.hbInterval = byte;
        break;
    case kLED:
        s_.led = byte;
        break;
    case kBootSlot:
        if (byte > 1) return kErrRange;
        s_.bootSlot = byte;
        break;
    case kSoftwareOffset:
        s_.softwareOffset = byte;
        break;
    case kRouteToMe:
        if (byte > 1) return kErrRange;
        module.setRouting(byte == 1);
        break;
    case kInputPowerBehavior:
        if (byte > 3) return kErrRange;
        s_.inputPowerBehavior = byte;
        break;
    case kInputPowerBehaviorConfig:
        if (in.bytes.size() % 4 || in.bytes.size() > 64) return kErrSize;
        s_.inputPowerBehaviorConfig = in.bytes;
        break;
    case kName:
        if (in.bytes.size() > kMaxName) return kErrSize;
        module.setName(std::string(in.bytes.begin(), in.bytes.end()));
        break;
    case kPowerLimitMax:
        s_.powerLimitMax = in.number;
        break;
    case kLinkInterface:
        if (byte > 1) return kErrRange;
        s_.linkInterface = byte;
        break;
    case kLEDMaxBrightness:
        s_.ledMaxBrightness = byte;
        break;
    case kSave:
        module.note("system save");
        break;
    case kLogEvents:
        module.note("system log-events " + std::to_string(++eventsLogged_));
        break;
    case kFactoryDefaults:
        s_ = Settings{};
        module.note("system factory-defaults");
        break;
    case kReset:
        // Answered first, then the module restarts (the transport drops the link).
        module.requestRestart("reset");
        break;
    default:
        return kErrPermission;
    }
    return kErrNone;
}

} // namespace modsim
