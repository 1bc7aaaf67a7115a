// Plain byte framing of link packets on the module side, as used over TCP and
// plain serial lines. Strict: refuses zero and odd addresses (other than the
// link-control addresses), oversize lengths and malformed control packets.
#include "sim/Framer.h"

namespace modsim {
namespace {

class RawFramer final : public Framer {
public:
    void feed(const uint8_t* p, size_t n, std::vector<FrameEvent>& out) override {
        for (size_t i = 0; i < n; ++i)
            take(p[i], out);
    }

    void encode(const Packet& p, std::vector<uint8_t>& out) const override { p.appendWire(out); }

    void reset() override { state_ = State::Address; }

    const char* name() const override { return "raw"; }

private:
    enum class State { Address, Length, Data };

    void reject(const char* reason, std::vector<uint8_t> bytes, std::vector<FrameEvent>& out) {
        FrameEvent e;
        e.reason = reason;
        e.bytes = std::move(bytes);
        out.push_back(std::move(e));
        state_ = State::Address;
    }

    void complete(std::vector<FrameEvent>& out) {
        state_ = State::Address;
        if (const char* why = hostPacketFault(cur_)) {
            reject(why, cur_.wire(), out);
            return;
        }
        FrameEvent e;
        e.ok = true;
        e.packet = cur_;
        out.push_back(std::move(e));
    }

    void take(uint8_t b, std::vector<FrameEvent>& out) {
        switch (state_) {
        case State::Address:
            if (b == 0) return reject("zero-address", {b}, out);
            if ((b & 1) && b != kQueryAddress && b != kRouteAddress)
                return reject("odd-address", {b}, out);
            cur_ = Packet{};
            cur_.address = b;
            state_ = State::Length;
            return;
        case State::Length:
            if (b > kMaxData) return reject("oversize-length", {cur_.address, b}, out);
            cur_.size = b;
            got_ = 0;
            if (b == 0) return complete(out);
            state_ = State::Data;
            return;
        case State::Data:
            cur_.data[got_++] = b;
            if (got_ == cur_.size) complete(out);
            return;
        }
    }

    State state_ = State::Address;
    Packet cur_;
    uint8_t got_ = 0;
};

} // namespace

std::unique_ptr<Framer> makeRawFramer() {
    return std::make_unique<RawFramer>();
}

} // namespace modsim
