// FaultInjector: applies a FaultPlan to one connection of a simulated module.
// The simulator asks it what to do with each received packet and passes every
// outgoing byte block through it. Not thread-safe; the simulator serialises.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/FaultPlan.h"

namespace modsim {

class FaultInjector {
public:
    // A new connection: counters start again; the plan is armed when it applies
    // to this connection (first connection only unless everyConnection).
    void beginConnection(const FaultPlan& plan, unsigned connectionNumber);
    void disarm() { armed_ = false; }

    // Called for each accepted host packet. Returns false when the module must
    // not answer it. Sets closeNow when the connection must close after answering.
    bool onPacketReceived(bool& closeNow, std::vector<std::string>& notes);
    bool muted() const { return muted_; }
    void setMuted(bool m) { muted_ = m; }

    // Garbage to send before the first answer to an address query (once).
    std::vector<uint8_t> takeGarbage();

    // Applies byte faults to the next output block; appends notes for the log.
    std::vector<uint8_t> shape(const std::vector<uint8_t>& in, std::vector<std::string>& notes);

private:
    FaultPlan plan_;
    bool armed_ = false;
    bool muted_ = false;
    bool garbageSent_ = false;
    uint64_t received_ = 0;
    uint64_t outPos_ = 0;
};

} // namespace modsim
