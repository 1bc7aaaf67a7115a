// Fault injection for one connection of a simulated module.
#include "sim/FaultInjector.h"

#include <algorithm>

namespace modsim {

void FaultInjector::beginConnection(const FaultPlan& plan, unsigned connectionNumber) {
    plan_ = plan;
    armed_ = !plan.empty() && (plan.everyConnection || connectionNumber == 1);
    muted_ = false;
    garbageSent_ = false;
    received_ = 0;
    outPos_ = 0;
}

bool FaultInjector::onPacketReceived(bool& closeNow, std::vector<std::string>& notes) {
    closeNow = false;
    ++received_;
    if (armed_ && plan_.muteAfter && !muted_ && received_ > *plan_.muteAfter) {
        muted_ = true;
        notes.push_back("fault mute");
    }
    if (muted_) return false;
    if (armed_ && plan_.closeAfter && received_ >= *plan_.closeAfter) {
        closeNow = true;
        notes.push_back("fault close");
    }
    return true;
}

std::vector<uint8_t> FaultInjector::takeGarbage() {
    if (!armed_ || garbageSent_ || plan_.garbage.empty()) return {};
    garbageSent_ = true;
    return plan_.garbage;
}

std::vector<uint8_t> FaultInjector::shape(const std::vector<uint8_t>& in,
                                          std::vector<std::string>& notes) {
    if (!armed_) {
        outPos_ += in.size();
        return in;
    }
    std::vector<uint8_t> out;
    out.reserve(in.size() + 4);
    for (uint8_t b : in) {
        const uint64_t pos = outPos_++;
        for (auto& [at, v] : plan_.insertBytes)
            if (at == pos) {
                out.push_back(v);
                notes.push_back("fault insert " + std::to_string(pos) + " " + std::to_string(v));
            }
        if (std::find(plan_.dropBytes.begin(), plan_.dropBytes.end(), pos) !=
            plan_.dropBytes.end()) {
            notes.push_back("fault drop " + std::to_string(pos) + " " + std::to_string(b));
            continue;
        }
        for (auto& [at, v] : plan_.corruptBytes)
            if (at == pos) {
                uint8_t nb = v < 0 ? static_cast<uint8_t>(b ^ 0xFF) : static_cast<uint8_t>(v);
                notes.push_back("fault corrupt " + std::to_string(pos) + " " + std::to_string(b) +
                                ">" + std::to_string(nb));
                b = nb;
            }
        out.push_back(b);
    }
    return out;
}

} // namespace modsim
