// LpcBootRom: the LPC17xx ISP boot ROM model; see LpcBootRom.h.
#include "sim/lpc/LpcBootRom.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "sim/lpc/LpcUU.h"

namespace lpcsim {

namespace {

constexpr uint32_t kUnlockCode = 23130;
constexpr size_t kMaxLine = 256;
constexpr int kLinesPerGroup = 20;
constexpr size_t kBytesPerLine = 45;
// RAM the boot ROM itself uses; writes there are refused.
constexpr uint32_t kIspRamSize = 0x200;

std::string code(int value) { return std::to_string(value) + "\r\n"; }

// Decimal only, as the boot ROM reads its arguments.
bool number(const std::string& text, uint32_t& value)
{
    if (text.empty() || text.size() > 10)
        return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > 0xFFFFFFFFull)
        return false;
    value = static_cast<uint32_t>(v);
    return true;
}

uint32_t sumOf(const uint8_t* data, size_t count)
{
    uint32_t total = 0;
    for (size_t i = 0; i < count; ++i)
        total += data[i];
    return total;
}

} // namespace

LpcBootRom::LpcBootRom(const LpcConfig& config) : config_(config)
{
    flash_.assign(config_.flashSize, 0xFF);
    ram_.assign(config_.ramSize, 0x00);
    // 4 KB sectors up to 64 KB, 32 KB sectors above.
    for (uint32_t start = 0; start < config_.flashSize;) {
        const uint32_t size = start < 0x10000 ? 0x1000 : 0x8000;
        sectorStart_.push_back(start);
        sectorSize_.push_back(size);
        start += size;
    }
    prepared_.assign(sectorStart_.size(), false);
    resendFaults_ = config_.faults.resendCount;
    reset();
}

void LpcBootRom::reset()
{
    mode_ = Mode::AutoBaud;
    echo_ = config_.echo;
    unlocked_ = false;
    line_.clear();
    lineOverflow_ = false;
    prepared_.assign(prepared_.size(), false);
}

int LpcBootRom::sectorOf(uint32_t address) const
{
    for (size_t i = 0; i < sectorStart_.size(); ++i)
        if (address >= sectorStart_[i] && address - sectorStart_[i] < sectorSize_[i])
            return static_cast<int>(i);
    return -1;
}

bool LpcBootRom::inFlash(uint32_t address, uint64_t count) const
{
    return static_cast<uint64_t>(address) + count <= flash_.size();
}

bool LpcBootRom::inRam(uint32_t address, uint64_t count) const
{
    return address >= config_.ramBase && static_cast<uint64_t>(address - config_.ramBase) + count <= ram_.size();
}

bool LpcBootRom::inIspRam(uint32_t address, uint64_t count) const
{
    return inRam(address, count) && address < config_.ramBase + kIspRamSize;
}

uint8_t* LpcBootRom::at(uint32_t address)
{
    if (inRam(address, 1))
        return &ram_[address - config_.ramBase];
    return &flash_[address];
}

void LpcBootRom::receive(uint8_t byte, std::string& out)
{
    const LpcFaults& faults = config_.faults;
    if (faults.silent || mode_ == Mode::Running)
        return;
    if (faults.garbage) {
        if (byte == '?' || byte == '\n')
            out += "\xFE\x01#zq~\r\n";
        return;
    }
    if (mode_ == Mode::AutoBaud) {
        if (byte == '?' && !faults.noSync) {
            out += "Synchronized\r\n";
            mode_ = Mode::SyncLine;
            line_.clear();
        }
        return;
    }
    // A fresh "?" while the answer to the first is awaited is a new autobaud.
    if (mode_ == Mode::SyncLine && byte == '?' && line_.empty()) {
        out += "Synchronized\r\n";
        return;
    }
    if (echo_)
        out += static_cast<char>(byte);
    if (byte != '\n') {
        if (line_.size() < kMaxLine)
            line_ += static_cast<char>(byte);
        else
            lineOverflow_ = true;
        return;
    }
    std::string line;
    line.swap(line_);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    if (lineOverflow_) {
        lineOverflow_ = false;
        line = "\x01"; // matches nothing any state accepts
    }
    onLine(line, out);
}

