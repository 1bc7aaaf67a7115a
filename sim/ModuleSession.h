// ModuleSession: the byte-level conversation of a simulated module with one
// host connection, independent of how the bytes travel. Host bytes go in,
// the module's bytes (framed, garbage and byte faults applied) come out.
// The Simulator drives it from sockets and pseudo-terminals; a USB transport
// can drive it from bulk transfers. Not thread-safe: the owner serialises.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "sim/EventLog.h"
#include "sim/FaultInjector.h"
#include "sim/Framer.h"
#include "sim/ModuleModel.h"

namespace modsim {

class ModuleSession {
public:
    ModuleSession(ModuleModel& model, std::unique_ptr<Framer> framer, EventLog& log);

    // A new connection (numbered from 1): framing, heartbeat and fault state
    // start afresh.
    void begin(const FaultPlan& plan, unsigned connectionNumber);
    // Re-arms a plan in the middle of a connection; counters start from here.
    void rearm(const FaultPlan& plan) { faults_.beginConnection(plan, 1); }

    struct Output {
        std::vector<uint8_t> bytes; // to send to the host
        bool close = false;         // close the connection after sending
        // The module restarts (reset, loader start, reboot) or its link drops
        // after these bytes: the transport ends the connection (USB:
        // re-enumerates), stays away for restart->delayMs and comes back,
        // unless restart->comesBack is false. Input after it is discarded.
        std::optional<Restart> restart;
    };
    Output feed(const uint8_t* p, size_t n);
    // Bytes of a heartbeat (empty while muted).
    std::vector<uint8_t> heartbeat(uint8_t code);
    // Bytes of any packet the caller wants the module to send.
    std::vector<uint8_t> packet(const Packet& p);

    void setMuted(bool m) { faults_.setMuted(m); }
    bool muted() const { return faults_.muted(); }

private:
    std::vector<uint8_t> shape(const std::vector<uint8_t>& out);

    ModuleModel& model_;
    std::unique_ptr<Framer> framer_;
    EventLog& log_;
    FaultInjector faults_;
};

} // namespace modsim
