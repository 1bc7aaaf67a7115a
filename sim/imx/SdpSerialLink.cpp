// SdpSerialLink: UART framing of the simulated boot ROM (see SdpSerialLink.h).
#include "sim/imx/SdpSerialLink.h"

#include <algorithm>
#include <cstring>

namespace imxsim {

namespace {

constexpr uint8_t HANDSHAKE[4] = {'#', 'E', 'E', '#'};

void sAppend(std::vector<uint8_t>& out, const std::vector<SdpMessage>& messages)
{
    for (const SdpMessage& m : messages)
        out.insert(out.end(), m.bytes.begin(), m.bytes.end());
}

} // namespace

std::vector<uint8_t> SdpSerialLink::receive(const uint8_t* bytes, size_t length)
{
    std::vector<uint8_t> out;
    size_t at = 0;
    while (at < length) {
        if (rom_.receivingData() && pending_.empty()) {
            const size_t n = std::min(rom_.dataRemaining(), length - at);
            sAppend(out, rom_.data(bytes + at, n));
            at += n;
            continue;
        }
        pending_.push_back(bytes[at++]);
        if (pending_[0] == HANDSHAKE[0]) {
            if (pending_.size() < sizeof HANDSHAKE)
                continue;
            if (std::memcmp(pending_.data(), HANDSHAKE, sizeof HANDSHAKE) == 0) {
                if (!rom_.config().faults.silent && !rom_.jumped())
                    out.insert(out.end(), HANDSHAKE, HANDSHAKE + sizeof HANDSHAKE);
                pending_.clear();
                continue;
            }
        }
        if (pending_.size() == SDP_COMMAND_SIZE) {
            sAppend(out, rom_.command(pending_.data(), pending_.size()));
            pending_.clear();
        }
    }
    return out;
}

} // namespace imxsim
