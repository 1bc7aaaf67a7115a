// SdpRom: the serial download protocol engine of a simulated i.MX RT1050
// boot ROM, independent of the line it is reached on. It takes 16-byte
// commands and data, answers with security-status and response messages,
// writes files into ImxRam, records jumps, and refuses anything a strict
// ROM would not take. SdpSerialLink and SdpHidLink frame it for a UART and
// for USB-HID; PtyRom and the imxsim program serve it on a pseudo-terminal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/imx/ImxRam.h"

namespace imxsim {

constexpr uint32_t HAB_OPEN = 0x56787856;      // security configuration of an open part
constexpr uint32_t HAB_CLOSED = 0x12343412;
constexpr uint32_t STATUS_WRITE_COMPLETE = 0x88888888;
constexpr uint32_t STATUS_FAILURE = 0x33333333; // this simulator's error status
constexpr uint32_t FUSE_CFG0_ADDRESS = 0x401F4410;
constexpr uint32_t FUSE_CFG1_ADDRESS = 0x401F4420;
constexpr size_t SDP_COMMAND_SIZE = 16;

// Faults a test can arm.
struct SdpFaults {
    bool silent = false;             // the ROM takes everything and answers nothing
    bool shortRegisterReply = false; // a register reply stops after 2 value bytes
    bool replyDuringWrite = false;   // the ROM speaks after the first data of a write file
    bool refuseJump = false;         // every jump is answered with an error status
};

struct SdpConfig {
    uint32_t habMode = HAB_OPEN;
    uint32_t uid0 = 0x1E2D3C4B; // unique-ID fuse words
    uint32_t uid1 = 0x5A697887;
    SdpFaults faults;
};

// What the ROM says: the 4-byte security status, or a response (a status
// word or register values).
struct SdpMessage {
    enum Kind { Hab, Response } kind;
    std::vector<uint8_t> bytes;
};

struct SdpCommand {
    uint16_t type;
    uint32_t address;
    uint8_t format;
    uint32_t count;
};

struct SdpJump {
    uint32_t address;    // image vector table
    uint32_t entry;      // entry point named by the table
};

class SdpRom {
  public:
    explicit SdpRom(SdpConfig config = {});

    // One 16-byte command. Returns what the ROM answers at once.
    std::vector<SdpMessage> command(const uint8_t* bytes, size_t length);
    // Data of the write file in progress (at most dataRemaining() bytes).
    std::vector<SdpMessage> data(const uint8_t* bytes, size_t length);

    bool receivingData() const { return remaining_ > 0; }
    size_t dataRemaining() const { return remaining_; }
    bool jumped() const { return !jumps_.empty(); }

    // Records a protocol violation seen by a framing layer.
    void reject(const std::string& why);

    ImxRam& ram() { return ram_; }
    const ImxRam& ram() const { return ram_; }
    const std::vector<SdpCommand>& commands() const { return commands_; }
    const std::vector<size_t>& dataPieces() const { return dataPieces_; }
    const std::vector<SdpJump>& jumps() const { return jumps_; }
    const std::vector<std::string>& errors() const { return errors_; }
    SdpConfig& config() { return config_; }

  private:
    SdpMessage hab() const;
    static SdpMessage word(uint32_t value);
    std::vector<SdpMessage> readRegister(const SdpCommand& c);
    std::vector<SdpMessage> writeFile(const SdpCommand& c);
    std::vector<SdpMessage> jump(const SdpCommand& c);
    std::vector<SdpMessage> finishWrite();
    bool readWord(uint32_t address, uint32_t& value) const;

    SdpConfig config_;
    ImxRam ram_;
    uint32_t lastStatus_ = 0;
    // Write file in progress.
    uint32_t writeAddress_ = 0;
    size_t remaining_ = 0;
    bool writeOutside_ = false;
    bool spokeDuringWrite_ = false;

    std::vector<SdpCommand> commands_;
    std::vector<size_t> dataPieces_;
    std::vector<SdpJump> jumps_;
    std::vector<std::string> errors_;
};

} // namespace imxsim
