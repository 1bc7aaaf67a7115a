// CommandHandler: the part of a simulated module that answers one command
// byte (an entity class such as the system entity, or a module-level command
// such as the debug echo). The module model routes every packet addressed to
// the module to the handler registered for its first data byte.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/ModuleError.h"
#include "sim/Packet.h"

namespace modsim {

class ModuleModel;

class CommandHandler {
public:
    virtual ~CommandHandler() = default;
    virtual uint8_t command() const = 0;
    // `in` is addressed to the module and has at least one data byte equal to
    // command(). Replies are appended to `out`.
    virtual void handle(const Packet& in, ModuleModel& module, std::vector<Packet>& out) = 0;
    // The connection to the host ended: forget partial conversations.
    virtual void connectionReset() {}
    // Capability query (module query 73, 1): 0 when entity `index` of this
    // class offers `option` with the access asked for (flags bit 6 get, bit 7
    // set), else the error code the module reports. Plain commands offer none.
    virtual uint8_t hasUei(uint8_t, uint8_t, uint8_t) const { return kErrInvalidEntity; }
    // Number of entities of this class (module query 73, 4).
    virtual uint8_t entityCount() const { return 0; }
};

} // namespace modsim
