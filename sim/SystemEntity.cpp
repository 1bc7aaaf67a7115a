// The simulated module's system entity.
#include "sim/SystemEntity.h"

#include "sim/ModuleModel.h"

namespace modsim {

SystemEntity::SystemEntity() : UeiEntity(kCommand, 1) {
    defineOption(kModule, ValueKind::Byte, true, false);
    defineOption(kHBInterval, ValueKind::Byte, true, true);
    defineOption(kLED, ValueKind::Byte, true, true);
    defineOption(kVersion, ValueKind::Int, true, false);
    defineOption(kModel, ValueKind::Byte, true, false);
    defineOption(kSerialNumber, ValueKind::Int, true, false);
    defineOption(kName, ValueKind::Bytes, true, true);
    defineOption(kBuild, ValueKind::Int, true, false);
}

uint8_t SystemEntity::getValue(ModuleModel& module, uint8_t option, uint8_t,
                               std::optional<uint8_t> sub, UeiValue& out) {
    if (sub) return kErrParam; // no system option here takes a subindex
    const ModuleConfig& c = module.config();
    switch (option) {
    case kModule:
        out.number = module.address();
        break;
    case kHBInterval:
        out.number = hbInterval_;
        break;
    case kLED:
        out.number = led_;
        break;
    case kVersion:
        out.number = c.packedVersion();
        break;
    case kModel:
        out.number = c.model;
        break;
    case kSerialNumber:
        out.number = c.serial;
        break;
    case kName:
        out.bytes.assign(c.name.begin(), c.name.end());
        break;
    case kBuild:
        out.number = c.build;
        break;
    default:
        return kErrInvalidOption;
    }
    return kErrNone;
}

uint8_t SystemEntity::setValue(ModuleModel& module, uint8_t option, uint8_t,
                               std::optional<uint8_t> sub, const UeiValue& in) {
    if (sub) return kErrParam;
    switch (option) {
    case kHBInterval:
        hbInterval_ = static_cast<uint8_t>(in.number);
        break;
    case kLED:
        led_ = static_cast<uint8_t>(in.number);
        break;
    case kName:
        module.setName(std::string(in.bytes.begin(), in.bytes.end()));
        break;
    default:
        return kErrPermission;
    }
    return kErrNone;
}

} // namespace modsim
