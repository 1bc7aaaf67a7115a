// UEI request handling and reply building for simulated entity classes.
#include "sim/Uei.h"

#include "sim/ModuleModel.h"

namespace modsim {
namespace {

constexpr size_t kMaxBlock = 1 << 20;

size_t widthOf(ValueKind k) {
    switch (k) {
    case ValueKind::Byte:
        return 1;
    case ValueKind::Short:
        return 2;
    case ValueKind::Int:
        return 4;
    default:
        return 0;
    }
}

} // namespace

bool isNonUeiCommand(uint8_t c) {
    switch (c) {
    case 0:
    case 1:
    case 2:
    case 4:
    case 8:
    case 9:
    case 23:
    case 24:
    case 73:
    case 94:
    case 95:
    case 173:
    case 175:
        return true;
    default:
        return false;
    }
}

Packet ueiReply(uint8_t address, uint8_t command, uint8_t optionByte, uint8_t index,
                const UeiValue& v) {
    uint8_t d[7] = {command, optionByte, index};
    size_t n = 3;
    const size_t w = widthOf(v.kind);
    for (size_t i = 0; i < w; ++i)
        d[n++] = static_cast<uint8_t>(v.number >> (8 * (w - 1 - i)));
    return Packet::make(address, d, n);
}

Packet ueiError(uint8_t address, uint8_t command, uint8_t optionByte, uint8_t index,
                uint8_t error) {
    return Packet::make(
        address, {command, optionByte, static_cast<uint8_t>((index & 0x1F) | kSpecError), error});
}

std::vector<Packet> ueiBlock(uint8_t address, uint8_t command, uint8_t optionByte, uint8_t index,
                             const std::vector<uint8_t>& block) {
    std::vector<Packet> r;
    size_t pos = 0;
    uint8_t seq = 0;
    do {
        const size_t n = std::min(kBlockChunk, block.size() - pos);
        const bool more = pos + n < block.size();
        uint8_t d[kMaxData] = {command, optionByte, index};
        std::copy(block.begin() + pos, block.begin() + pos + n, d + 3);
        d[3 + n] = static_cast<uint8_t>((more ? 0x80 : 0) | (seq & 0x7F));
        r.push_back(Packet::make(address, d, n + 4));
        pos += n;
        seq = static_cast<uint8_t>((seq + 1) & 0x7F);
    } while (pos < block.size());
    return r;
}

void UeiEntity::handle(const Packet& in, ModuleModel& module, std::vector<Packet>& out) {
    const uint8_t addr = module.address();
    if (in.size < 3) {
        module.note("reject short-uei " + in.text());
        return;
    }
    const uint8_t opt = in.data[1], spec = in.data[2];
    const uint8_t code = opt & 0x3F, index = spec & 0x1F;
    const bool isSet = opt & kOptSet, isGet = opt & kOptGet;
    if (isSet == isGet) {
        module.note("reject uei-option-bits " + in.text());
        return;
    }
    if (spec & (kSpecStream | kSpecError)) {
        module.note("reject uei-specifier-bits " + in.text());
        return;
    }
    const uint8_t replyOpt = isSet ? static_cast<uint8_t>(code | 0xC0) : code;
    auto fail = [&](uint8_t err) {
        module.note("uei-error " + std::to_string(command_) + " " + std::to_string(code) + " " +
                    std::to_string(index) + " " + std::to_string(err));
        out.push_back(ueiError(addr, command_, replyOpt, index, err));
    };
    if (index >= indexCount_) return fail(kErrIndexRange);
    auto it = options_.find(code);
    if (it == options_.end()) return fail(kErrInvalidOption);
    const Option& o = it->second;
    const size_t extra = in.size - 3;

    if (isGet) {
        if (!o.canGet) return fail(kErrPermission);
        if (extra > 1) return fail(kErrSize);
        std::optional<uint8_t> sub;
        if (extra == 1) sub = in.data[3];
        UeiValue v;
        v.kind = o.kind;
        if (uint8_t err = getValue(module, code, index, sub, v)) return fail(err);
        if (o.kind == ValueKind::Bytes) {
            for (auto& p : ueiBlock(addr, command_, replyOpt, index, v.bytes))
                out.push_back(p);
        } else {
            out.push_back(ueiReply(addr, command_, replyOpt, index, v));
        }
        return;
    }

    if (!o.canSet) return fail(kErrPermission);
    if (o.kind == ValueKind::Bytes) return handleBlockChunk(in, module, code, index, out);
    const size_t w = widthOf(o.kind);
    std::optional<uint8_t> sub;
    if (extra == w + 1) {
        sub = in.data[3];
    } else if (extra != w) {
        return fail(kErrSize);
    }
    UeiValue v;
    v.kind = o.kind;
    for (size_t i = 0; i < w; ++i)
        v.number = (v.number << 8) | in.data[in.size - w + i];
    if (uint8_t err = setValue(module, code, index, sub, v)) return fail(err);
    out.push_back(ueiReply(addr, command_, replyOpt, index, v));
}

uint8_t UeiEntity::hasUei(uint8_t option, uint8_t index, uint8_t flags) const {
    if (index >= indexCount_) return kErrIndexRange;
    auto it = options_.find(option);
    if (it == options_.end()) return kErrInvalidOption;
    if ((flags & kOptGet) && !it->second.canGet) return kErrPermission;
    if ((flags & kOptSet) && !it->second.canSet) return kErrPermission;
    return kErrNone;
}

void UeiEntity::handleBlockChunk(const Packet& in, ModuleModel& module, uint8_t option,
                                 uint8_t index, std::vector<Packet>& out) {
    const uint8_t addr = module.address();
    const uint8_t replyOpt = static_cast<uint8_t>(option | 0xC0);
    auto key = std::make_pair(option, index);
    auto fail = [&](uint8_t err) {
        blocks_.erase(key);
        module.note("uei-error " + std::to_string(command_) + " " + std::to_string(option) + " " +
                    std::to_string(index) + " " + std::to_string(err));
        out.push_back(ueiError(addr, command_, replyOpt, index, err));
    };
    if (in.size < 4) return fail(kErrSize);
    const uint8_t trailer = in.data[in.size - 1];
    const uint8_t seq = trailer & 0x7F;
    const bool more = trailer & 0x80;
    PartialBlock& b = blocks_[key];
    if (seq == 0) {
        b = PartialBlock{};
    } else if (seq != b.nextSeq) {
        return fail(kErrPacket);
    }
    b.bytes.insert(b.bytes.end(), in.data.begin() + 3, in.data.begin() + (in.size - 1));
    b.nextSeq = static_cast<uint8_t>((seq + 1) & 0x7F);
    if (b.bytes.size() > kMaxBlock) return fail(kErrMemory);
    if (more) return;
    UeiValue v;
    v.kind = ValueKind::Bytes;
    v.bytes = std::move(b.bytes);
    blocks_.erase(key);
    if (uint8_t err = setValue(module, option, index, std::nullopt, v)) {
        module.note("uei-error " + std::to_string(command_) + " " + std::to_string(option) + " " +
                    std::to_string(index) + " " + std::to_string(err));
        out.push_back(ueiError(addr, command_, replyOpt, index, err));
        return;
    }
    out.push_back(ueiReply(addr, command_, replyOpt, index, UeiValue{}));
}

} // namespace modsim
