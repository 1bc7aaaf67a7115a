// ModuleModel: the transport-independent behaviour of one simulated module.
// It answers address queries, takes route control, builds heartbeats and
// checks the host's answers, and routes packets addressed to the module to the
// command handlers (system entity, debug echo, ...). The simulator feeds it
// framed packets; it never sees bytes. Not thread-safe: callers serialise.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/CommandHandler.h"
#include "sim/EventLog.h"
#include "sim/ModuleConfig.h"
#include "sim/Packet.h"
#include "sim/SimFlash.h"

namespace modsim {

// A restart the module asked for (reset, loader start, reboot): the
// transport drops the link, stays away for delayMs and comes back, unless
// comesBack is false (a module that never returns).
struct Restart {
    unsigned delayMs = 0;
    bool comesBack = true;
    std::string reason; // "reset", "load", "reboot"
};

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
    CommandHandler* handler(uint8_t command) const;

    // Router role: modules on this module's network. Packets for their
    // addresses are passed to them (and their replies back) while the host
    // has asked the router to route to it (system option 20).
    void attach(std::unique_ptr<ModuleModel> behind);
    ModuleModel* behindAt(uint8_t address) const;
    const std::vector<std::unique_ptr<ModuleModel>>& behind() const { return behind_; }
    bool routing() const { return routing_; }
    void setRouting(bool on);

    // Restarts: a handler asks; the transport takes the request after the
    // replies to the current packet are sent. Modules behind a router restart
    // in place (the router's link stays up).
    void requestRestart(const std::string& reason, bool comesBack = true);
    std::optional<Restart> takeRestart();
    // The link drops (as if the cable were pulled) and comes back at once;
    // the module keeps running what it ran.
    void requestDrop();
    // A module behind a router that restarted and never came back.
    bool gone() const { return gone_; }

    // What runs: the firmware, or the loader started by the upgrade.
    bool inLoader() const { return inLoader_; }
    void setInLoader(bool on) { inLoader_ = on; }
    // The firmware now in flash (after an update): build and packed version.
    void setFirmwareIdentity(uint32_t build, uint32_t version);
    SimFlash& flash() { return flash_; }
    const SimFlash& flash() const { return flash_; }
    uint32_t uptimeSeconds() const;
    void setRouterAddress(uint8_t a) { config_.routerAddress = a; }

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
    std::vector<std::unique_ptr<ModuleModel>> behind_;
    bool routing_ = false;
    bool inLoader_ = false;
    bool gone_ = false;
    std::optional<Restart> restart_;
    SimFlash flash_;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    std::optional<bool> route_;
    std::optional<uint8_t> hbPending_;
    std::vector<uint8_t> hbAnswers_;
    unsigned hbSent_ = 0;
};

// A module with the standard handlers (system entity, module queries, debug
// echo, I2C bus, upgrade conversation).
std::unique_ptr<ModuleModel> makeStandardModule(const ModuleConfig& config, EventLog& log);

} // namespace modsim
