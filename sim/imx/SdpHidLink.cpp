// SdpHidLink: USB-HID framing of the simulated boot ROM (see SdpHidLink.h).
#include "sim/imx/SdpHidLink.h"

#include <algorithm>
#include <string>

namespace imxsim {

std::vector<std::vector<uint8_t>> SdpHidLink::receive(const uint8_t* report, size_t length)
{
    std::vector<SdpMessage> messages;
    if (length == 0) {
        rom_.reject("empty report");
        return {};
    }
    if (report[0] == 1) {
        if (length != 1 + SDP_COMMAND_SIZE) {
            rom_.reject("command report of " + std::to_string(length) + " bytes");
            return {};
        }
        messages = rom_.command(report + 1, SDP_COMMAND_SIZE);
    } else if (report[0] == 2) {
        messages = rom_.data(report + 1, length - 1);
    } else {
        rom_.reject("output report " + std::to_string(report[0]));
        return {};
    }

    std::vector<std::vector<uint8_t>> out;
    for (const SdpMessage& m : messages) {
        if (m.kind == SdpMessage::Hab) {
            std::vector<uint8_t> r(1 + m.bytes.size());
            r[0] = 3;
            std::copy(m.bytes.begin(), m.bytes.end(), r.begin() + 1);
            out.push_back(r);
            continue;
        }
        // A response cut short never fills a report.
        if (m.bytes.size() < 4)
            continue;
        for (size_t at = 0; at < m.bytes.size(); at += RESPONSE_REPORT_DATA) {
            std::vector<uint8_t> r(1 + RESPONSE_REPORT_DATA, 0);
            r[0] = 4;
            const size_t n = std::min(RESPONSE_REPORT_DATA, m.bytes.size() - at);
            std::copy(m.bytes.begin() + at, m.bytes.begin() + at + n, r.begin() + 1);
            out.push_back(r);
        }
    }
    return out;
}

} // namespace imxsim
