// EchoCommand: the module-level debug command (23): the module sends the
// packet's data back unchanged. Link tests and the round-trip benchmark use it
// as a request/reply of any size.
#pragma once

#include "sim/CommandHandler.h"

namespace modsim {

class EchoCommand final : public CommandHandler {
public:
    static constexpr uint8_t kCommand = 23;
    uint8_t command() const override { return kCommand; }
    void handle(const Packet& in, ModuleModel& module, std::vector<Packet>& out) override;
};

} // namespace modsim
