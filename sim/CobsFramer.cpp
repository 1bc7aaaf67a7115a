// COBS/CRC-8 framing of link packets on the module side of a packetized
// serial line. Strict: a frame with bad stuffing, a wrong CRC, a length byte
// that disagrees with the frame, or more than 32 encoded bytes is refused, and
// so is a framed packet that breaks the host-packet rules.
#include <algorithm>

#include "sim/Cobs.h"
#include "sim/Framer.h"

namespace modsim {
namespace {

constexpr size_t kMaxEncoded = 32; // 31-byte body + 1 code byte

class CobsFramer final : public Framer {
public:
    void feed(const uint8_t* p, size_t n, std::vector<FrameEvent>& out) override {
        for (size_t i = 0; i < n; ++i)
            take(p[i], out);
    }

    void encode(const Packet& p, std::vector<uint8_t>& out) const override {
        std::vector<uint8_t> body = p.wire();
        body.push_back(crc8(body.data(), body.size()));
        auto enc = cobsEncode(body.data(), body.size());
        out.insert(out.end(), enc.begin(), enc.end());
        out.push_back(0);
    }

    void reset() override {
        buf_.clear();
        overflow_ = false;
    }

    const char* name() const override { return "cobs"; }

private:
    void reject(const char* reason, std::vector<FrameEvent>& out) {
        FrameEvent e;
        e.reason = reason;
        e.bytes = buf_;
        out.push_back(std::move(e));
    }

    void take(uint8_t b, std::vector<FrameEvent>& out) {
        if (b != 0) {
            if (buf_.size() < kMaxEncoded)
                buf_.push_back(b);
            else
                overflow_ = true;
            return;
        }
        if (buf_.empty() && !overflow_) return; // consecutive delimiters
        frame(out);
        reset();
    }

    void frame(std::vector<FrameEvent>& out) {
        if (overflow_) return reject("frame-too-long", out);
        auto body = cobsDecode(buf_.data(), buf_.size());
        if (!body) return reject("cobs", out);
        const size_t n = body->size();
        if (n < 3) return reject("short-frame", out);
        if ((*body)[1] > kMaxData) return reject("oversize-length", out);
        if (n != size_t((*body)[1]) + 3) return reject("length-mismatch", out);
        if (crc8(body->data(), n - 1) != (*body)[n - 1]) return reject("crc", out);
        Packet p = Packet::make((*body)[0], body->data() + 2, (*body)[1]);
        if (const char* why = hostPacketFault(p)) return reject(why, out);
        FrameEvent e;
        e.ok = true;
        e.packet = p;
        out.push_back(std::move(e));
    }

    std::vector<uint8_t> buf_;
    bool overflow_ = false;
};

} // namespace

std::unique_ptr<Framer> makeCobsFramer() {
    return std::make_unique<CobsFramer>();
}

} // namespace modsim