void LpcBootRom::onLine(const std::string& line, std::string& out)
{
    switch (mode_) {
    case Mode::SyncLine:
        if (line == "Synchronized") {
            out += "OK\r\n";
            mode_ = Mode::Crystal;
        } else {
            mode_ = Mode::AutoBaud;
        }
        return;
    case Mode::Crystal: {
        uint32_t khz = 0;
        if (number(line, khz) && khz >= 1000 && khz <= 100000) {
            out += "OK\r\n";
            mode_ = Mode::Command;
        } else {
            mode_ = Mode::AutoBaud;
        }
        return;
    }
    case Mode::Command:
        onCommand(line, out);
        return;
    case Mode::WriteData:
        onWriteLine(line, out);
        return;
    case Mode::ReadData:
        onReadAnswer(line, out);
        return;
    default:
        return;
    }
}

void LpcBootRom::onCommand(const std::string& line, std::string& out)
{
    if (line.empty())
        return;
    commands_.push_back(line);
    std::istringstream words(line);
    std::vector<std::string> w;
    for (std::string word; words >> word;)
        w.push_back(word);
    if (w.empty())
        return;
    if (w[0].size() != 1) {
        out += code(INVALID_COMMAND);
        return;
    }
    const char letter = w[0][0];
    if (config_.faults.refuseCommand && letter == config_.faults.refuseCommand) {
        out += code(config_.faults.refuseCode);
        return;
    }
    // Decimal arguments; a wrong count or a non-number is a parameter error.
    std::vector<uint32_t> a;
    auto args = [&](size_t n, size_t numeric) {
        if (w.size() != n + 1)
            return false;
        a.assign(numeric, 0);
        for (size_t i = 0; i < numeric; ++i)
            if (!number(w[i + 1], a[i]))
                return false;
        return true;
    };
    // Address and byte count of a RAM write or a memory read: whole words.
    auto wordRange = [&]() {
        if (!args(2, 2))
            return PARAM_ERROR;
        if (a[0] % 4)
            return ADDR_ERROR;
        if (a[1] % 4 || a[1] == 0)
            return COUNT_ERROR;
        return CMD_SUCCESS;
    };
    auto sectorsValid = [&](uint32_t first, uint32_t last) {
        return first <= last && last < sectorStart_.size();
    };

    switch (letter) {
    case 'U':
        if (!args(1, 1))
            out += code(PARAM_ERROR);
        else if (a[0] != kUnlockCode)
            out += code(INVALID_CODE);
        else {
            unlocked_ = true;
            out += code(CMD_SUCCESS);
        }
        return;
    case 'A':
        if (!args(1, 1) || a[0] > 1)
            out += code(PARAM_ERROR);
        else {
            echo_ = a[0] == 1;
            out += code(CMD_SUCCESS);
        }
        return;
    case 'B': {
        if (!args(2, 2)) {
            out += code(PARAM_ERROR);
            return;
        }
        static const uint32_t rates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
        bool known = false;
        for (uint32_t r : rates)
            known = known || r == a[0];
        if (!known)
            out += code(INVALID_BAUD_RATE);
        else if (a[1] != 1 && a[1] != 2)
            out += code(INVALID_STOP_BIT);
        else
            out += code(CMD_SUCCESS); // the line itself keeps its rate on a pseudo-terminal
        return;
    }
    case 'P':
        if (!args(2, 2))
            out += code(PARAM_ERROR);
        else if (!sectorsValid(a[0], a[1]))
            out += code(INVALID_SECTOR);
        else {
            for (uint32_t s = a[0]; s <= a[1]; ++s)
                prepared_[s] = true;
            out += code(CMD_SUCCESS);
        }
        return;
    case 'E':
        if (!args(2, 2))
            out += code(PARAM_ERROR);
        else if (!unlocked_)
            out += code(CMD_LOCKED);
        else if (!sectorsValid(a[0], a[1]))
            out += code(INVALID_SECTOR);
        else {
            for (uint32_t s = a[0]; s <= a[1]; ++s)
                if (!prepared_[s]) {
                    out += code(SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION);
                    return;
                }
            for (uint32_t s = a[0]; s <= a[1]; ++s)
                std::fill_n(flash_.begin() + sectorStart_[s], sectorSize_[s], 0xFF);
            prepared_.assign(prepared_.size(), false);
            ++flashGeneration_;
            out += code(CMD_SUCCESS);
        }
        return;
    case 'I':
        if (!args(2, 2))
            out += code(PARAM_ERROR);
        else if (!sectorsValid(a[0], a[1]))
            out += code(INVALID_SECTOR);
        else {
            for (uint32_t s = a[0]; s <= a[1]; ++s)
                for (uint32_t i = 0; i < sectorSize_[s]; i += 4) {
                    const uint32_t address = sectorStart_[s] + i;
                    const uint32_t word = flash_[address] | flash_[address + 1] << 8 | flash_[address + 2] << 16
                                          | static_cast<uint32_t>(flash_[address + 3]) << 24;
                    if (word != 0xFFFFFFFF) {
                        out += code(SECTOR_NOT_BLANK) + std::to_string(address) + "\r\n" + std::to_string(word)
                               + "\r\n";
                        return;
                    }
                }
            out += code(CMD_SUCCESS);
        }
        return;
    case 'W':
        if (const IspCode refusal = wordRange(); refusal != CMD_SUCCESS)
            out += code(refusal);
        else if (!inRam(a[0], a[1]) || inIspRam(a[0], a[1]))
            out += code(ADDR_NOT_MAPPED);
        else {
            wAddress_ = a[0];
            wCount_ = a[1];
            wDone_ = wGroupStart_ = 0;
            wLines_ = 0;
            wBad_ = false;
            mode_ = Mode::WriteData;
            out += code(CMD_SUCCESS);
        }
        return;
    case 'R':
        if (const IspCode refusal = wordRange(); refusal != CMD_SUCCESS)
            out += code(refusal);
        else if (!inRam(a[0], a[1]) && !inFlash(a[0], a[1]))
            out += code(ADDR_NOT_MAPPED);
        else {
            rAddress_ = a[0];
            rCount_ = a[1];
            rGroupStart_ = 0;
            mode_ = Mode::ReadData;
            out += code(CMD_SUCCESS);
            sendReadGroup(out);
        }
        return;
    case 'C': {
        if (!args(3, 3)) {
            out += code(PARAM_ERROR);
            return;
        }
        const uint32_t dst = a[0], src = a[1], count = a[2];
        if (!unlocked_)
            out += code(CMD_LOCKED);
        else if (src % 4)
            out += code(SRC_ADDR_ERROR);
        else if (dst % 256)
            out += code(DST_ADDR_ERROR);
        else if (count != 256 && count != 512 && count != 1024 && count != 4096)
            out += code(COUNT_ERROR);
        else if (!inRam(src, count))
            out += code(SRC_ADDR_NOT_MAPPED);
        else if (!inFlash(dst, count))
            out += code(DST_ADDR_NOT_MAPPED);
        else {
            for (int s = sectorOf(dst); s <= sectorOf(dst + count - 1); ++s)
                if (!prepared_[s]) {
                    out += code(SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION);
                    return;
                }
            // Programming only clears bits, as flash does.
            for (uint32_t i = 0; i < count; ++i)
                flash_[dst + i] &= ram_[src - config_.ramBase + i];
            prepared_.assign(prepared_.size(), false);
            ++flashGeneration_;
            out += code(CMD_SUCCESS);
        }
        return;
    }
    case 'M': {
        if (!args(3, 3)) {
            out += code(PARAM_ERROR);
            return;
        }
        const uint32_t x = a[0], y = a[1], count = a[2];
        if (x % 4 || y % 4)
            out += code(ADDR_ERROR);
        else if (count % 4)
            out += code(COUNT_ERROR);
        else if ((!inRam(x, count) && !inFlash(x, count)) || (!inRam(y, count) && !inFlash(y, count)))
            out += code(ADDR_NOT_MAPPED);
        else {
            for (uint32_t i = 0; i < count; ++i)
                if (*at(x + i) != *at(y + i)) {
                    out += code(COMPARE_ERROR) + std::to_string(i & ~3u) + "\r\n";
                    return;
                }
            out += code(CMD_SUCCESS);
        }
        return;
    }
    case 'G':
        if (w.size() != 3 || !number(w[1], goAddress_) || (w[2] != "T" && w[2] != "A"))
            out += code(PARAM_ERROR);
        else if (!unlocked_)
            out += code(CMD_LOCKED);
        else if (w[2] == "A")
            out += code(PARAM_ERROR); // Cortex-M3: Thumb only
        else if (!inFlash(goAddress_, 2) && !inRam(goAddress_, 2))
            out += code(ADDR_NOT_MAPPED);
        else {
            out += code(CMD_SUCCESS);
            mode_ = Mode::Running;
        }
        return;
    case 'J':
        out += w.size() == 1 ? code(CMD_SUCCESS) + std::to_string(config_.partId) + "\r\n" : code(PARAM_ERROR);
        return;
    case 'K':
        out += w.size() == 1 ? code(CMD_SUCCESS) + std::to_string(config_.bootMajor) + "\r\n"
                                   + std::to_string(config_.bootMinor) + "\r\n"
                             : code(PARAM_ERROR);
        return;
    case 'N':
        if (w.size() != 1) {
            out += code(PARAM_ERROR);
            return;
        }
        out += code(CMD_SUCCESS);
        for (uint32_t word : config_.serial)
            out += std::to_string(word) + "\r\n";
        return;
    default:
        out += code(INVALID_COMMAND);
        return;
    }
}

