// SdpRom: serial download protocol engine of the simulated boot ROM (see SdpRom.h).
#include "sim/imx/SdpRom.h"

#include <cstdio>

namespace imxsim {

namespace {

constexpr uint16_t READ_REGISTER = 0x0101;
constexpr uint16_t WRITE_FILE = 0x0404;
constexpr uint16_t ERROR_STATUS = 0x0505;
constexpr uint16_t JUMP_ADDRESS = 0x0B0B;

constexpr uint8_t IVT_TAG = 0xD1;
constexpr uint16_t IVT_LENGTH = 0x0020;

uint32_t sBE32(const uint8_t* at)
{
    return static_cast<uint32_t>(at[0]) << 24 | static_cast<uint32_t>(at[1]) << 16
        | static_cast<uint32_t>(at[2]) << 8 | at[3];
}

uint32_t sLE32(const uint8_t* at)
{
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8
        | static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
}

bool sZero(const uint8_t* at, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        if (at[i] != 0)
            return false;
    return true;
}

std::string sHex(uint32_t v)
{
    char text[16];
    snprintf(text, sizeof text, "0x%08X", v);
    return text;
}

} // namespace

SdpRom::SdpRom(SdpConfig config) : config_(config) {}

void SdpRom::reject(const std::string& why) { errors_.push_back(why); }

SdpMessage SdpRom::hab() const
{
    SdpMessage m = word(config_.habMode);
    m.kind = SdpMessage::Hab;
    return m;
}

SdpMessage SdpRom::word(uint32_t value)
{
    return {SdpMessage::Response,
            {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
             static_cast<uint8_t>(value >> 24)}};
}

std::vector<SdpMessage> SdpRom::command(const uint8_t* b, size_t length)
{
    if (config_.faults.silent || jumped())
        return {};
    if (receivingData()) {
        reject("command while a write file awaits data");
        return {};
    }
    if (length != SDP_COMMAND_SIZE) {
        reject("command of " + std::to_string(length) + " bytes");
        return {};
    }
    const SdpCommand c{static_cast<uint16_t>(b[0] << 8 | b[1]), sBE32(b + 2), b[6], sBE32(b + 7)};
    if (b[0] != b[1]) {
        reject("malformed command type " + sHex(c.type));
        return {};
    }
    switch (c.type) {
    case ERROR_STATUS:
        if (!sZero(b + 2, 14)) {
            reject("error status with non-zero fields");
            return {};
        }
        commands_.push_back(c);
        return {hab(), word(lastStatus_)};
    case READ_REGISTER:
        if (!sZero(b + 11, 5)) {
            reject("read register with non-zero reserved bytes");
            return {};
        }
        if ((c.format != 0x08 && c.format != 0x10 && c.format != 0x20) || c.count == 0 || c.count > 64
            || c.count % (c.format / 8u) != 0 || c.address % (c.format / 8u) != 0) {
            reject("read register with format " + sHex(c.format) + " and count " + std::to_string(c.count));
            return {};
        }
        commands_.push_back(c);
        return readRegister(c);
    case WRITE_FILE:
        // The last byte may mark the file as an application image (0xAA).
        if (!sZero(b + 11, 4) || (b[15] != 0 && b[15] != 0xAA)) {
            reject("write file with non-zero reserved bytes");
            return {};
        }
        commands_.push_back(c);
        return writeFile(c);
    case JUMP_ADDRESS:
        if (!sZero(b + 6, 10)) {
            reject("jump with non-zero fields");
            return {};
        }
        commands_.push_back(c);
        return jump(c);
    default:
        reject("unsupported command type " + sHex(c.type));
        return {};
    }
}

bool SdpRom::readWord(uint32_t address, uint32_t& value) const
{
    if (address == FUSE_CFG0_ADDRESS) {
        value = config_.uid0;
        return true;
    }
    if (address == FUSE_CFG1_ADDRESS) {
        value = config_.uid1;
        return true;
    }
    uint8_t bytes[4];
    if (!ram_.read(address, bytes, 4))
        return false;
    value = sLE32(bytes);
    return true;
}

std::vector<SdpMessage> SdpRom::readRegister(const SdpCommand& c)
{
    std::vector<uint8_t> values;
    for (uint32_t at = c.address & ~3u; at < c.address + c.count; at += 4) {
        uint32_t v = 0;
        if (!readWord(at, v)) {
            reject("read register at unmapped address " + sHex(at));
            lastStatus_ = STATUS_FAILURE;
            return {hab(), word(STATUS_FAILURE)};
        }
        SdpMessage w = word(v);
        values.insert(values.end(), w.bytes.begin(), w.bytes.end());
    }
    values.resize(c.count < 4 ? 4 : c.count);
    if (config_.faults.shortRegisterReply)
        values.resize(2);
    return {hab(), {SdpMessage::Response, values}};
}

std::vector<SdpMessage> SdpRom::writeFile(const SdpCommand& c)
{
    writeAddress_ = c.address;
    remaining_ = c.count;
    spokeDuringWrite_ = false;
    writeOutside_ = !ram_.contains(c.address, c.count);
    if (writeOutside_)
        reject("write file of " + std::to_string(c.count) + " bytes at " + sHex(c.address) + " is outside RAM");
    if (remaining_ == 0)
        return finishWrite();
    return {};
}

std::vector<SdpMessage> SdpRom::finishWrite()
{
    remaining_ = 0;
    lastStatus_ = writeOutside_ ? STATUS_FAILURE : STATUS_WRITE_COMPLETE;
    return {hab(), word(lastStatus_)};
}

std::vector<SdpMessage> SdpRom::data(const uint8_t* bytes, size_t length)
{
    if (config_.faults.silent || jumped())
        return {};
    if (!receivingData()) {
        reject("data without a write file");
        return {};
    }
    if (length > remaining_) {
        // The host sent more than it announced: the transfer is void.
        reject("data beyond the announced count");
        writeOutside_ = true;
        return finishWrite();
    }
    dataPieces_.push_back(length);
    if (!writeOutside_)
        ram_.write(writeAddress_, bytes, length);
    writeAddress_ += static_cast<uint32_t>(length);
    remaining_ -= length;
    std::vector<SdpMessage> out;
    if (config_.faults.replyDuringWrite && !spokeDuringWrite_) {
        spokeDuringWrite_ = true;
        out.push_back(hab());
    }
    if (remaining_ == 0) {
        std::vector<SdpMessage> done = finishWrite();
        out.insert(out.end(), done.begin(), done.end());
    }
    return out;
}

std::vector<SdpMessage> SdpRom::jump(const SdpCommand& c)
{
    uint8_t ivt[8];
    const bool hasIvt = ram_.read(c.address, ivt, sizeof ivt) && ivt[0] == IVT_TAG
        && (ivt[1] << 8 | ivt[2]) == IVT_LENGTH && (ivt[3] & 0xF0) == 0x40;
    if (config_.faults.refuseJump || !hasIvt) {
        if (!hasIvt)
            reject("jump to " + sHex(c.address) + " without an image vector table");
        lastStatus_ = STATUS_FAILURE;
        return {hab(), word(STATUS_FAILURE)};
    }
    jumps_.push_back({c.address, sLE32(ivt + 4)});
    // The started image owns the chip now; only the security status goes out.
    return {hab()};
}

} // namespace imxsim
