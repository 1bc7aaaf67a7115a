// Link-level behaviour of a simulated module and dispatch to its handlers.
#include "sim/ModuleModel.h"

#include <stdexcept>

#include "sim/EchoCommand.h"
#include "sim/SystemEntity.h"
#include "sim/Uei.h"

namespace modsim {

ModuleModel::ModuleModel(ModuleConfig config, EventLog& log)
    : config_(std::move(config)), log_(log) {
    if (config_.address == 0 || (config_.address & 1))
        throw std::invalid_argument("module address must be even and non-zero");
}

void ModuleModel::addHandler(std::unique_ptr<CommandHandler> handler) {
    const uint8_t c = handler->command();
    handlers_[c] = std::move(handler);
}

void ModuleModel::connectionReset() {
    hbPending_.reset();
    for (auto& [c, h] : handlers_)
        h->connectionReset();
}

Packet ModuleModel::heartbeat(uint8_t code) {
    hbPending_ = code;
    ++hbSent_;
    return Packet::make(config_.address, {0, code});
}

void ModuleModel::receive(const Packet& in, std::vector<Packet>& out) {
    if (in.address == kQueryAddress) {
        out.push_back(Packet::make(config_.address, {}));
        return;
    }
    if (in.address == kRouteAddress) {
        route_ = in.data[0] == 1;
        log_.add(std::string("route ") + (*route_ ? "on" : "off"));
        return;
    }
    if (in.address != config_.address) {
        log_.add("foreign " + in.text());
        return;
    }
    if (in.size == 0) {
        log_.add("unhandled " + in.text());
        return;
    }
    if (in.data[0] == 0) { // heartbeat answer from the host
        if (in.size != 2) {
            log_.add("reject hb-answer-length " + in.text());
            return;
        }
        const uint8_t code = in.data[1];
        hbAnswers_.push_back(code);
        if (!hbPending_) {
            log_.add("hb-answer " + std::to_string(code) + " unsolicited");
        } else if (code != *hbPending_ + 2) {
            log_.add("hb-answer " + std::to_string(code) + " unexpected (expected " +
                     std::to_string(*hbPending_ + 2) + ")");
            hbPending_.reset();
        } else {
            log_.add("hb-answer " + std::to_string(code) + " ok");
            hbPending_.reset();
        }
        return;
    }
    auto it = handlers_.find(in.data[0]);
    if (it != handlers_.end()) {
        it->second->handle(in, *this, out);
        return;
    }
    if (!isNonUeiCommand(in.data[0]) && in.size >= 3) {
        const uint8_t opt = in.data[1];
        const uint8_t replyOpt = (opt & kOptSet) ? static_cast<uint8_t>((opt & 0x3F) | 0xC0)
                                                 : static_cast<uint8_t>(opt & 0x3F);
        log_.add("uei-error " + std::to_string(in.data[0]) + " " + std::to_string(opt & 0x3F) +
                 " " + std::to_string(in.data[2] & 0x1F) + " " + std::to_string(kErrInvalidEntity));
        out.push_back(
            ueiError(config_.address, in.data[0], replyOpt, in.data[2], kErrInvalidEntity));
        return;
    }
    log_.add("unhandled " + in.text());
}

std::unique_ptr<ModuleModel> makeStandardModule(const ModuleConfig& config, EventLog& log) {
    auto m = std::make_unique<ModuleModel>(config, log);
    m->addHandler(std::make_unique<SystemEntity>());
    m->addHandler(std::make_unique<EchoCommand>());
    return m;
}

} // namespace modsim
