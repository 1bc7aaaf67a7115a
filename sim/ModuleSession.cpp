// Byte-level conversation of a simulated module with one host connection.
#include "sim/ModuleSession.h"

namespace modsim {

ModuleSession::ModuleSession(ModuleModel& model, std::unique_ptr<Framer> framer, EventLog& log)
    : model_(model), framer_(std::move(framer)), log_(log) {}

void ModuleSession::begin(const FaultPlan& plan, unsigned connectionNumber) {
    framer_->reset();
    model_.connectionReset();
    faults_.beginConnection(plan, connectionNumber);
}

std::vector<uint8_t> ModuleSession::shape(const std::vector<uint8_t>& out) {
    std::vector<std::string> notes;
    auto shaped = faults_.shape(out, notes);
    for (auto& s : notes)
        log_.add(s);
    return shaped;
}

ModuleSession::Output ModuleSession::feed(const uint8_t* p, size_t n) {
    Output result;
    std::vector<FrameEvent> events;
    framer_->feed(p, n, events);
    const bool logging = log_.enabled();
    std::vector<uint8_t> out;
    std::vector<Packet> replies;
    std::vector<std::string> notes;
    for (auto& e : events) {
        if (!e.ok) {
            log_.add("reject " + e.reason + " " + bytesText(e.bytes));
            continue;
        }
        if (logging) log_.add("rx " + e.packet.text());
        bool close = false;
        notes.clear();
        const bool answer = faults_.onPacketReceived(close, notes);
        for (auto& s : notes)
            log_.add(s);
        if (!answer) continue;
        replies.clear();
        model_.receive(e.packet, replies);
        if (e.packet.address == kQueryAddress && !replies.empty()) {
            auto garbage = faults_.takeGarbage();
            if (!garbage.empty()) {
                log_.add("fault garbage " + bytesText(garbage));
                out.insert(out.end(), garbage.begin(), garbage.end());
            }
        }
        for (auto& r : replies) {
            if (logging) log_.add("tx " + r.text());
            framer_->encode(r, out);
        }
        if (close) {
            result.close = true;
            break;
        }
        if (auto r = model_.takeRestart()) {
            result.restart = r;
            break;
        }
    }
    if (!out.empty()) result.bytes = shape(out);
    return result;
}

std::vector<uint8_t> ModuleSession::heartbeat(uint8_t code) {
    if (faults_.muted()) return {};
    Packet hb = model_.heartbeat(code);
    log_.add("hb-sent " + std::to_string(code));
    return packet(hb);
}

std::vector<uint8_t> ModuleSession::packet(const Packet& p) {
    log_.add("tx " + p.text());
    std::vector<uint8_t> out;
    framer_->encode(p, out);
    return shape(out);
}

} // namespace modsim
