// Shared helpers of the link tests: packet construction, wire bytes, a
// filter for UEI replies, and waiting for a link status.
#pragma once

#include <chrono>
#include <thread>
#include <vector>

#include "common/aLink.h"

namespace linktest {

using Bytes = std::vector<uint8_t>;

struct OwnedPacket {
    aPacket* p = nullptr;
    OwnedPacket() = default;
    explicit OwnedPacket(aPacket* packet) : p(packet) {}
    OwnedPacket(OwnedPacket&& o) noexcept : p(o.p) { o.p = nullptr; }
    ~OwnedPacket() { aPacket_Destroy(&p); }
    explicit operator bool() const { return p != nullptr; }
    aPacket* operator->() const { return p; }
    Bytes wire() const
    {
        if (!p)
            return {};
        Bytes out{p->address, p->dataSize};
        out.insert(out.end(), p->data, p->data + p->dataSize);
        return out;
    }
};

inline OwnedPacket makePacket(uint8_t address, Bytes data)
{
    data.push_back(0); // a valid pointer also for an empty packet
    return OwnedPacket(aPacket_CreateWithData(address, static_cast<uint8_t>(data.size() - 1), data.data()));
}

inline aErr put(uint32_t id, uint8_t address, const Bytes& data)
{
    OwnedPacket p = makePacket(address, data);
    return aLink_PutPacket(id, p.p);
}

// Matches a reply from `address` whose first two data bytes are command and option.
struct ReplyMatch {
    uint8_t address, command, option;
};
inline uint8_t replyFilter(const aPacket* packet, const void* reference)
{
    const auto* m = static_cast<const ReplyMatch*>(reference);
    return packet->address == m->address && packet->dataSize >= 2 && packet->data[0] == m->command
        && packet->data[1] == m->option;
}

inline bool waitForStatus(uint32_t id, linkStatus status, int timeoutMs = 3000)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (aLink_GetStatus(id) == status)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return aLink_GetStatus(id) == status;
}

inline Bytes repeat(const Bytes& unit, int times)
{
    Bytes out;
    for (int i = 0; i < times; ++i)
        out.insert(out.end(), unit.begin(), unit.end());
    return out;
}

} // namespace linktest
