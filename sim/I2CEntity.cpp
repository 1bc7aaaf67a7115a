// The simulated I2C bus master.
#include "sim/I2CEntity.h"

#include "sim/ModuleModel.h"

namespace modsim {

void I2CEntity::handle(const Packet& in, ModuleModel& module, std::vector<Packet>& out) {
    const uint8_t a = module.address();
    const uint8_t* d = in.data.data();
    if (in.size < 4) {
        module.note("reject i2c-short " + in.text());
        return;
    }
    const uint8_t index = d[1], target = d[2];
    // Reply: 8, index, address, bytes returned, status, data.
    auto reply = [&](uint8_t status, const std::vector<uint8_t>& data = {}) {
        std::vector<uint8_t> r = {kCommand, index, target, static_cast<uint8_t>(data.size()),
                                  status};
        r.insert(r.end(), data.begin(), data.end());
        out.push_back(Packet::make(a, r.data(), r.size()));
    };
    auto fail = [&](uint8_t err) {
        module.note("i2c-error " + std::to_string(target) + " " + std::to_string(err));
        reply(static_cast<uint8_t>(0x80 | err));
    };
    if (index != 0) return fail(kErrIndexRange);
    if (target == 1 && in.size == 4) { // pull-up switch
        if (d[3] > 1) return fail(kErrRange);
        pullup_ = d[3] == 1;
        module.note(std::string("i2c pullup ") + (pullup_ ? "on" : "off"));
        return reply(kErrNone);
    }
    if (in.size < 5) {
        module.note("reject i2c-short " + in.text());
        return;
    }
    const uint8_t length = d[3], speed = d[4];
    const bool isRead = target & 1;
    if (speed > 3) return fail(kErrRange);
    if (length > kMaxTransfer) return fail(kErrSize);
    if (!isRead && in.size != 5 + length) return fail(kErrSize);
    if (isRead && in.size != 5) return fail(kErrSize);
    const uint8_t device = static_cast<uint8_t>(target & 0xFE);
    const bool acked = module.routing() && module.behindAt(device) != nullptr;
    module.note("i2c " + std::string(isRead ? "read " : "write ") + std::to_string(device) + " " +
                std::to_string(length) + (acked ? " ack" : " nak"));
    if (!acked) return fail(kErrIO);
    if (isRead) return reply(kErrNone, std::vector<uint8_t>(length, 0));
    reply(kErrNone);
}

} // namespace modsim
