// SystemEntity: the simulated module's system entity (class 3, index 0):
// module address, heartbeat interval, LED, version, model, serial number,
// name and build. Further options are added to its table as tests need them.
#pragma once

#include "sim/Uei.h"

namespace modsim {

class SystemEntity final : public UeiEntity {
public:
    static constexpr uint8_t kCommand = 3;
    enum Opt : uint8_t {
        kModule = 1,
        kHBInterval = 3,
        kLED = 4,
        kVersion = 7,
        kModel = 8,
        kSerialNumber = 9,
        kName = 32,
        kBuild = 43,
    };

    SystemEntity();

protected:
    uint8_t getValue(ModuleModel& module, uint8_t option, uint8_t index, std::optional<uint8_t> sub,
                     UeiValue& out) override;
    uint8_t setValue(ModuleModel& module, uint8_t option, uint8_t index, std::optional<uint8_t> sub,
                     const UeiValue& in) override;

private:
    uint8_t hbInterval_ = 0;
    uint8_t led_ = 0;
};

} // namespace modsim
