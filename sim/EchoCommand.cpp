// Debug echo of a simulated module.
#include "sim/EchoCommand.h"

#include "sim/ModuleModel.h"

namespace modsim {

void EchoCommand::handle(const Packet& in, ModuleModel& module, std::vector<Packet>& out) {
    Packet r = in;
    r.address = module.address();
    out.push_back(r);
}

} // namespace modsim
