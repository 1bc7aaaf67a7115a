// LpcBootRom: a strict model of the LPC17xx ISP boot ROM as seen from the
// serial line. Bytes from the host go in one at a time; the bytes the chip
// sends back come out. It keeps flash and RAM, the unlock and prepare state
// and the echo setting, and refuses what a chip refuses with the chip's
// return code. Not thread-safe; LpcPtyServer serialises access to it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/lpc/LpcConfig.h"

namespace lpcsim {

// Return codes of the boot ROM.
enum IspCode : int {
    CMD_SUCCESS = 0,
    INVALID_COMMAND = 1,
    SRC_ADDR_ERROR = 2,
    DST_ADDR_ERROR = 3,
    SRC_ADDR_NOT_MAPPED = 4,
    DST_ADDR_NOT_MAPPED = 5,
    COUNT_ERROR = 6,
    INVALID_SECTOR = 7,
    SECTOR_NOT_BLANK = 8,
    SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION = 9,
    COMPARE_ERROR = 10,
    BUSY = 11,
    PARAM_ERROR = 12,
    ADDR_ERROR = 13,
    ADDR_NOT_MAPPED = 14,
    CMD_LOCKED = 15,
    INVALID_CODE = 16,
    INVALID_BAUD_RATE = 17,
    INVALID_STOP_BIT = 18,
};

class LpcBootRom {
  public:
    enum class Mode { AutoBaud, SyncLine, Crystal, Command, WriteData, ReadData, Running };

    explicit LpcBootRom(const LpcConfig& config);

    // One byte from the host; what the chip answers is appended to out.
    void receive(uint8_t byte, std::string& out);
    // Power-on reset: back to autobaud, locked, echo as configured. Flash
    // keeps its contents; RAM is left as it was, as on a real part.
    void reset();

    const std::vector<uint8_t>& flash() const { return flash_; }
    const std::vector<uint8_t>& ram() const { return ram_; }
    // Rises with every change of flash contents.
    uint64_t flashGeneration() const { return flashGeneration_; }
    Mode mode() const { return mode_; }
    bool echo() const { return echo_; }
    uint32_t goAddress() const { return goAddress_; }
    // Every command line taken in command mode, without its line end.
    const std::vector<std::string>& commands() const { return commands_; }
    // Checksum rounds of RAM writes answered RESEND.
    int resends() const { return resends_; }
    int sectorCount() const { return static_cast<int>(sectorStart_.size()); }

  private:
    void onLine(const std::string& line, std::string& out);
    void onCommand(const std::string& line, std::string& out);
    void onWriteLine(const std::string& line, std::string& out);
    void onReadAnswer(const std::string& line, std::string& out);
    void sendReadGroup(std::string& out);
    int sectorOf(uint32_t address) const;
    bool inFlash(uint32_t address, uint64_t count) const;
    bool inRam(uint32_t address, uint64_t count) const;
    bool inIspRam(uint32_t address, uint64_t count) const;
    uint8_t* at(uint32_t address);

    LpcConfig config_;
    std::vector<uint8_t> flash_;
    std::vector<uint8_t> ram_;
    std::vector<uint32_t> sectorStart_;
    std::vector<uint32_t> sectorSize_;
    std::vector<bool> prepared_;
    Mode mode_ = Mode::AutoBaud;
    bool echo_ = true;
    bool unlocked_ = false;
    std::string line_;
    bool lineOverflow_ = false;
    uint64_t flashGeneration_ = 0;
    uint32_t goAddress_ = 0;
    std::vector<std::string> commands_;
    int resendFaults_ = 0;
    int resends_ = 0;

    // A RAM write in progress.
    uint32_t wAddress_ = 0, wCount_ = 0, wDone_ = 0, wGroupStart_ = 0;
    int wLines_ = 0;
    bool wBad_ = false;
    // A memory read in progress.
    uint32_t rAddress_ = 0, rCount_ = 0, rGroupStart_ = 0, rGroupEnd_ = 0;
};

} // namespace lpcsim
