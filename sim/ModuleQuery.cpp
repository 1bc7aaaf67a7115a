// Module-level queries (command 73) of a simulated module.
#include "sim/ModuleQuery.h"

#include "sim/ModuleModel.h"

namespace modsim {

void ModuleQuery::handle(const Packet& in, ModuleModel& module, std::vector<Packet>& out) {
    const uint8_t a = module.address();
    const uint8_t* d = in.data.data();
    auto refuse = [&] { module.note("reject module-query " + in.text()); };
    if (in.size < 2) return refuse();
    switch (d[1]) {
    case kBuild: {
        if (in.size != 2) return refuse();
        const uint32_t b = module.config().build;
        const uint8_t r[6] = {kCommand,         kBuild,          uint8_t(b >> 24),
                              uint8_t(b >> 16), uint8_t(b >> 8), uint8_t(b)};
        const size_t n = std::min<size_t>(module.config().buildReplySize, sizeof r);
        out.push_back(Packet::make(a, r, n));
        return;
    }
    case kHasUei: {
        if (in.size != 6) return refuse();
        const CommandHandler* h = module.handler(d[2]);
        const uint8_t answer = h ? h->hasUei(d[3], d[4], d[5]) : uint8_t(kErrInvalidEntity);
        out.push_back(Packet::make(a, {kCommand, kHasUei, d[2], d[3], d[4], answer}));
        return;
    }
    case kClassQuantity: {
        if (in.size != 3) return refuse();
        const CommandHandler* h = module.handler(d[2]);
        out.push_back(Packet::make(
            a, {kCommand, kClassQuantity, d[2], static_cast<uint8_t>(h ? h->entityCount() : 0)}));
        return;
    }
    case kSubClassQuantity:
        // No simulated entity class has subclasses.
        if (in.size != 4) return refuse();
        out.push_back(Packet::make(a, {kCommand, kSubClassQuantity, d[2], d[3], 0}));
        return;
    case kEntityGroup:
        // Every simulated entity is in group 0.
        if (in.size != 4) return refuse();
        out.push_back(Packet::make(a, {kCommand, kEntityGroup, d[2], d[3], 0}));
        return;
    default:
        module.note("unhandled " + in.text());
    }
}

} // namespace modsim
