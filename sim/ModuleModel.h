// ModuleModel: the transport-independent behaviour of one simulated module.
// It answers address queries, takes route control, builds heartbeats and
// checks the host's answers, and routes packets addressed to the module to the
// command handlers (system entity, debug echo, ...). The simulator feeds it
// framed packets; it never sees bytes. Not thread-safe: callers serialise.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/CommandHandler.h"
#include "sim/EventLog.h"
#include "sim/ModuleConfig.h"
#include "sim/Packet.h"

namespace modsim {

class ModuleModel {
public:
    // Throws std::invalid_argument for an address that is zero or odd.
    ModuleModel(ModuleConfig config, EventLog& log);

    // One packet from the host (already accepted by the framer); the module's
    // answers are appended to `out`.
    void receive(const Packet& in, std::vector<Packet>& out);
    // A heartbeat with the given code; remembered so that the answer can be checked.
    Packet heartbeat(uint8_t code);
    // A new connection: pending heartbeats and partial conversations are dropped.
    void connectionReset();

    void addHandler(std::unique_ptr<CommandHandler> handler);

    const ModuleConfig& config() const { return config_; }
    uint8_t address() const { return config_.address; }
    void setName(std::string name) { config_.name = std::move(name); }
    // Last route-control value received (nullopt before any).
    std::optional<bool> route() const { return route_; }
    // Codes of every heartbeat answer received, in order.
    const std::vector<uint8_t>& heartbeatAnswers() const { return hbAnswers_; }
    unsigned heartbeatsSent() const { return hbSent_; }
    void note(const std::string& line) { log_.add(line); }

private:
    ModuleConfig config_;
    EventLog& log_;
    std::map<uint8_t, std::unique_ptr<CommandHandler>> handlers_;
    std::optional<bool> route_;
    std::optional<uint8_t> hbPending_;
    std::vector<uint8_t> hbAnswers_;
    unsigned hbSent_ = 0;
};

// A module with the standard handlers (system entity, debug echo).
std::unique_ptr<ModuleModel> makeStandardModule(const ModuleConfig& config, EventLog& log);

} // namespace modsim