void LpcBootRom::onWriteLine(const std::string& line, std::string& out)
{
    const bool groupFull = wLines_ == kLinesPerGroup || wDone_ == wCount_;
    if (!groupFull) {
        const auto bytes = uuDecodeLine(line);
        if (!bytes || bytes->size() > wCount_ - wDone_) {
            // Taken as a line of the group all the same, for as many bytes as
            // it announces (no more than are left); its checksum will fail.
            const uint32_t announced = line.empty() ? 0 : ((static_cast<uint8_t>(line[0]) - 0x20) & 0x3F);
            wDone_ += std::min(announced, wCount_ - wDone_);
            wBad_ = true;
            ++wLines_;
            return;
        }
        std::copy(bytes->begin(), bytes->end(), ram_.begin() + (wAddress_ - config_.ramBase) + wDone_);
        wDone_ += static_cast<uint32_t>(bytes->size());
        ++wLines_;
        return;
    }
    uint32_t theirs = 0;
    const bool parsed = number(line, theirs);
    const uint32_t ours = sumOf(&ram_[wAddress_ - config_.ramBase + wGroupStart_], wDone_ - wGroupStart_);
    if (!parsed || wBad_ || theirs != ours || resendFaults_ > 0) {
        if (resendFaults_ > 0)
            --resendFaults_;
        ++resends_;
        out += "RESEND\r\n";
        wDone_ = wGroupStart_;
    } else {
        out += "OK\r\n";
        wGroupStart_ = wDone_;
        if (wDone_ == wCount_)
            mode_ = Mode::Command;
    }
    wLines_ = 0;
    wBad_ = false;
}

void LpcBootRom::sendReadGroup(std::string& out)
{
    uint32_t at = rGroupStart_;
    for (int lines = 0; lines < kLinesPerGroup && at < rCount_; ++lines) {
        const uint32_t n = std::min<uint32_t>(kBytesPerLine, rCount_ - at);
        std::vector<uint8_t> bytes(n);
        for (uint32_t i = 0; i < n; ++i)
            bytes[i] = *this->at(rAddress_ + at + i);
        out += uuEncodeLine(bytes.data(), n) + "\r\n";
        at += n;
    }
    rGroupEnd_ = at;
    uint32_t total = 0;
    for (uint32_t i = rGroupStart_; i < rGroupEnd_; ++i)
        total += *this->at(rAddress_ + i);
    out += std::to_string(total) + "\r\n";
}

void LpcBootRom::onReadAnswer(const std::string& line, std::string& out)
{
    if (line == "OK") {
        rGroupStart_ = rGroupEnd_;
        if (rGroupStart_ >= rCount_)
            mode_ = Mode::Command;
        else
            sendReadGroup(out);
    } else if (line == "RESEND") {
        sendReadGroup(out);
    } else {
        mode_ = Mode::Command;
        onCommand(line, out);
    }
}

} // namespace lpcsim
