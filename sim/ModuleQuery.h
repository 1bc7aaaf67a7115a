// ModuleQuery: the module-level queries of command 73: build number (sub 0xFF),
// whether an entity option exists with the asked access (sub 1), and how many
// entities of a class (sub 4), of a subclass (sub 5) and in which group an
// entity is (sub 6). Answers come from the module's other handlers.
#pragma once

#include "sim/CommandHandler.h"

namespace modsim {

class ModuleQuery final : public CommandHandler {
public:
    static constexpr uint8_t kCommand = 73;
    enum Sub : uint8_t {
        kHasUei = 1,
        kClassQuantity = 4,
        kSubClassQuantity = 5,
        kEntityGroup = 6,
        kBuild = 0xFF
    };
    uint8_t command() const override { return kCommand; }
    void handle(const Packet& in, ModuleModel& module, std::vector<Packet>& out) override;
};

} // namespace modsim
