// NXPSerialClass: the client of the LPC17xx serial ISP boot ROM. Opens the
// serial port, synchronises with the boot ROM, reads its identity and serial
// number, and unlocks, prepares, erases, writes RAM, copies RAM to flash,
// reads memory and starts code. The recovery and fingerprint flows drive it.
// Every operation returns an aErr; boot-ROM refusals come back as aErrParam.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/aErr.h"
#include "common/aStream.h"

class NXPSerialClass {
  public:
    static constexpr int MAX_ERROR = 20;
    static constexpr float CRYSTAL_DEFAULT = 14.7456f; // MHz
    static constexpr int MAX_BYTES_PER_LINE = 45;
    static constexpr int LINES_PER_CHECKSUM = 20;
    static constexpr int MAX_READ_RETRY = 3;
    static constexpr uint32_t WRITE_ADDRESS = 0x10001000;
    static constexpr int TERMINATION_SIZE = 2;
    static constexpr size_t PORT_NAME_SIZE = 2048;

    // Attempts the flows give GetLine: a status or data line, and the answer
    // to a write checksum.
    static constexpr int LINE_ATTEMPTS = 100;
    static constexpr int CHECKSUM_ATTEMPTS = 2000;

    struct Sector {
        uint32_t start;
        uint32_t size;
        int number;
    };
    // LPC17xx flash layout (512 KB), ended by a row starting at 0xFFFFFFFF.
    static const Sector NXP_LPC17XX_sectors[];
    static constexpr int NO_SECTOR = 30;
    // Serial rates in the order of the serial stream's baud codes.
    static const uint32_t BAUD_RATES[8];

    NXPSerialClass();
    ~NXPSerialClass();
    NXPSerialClass(const NXPSerialClass&) = delete;
    NXPSerialClass& operator=(const NXPSerialClass&) = delete;

    aErr Connect(const char* port, uint32_t rate);
    aErr Disconnect();
    aErr Sync();

    aErr Unlock();
    aErr SetEcho(bool on);
    aErr SetBaudRate(uint32_t rate);
    aErr Prepare(int first, int last);
    aErr Erase(int first, int last);
    aErr CopyToFlash(uint32_t flashAddress, uint32_t ramAddress, uint32_t count);
    aErr ExecuteFrom(uint32_t address);

    aErr GetBootLoaderVersion(int& major, int& minor);
    aErr GetPartNumber(int64_t& number);
    aErr GetDeviceID();

    aErr Write(uint32_t address, uint32_t count, const uint8_t* data);
    aErr Read(uint32_t address, uint32_t count, uint8_t* data);

    // The four words answered to "N", in answer order.
    const uint32_t* DeviceSerialNumber() const { return deviceSerialNumber_; }
    bool Echo() const { return echo_; }
    uint32_t BaudRate() const { return baudRate_; }
    const char* PortName() const { return portName_; }

    static const char* GetErrorText(const char* line);
    static int SectorFromAddress(uint32_t address);
    static uint32_t CopyLength(uint32_t count);
    static uint32_t sum(const uint8_t* data, size_t count);
    static size_t uuencode(char* line, const uint8_t* data, size_t count);
    static size_t uudecode(uint8_t* data, size_t room, const char* line);
    static char uuchar(uint8_t value);
    // Milliseconds n characters take at rate (10 bits each, rounded up, plus
    // two characters of slack); 1 for a rate of 0.
    static uint32_t WAIT_TIME_MS(uint32_t n, uint32_t rate);

    // Building blocks of the operations above.
    aErr Send(const char* text, bool checkEcho);
    aErr SendCommand(const char* text, int waitMs);
    aErr GetEcho(const char* expected, size_t count, size_t& matched);
    aErr GetLine(char* buffer, size_t size, size_t& count, int attempts);
    aErr Response(char* buffer, size_t size, size_t& count, const char* expected, size_t expectedLength);
    size_t GetErrorIndex(size_t count) const;

  private:
    // Sends a command and reads its return-code line. traceRefusal writes
    // "Error response" with the code's name on a refusal.
    aErr command(const char* text, bool traceRefusal, const char* prefix = "");
    // Reads one line holding a number (query answers).
    aErr readNumberLine(int64_t& value);
    aErr readByte(uint8_t& byte);

    aStream* stream_ = nullptr;
    bool echo_ = true;
    uint32_t baudRate_ = 0;
    char portName_[PORT_NAME_SIZE] = {};
    uint32_t deviceSerialNumber_[4] = {};
};
