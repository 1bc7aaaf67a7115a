// I2CEntity: the I2C bus master of a simulated module (class 8, index 0),
// spoken in plain command packets: writes, reads and the pull-up switch. The
// only devices on the bus are the modules of a router's module network, and
// they acknowledge only while the router routes to the host; on any other
// module every transfer goes unacknowledged.
#pragma once

#include "sim/CommandHandler.h"

namespace modsim {

class I2CEntity final : public CommandHandler {
public:
    static constexpr uint8_t kCommand = 8;
    static constexpr uint8_t kMaxTransfer = 23;
    uint8_t command() const override { return kCommand; }
    void handle(const Packet& in, ModuleModel& module, std::vector<Packet>& out) override;
    uint8_t entityCount() const override { return 1; }

private:
    bool pullup_ = false;
};

} // namespace modsim
