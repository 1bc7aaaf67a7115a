// Link-level behaviour of a simulated module and dispatch to its handlers.
#include "sim/ModuleModel.h"

#include <stdexcept>

#include "sim/EchoCommand.h"
#include "sim/I2CEntity.h"
#include "sim/ModuleQuery.h"
#include "sim/SystemEntity.h"
#include "sim/Uei.h"
#include "sim/UpgradeHandler.h"

namespace modsim {

ModuleModel::ModuleModel(ModuleConfig config, EventLog& log)
    : config_(std::move(config)), log_(log) {
    if (config_.address == 0 || (config_.address & 1))
        throw std::invalid_argument("module address must be even and non-zero");
    flash_.configure(config_.upgrade.flashBase, config_.upgrade.flashSize);
    routing_ = config_.routeDefault;
}

CommandHandler* ModuleModel::handler(uint8_t command) const {
    auto it = handlers_.find(command);
    return it == handlers_.end() ? nullptr : it->second.get();
}

void ModuleModel::attach(std::unique_ptr<ModuleModel> behind) {
    const uint8_t a = behind->address();
    if (a == config_.address || behindAt(a))
        throw std::invalid_argument("two modules at address " + std::to_string(a) +
                                    " on one module network");
    behind->setRouterAddress(config_.address);
    behind_.push_back(std::move(behind));
}

ModuleModel* ModuleModel::behindAt(uint8_t address) const {
    for (auto& m : behind_)
        if (m->address() == address && !m->gone_) return m.get();
    return nullptr;
}

void ModuleModel::setRouting(bool on) {
    routing_ = on;
    log_.add(std::string("route-to-me ") + (on ? "on" : "off"));
}

void ModuleModel::requestRestart(const std::string& reason, bool comesBack) {
    Restart r;
    r.delayMs = config_.upgrade.restartMs;
    r.comesBack = comesBack;
    r.reason = reason;
    restart_ = r;
    started_ = std::chrono::steady_clock::now();
    log_.add("restart " + reason + " " + std::to_string(config_.address) +
             (comesBack ? "" : " never-returns"));
}

void ModuleModel::requestDrop() {
    Restart r;
    r.reason = "drop";
    restart_ = r;
    log_.add("link-drop " + std::to_string(config_.address));
}

std::optional<Restart> ModuleModel::takeRestart() {
    auto r = restart_;
    restart_.reset();
    return r;
}

void ModuleModel::setFirmwareIdentity(uint32_t build, uint32_t version) {
    config_.build = build;
    config_.version = version;
}

uint32_t ModuleModel::uptimeSeconds() const {
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                     std::chrono::steady_clock::now() - started_)
                                     .count());
}

void ModuleModel::addHandler(std::unique_ptr<CommandHandler> handler) {
    const uint8_t c = handler->command();
    handlers_[c] = std::move(handler);
}

void ModuleModel::connectionReset() {
    hbPending_.reset();
    routing_ = config_.routeDefault;
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
        ModuleModel* m = routing_ ? behindAt(in.address) : nullptr;
        if (!m) {
            log_.add("foreign " + in.text());
            return;
        }
        m->receive(in, out);
        if (auto r = m->takeRestart()) {
            // Behind the router the module restarts in place; the link stays.
            m->connectionReset();
            if (!r->comesBack) m->gone_ = true;
        }
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
    m->addHandler(std::make_unique<ModuleQuery>());
    m->addHandler(std::make_unique<EchoCommand>());
    m->addHandler(std::make_unique<I2CEntity>());
    m->addHandler(std::make_unique<UpgradeHandler>());
    return m;
}

} // namespace modsim
