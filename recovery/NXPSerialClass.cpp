// NXPSerialClass: LPC17xx serial ISP client; see NXPSerialClass.h.
//
// The serial stream's one-byte read waits briefly for a byte and reports
// aErrNotReady when none came. Each such empty read uses up one attempt of a
// wait; on top of that every wait has a wall-clock ceiling, so a silent chip
// ends each wait within a few seconds at most.
#include "recovery/NXPSerialClass.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/Log.h"
#include "common/aTime.h"
#include "recovery/ISPReply.h"
#include "recovery/UUEncoding.h"

namespace {

// Longest any single wait for the chip may take, whatever its attempt count.
constexpr uint64_t kWaitCeilingMs = 5000;
// Reads allowed per echo character that bring a byte other than the one
// expected, before the echo is given up.
constexpr size_t kEchoJunkPerChar = 8;
constexpr int kEchoEmptyReads = 100;

// The text between the brackets of a trace: CR and LF as \r and \n, other
// unprintable characters as blanks.
std::string printable(const char* text, size_t length)
{
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else
            out += std::isprint(c) ? static_cast<char>(c) : ' ';
    }
    return out;
}

std::string hex(const char* text, size_t length)
{
    std::string out;
    char two[4];
    for (size_t i = 0; i < length; ++i) {
        std::snprintf(two, sizeof(two), "%02X", static_cast<unsigned char>(text[i]));
        out += two;
    }
    return out;
}

// A command text without its line end, for traces.
std::string bare(const char* text)
{
    std::string out(text);
    while (!out.empty() && (out.back() == '\r' || out.back() == '\n'))
        out.pop_back();
    return out;
}

bool elapsedBeyond(uint64_t start, uint64_t limit) { return aTime_GetMSTicks() - start > limit; }

} // namespace

const NXPSerialClass::Sector NXPSerialClass::NXP_LPC17XX_sectors[] = {
    {0x00000, 0x1000, 0},   {0x01000, 0x1000, 1},   {0x02000, 0x1000, 2},   {0x03000, 0x1000, 3},
    {0x04000, 0x1000, 4},   {0x05000, 0x1000, 5},   {0x06000, 0x1000, 6},   {0x07000, 0x1000, 7},
    {0x08000, 0x1000, 8},   {0x09000, 0x1000, 9},   {0x0A000, 0x1000, 10},  {0x0B000, 0x1000, 11},
    {0x0C000, 0x1000, 12},  {0x0D000, 0x1000, 13},  {0x0E000, 0x1000, 14},  {0x0F000, 0x1000, 15},
    {0x10000, 0x8000, 16},  {0x18000, 0x8000, 17},  {0x20000, 0x8000, 18},  {0x28000, 0x8000, 19},
    {0x30000, 0x8000, 20},  {0x38000, 0x8000, 21},  {0x40000, 0x8000, 22},  {0x48000, 0x8000, 23},
    {0x50000, 0x8000, 24},  {0x58000, 0x8000, 25},  {0x60000, 0x8000, 26},  {0x68000, 0x8000, 27},
    {0x70000, 0x8000, 28},  {0x78000, 0x8000, 29},  {0xFFFFFFFF, 0, NO_SECTOR},
};

const uint32_t NXPSerialClass::BAUD_RATES[8] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};

NXPSerialClass::NXPSerialClass() = default;

NXPSerialClass::~NXPSerialClass() { Disconnect(); }

// ---------------------------------------------------------------- helpers

const char* NXPSerialClass::GetErrorText(const char* line)
{
    if (!line)
        return ispreply::errorName(-1);
    return ispreply::errorName(std::strtol(line, nullptr, 0));
}

int NXPSerialClass::SectorFromAddress(uint32_t address)
{
    for (const Sector* s = NXP_LPC17XX_sectors; s->start != 0xFFFFFFFF; ++s)
        if (address >= s->start && address - s->start < s->size)
            return s->number;
    return NO_SECTOR;
}

uint32_t NXPSerialClass::CopyLength(uint32_t count)
{
    for (uint32_t length : {256u, 512u, 1024u, 4096u})
        if (count <= length)
            return length;
    Log::log(DEBUG_NXPSerial, "Copy length is too large. %d > 4096.\n", static_cast<int>(count));
    return count;
}

uint32_t NXPSerialClass::sum(const uint8_t* data, size_t count) { return uu::sum(data, count); }

size_t NXPSerialClass::uuencode(char* line, const uint8_t* data, size_t count)
{
    return uu::uuencode(line, data, count);
}

size_t NXPSerialClass::uudecode(uint8_t* data, size_t room, const char* line)
{
    bool overrun = false;
    const size_t n = uu::uudecode(data, room, line, &overrun);
    if (overrun)
        Log::log(DEBUG_NXPSerial, "Error buffer overrun\n");
    return n;
}

char NXPSerialClass::uuchar(uint8_t value) { return uu::uuchar(value); }

uint32_t NXPSerialClass::WAIT_TIME_MS(uint32_t n, uint32_t rate)
{
    if (rate == 0)
        return 1;
    return static_cast<uint32_t>((9000ull * n + 18000ull) / rate + 1);
}

size_t NXPSerialClass::GetErrorIndex(size_t count) const { return ispreply::statusIndex(count, echo_); }

// ---------------------------------------------------------------- connection

aErr NXPSerialClass::Connect(const char* port, uint32_t rate)
{
    if (!port)
        return aErrParam;
    Disconnect();
    int index = 2; // above the table: 9600
    for (int i = 0; i < 8; ++i) {
        if (BAUD_RATES[i] >= rate) {
            index = i;
            break;
        }
    }
    baudRate_ = BAUD_RATES[index];
    std::snprintf(portName_, sizeof(portName_), "%s", port);
    Log::log(DEBUG_NXPSerial, "Creating serial connection: [%s] stream baud:%d(%d)\n", port, index,
             static_cast<int>(baudRate_));
    const aErr err = aStream_CreateSerial(port, index, 0, 0, 0, &stream_);
    if (err != aErrNone) {
        Log::log(DEBUG_NXPSerial, "Error Creating Serial [%s] ==> %s", port, aError_GetErrorText(err));
        stream_ = nullptr;
    }
    return err;
}

aErr NXPSerialClass::Disconnect()
{
    if (!stream_)
        return aErrNone;
    return aStream_Destroy(&stream_);
}

aErr NXPSerialClass::readByte(uint8_t& byte)
{
    if (!stream_)
        return aErrConnection;
    return aStream_Read(stream_, &byte, 1);
}

// ---------------------------------------------------------------- byte level

aErr NXPSerialClass::Send(const char* text, bool checkEcho)
{
    if (!stream_)
        return aErrConnection;
    const size_t length = std::strlen(text);
    if (Log::IsActive(DEBUG_NXPSerial_SR))
        Log::log(DEBUG_NXPSerial_SR, "Sending:[%s] [%s]\n", hex(text, length).c_str(),
                 printable(text, length).c_str());
    const aErr err = aStream_Write(stream_, reinterpret_cast<const uint8_t*>(text), length);
    if (err != aErrNone) {
        Log::log(DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", aError_GetErrorText(err));
        return err;
    }
    if (checkEcho && length > 1) {
        size_t matched = 0;
        GetEcho(text, length - 1, matched);
    }
    return err;
}

aErr NXPSerialClass::SendCommand(const char* text, int waitMs)
{
    const aErr err = Send(text, false);
    if (err != aErrNone)
        return err;
    if (waitMs > 0) {
        Log::log(DEBUG_NXPSerial_E, "SendCommand() wait for command completion [%d ms]\n", waitMs);
        aTime_MSSleep(static_cast<uint32_t>(waitMs));
    }
    const size_t length = std::strlen(text);
    if (echo_ && length > 1) {
        size_t matched = 0;
        GetEcho(text, length - 1, matched);
        if (matched < length - 1)
            Log::log(DEBUG_NXPSerial, "Error SendCommand() bad echo [%d!=%d]\n", static_cast<int>(matched),
                     static_cast<int>(length - 1));
    }
    return err;
}

aErr NXPSerialClass::GetEcho(const char* expected, size_t count, size_t& matched)
{
    matched = 0;
    int empty = 0;
    size_t junk = 0;
    const uint64_t start = aTime_GetMSTicks();
    while (matched < count) {
        uint8_t byte = 0;
        const aErr err = readByte(byte);
        if (err == aErrConnection || err == aErrParam || err == aErrIO)
            return err;
        if (err != aErrNone) {
            Log::log(DEBUG_NXPSerial_E, ".");
            if (++empty >= kEchoEmptyReads || elapsedBeyond(start, kWaitCeilingMs))
                return aErrTimeout;
            aTime_MSSleep(1);
            continue;
        }
        if (byte == static_cast<uint8_t>(expected[matched])) {
            ++matched;
            continue;
        }
        Log::log(DEBUG_NXPSerial_E, " %02X!=%02X", byte, static_cast<uint8_t>(expected[matched]));
        // A chip that keeps talking must not hold the echo open for ever.
        if (++junk > kEchoJunkPerChar * (count + 1))
            return aErrIO;
    }
    return aErrNone;
}

aErr NXPSerialClass::GetLine(char* buffer, size_t size, size_t& count, int attempts)
{
    count = 0;
    if (!buffer || size == 0)
        return aErrParam;
    int used = 0;
    bool terminated = false;
    const uint64_t start = aTime_GetMSTicks();
    const uint64_t ceiling = std::max<uint64_t>(kWaitCeilingMs, static_cast<uint64_t>(attempts));
    aErr result = aErrNone;
    while (count < size - 1) {
        uint8_t byte = 0;
        const aErr err = readByte(byte);
        if (err == aErrConnection || err == aErrParam || err == aErrIO) {
            result = err;
            break;
        }
        if (err != aErrNone || (byte == '\n' && count == 0)) {
            if (err != aErrNone)
                Log::log(DEBUG_NXPSerial_E, ".");
            if (++used >= attempts || elapsedBeyond(start, ceiling)) {
                result = aErrTimeout;
                break;
            }
            aTime_MSSleep(1);
            continue;
        }
        buffer[count++] = static_cast<char>(byte);
        if (count >= 2 && buffer[count - 2] == '\r' && buffer[count - 1] == '\n') {
            terminated = true;
            break;
        }
    }
    buffer[count] = '\0';
    if (Log::IsActive(DEBUG_NXPSerial_SR))
        Log::log(DEBUG_NXPSerial_SR, "Received:[%s] [%s] (%d) %s\n", hex(buffer, count).c_str(),
                 printable(buffer, count).c_str(), static_cast<int>(count), terminated ? "term" : "non-term");
    return terminated || count == size - 1 ? aErrNone : result;
}

aErr NXPSerialClass::Response(char* buffer, size_t size, size_t& count, const char* expected,
                              size_t expectedLength)
{
    count = 0;
    if (!buffer || size == 0)
        return aErrParam;
    size_t want = expected ? expectedLength : size - 1;
    want = std::min(want, size);
    const uint32_t wait = WAIT_TIME_MS(static_cast<uint32_t>(expectedLength), baudRate_) + 20;
    Log::log(DEBUG_NXPSerial_E, "Response() wait %d ms\n", static_cast<int>(wait));
    aTime_MSSleep(wait);
    // Dropped bytes are bounded too, so that a chatty line cannot hold us.
    size_t reads = 0;
    const size_t maxReads = want + 64;
    aErr result = aErrNone;
    while (count < want && reads++ < maxReads) {
        uint8_t byte = 0;
        const aErr err = readByte(byte);
        if (err != aErrNone) {
            result = err;
            break;
        }
        if ((count == 0 && (byte == '\n' || byte == '\r')) || (byte == 0 && count < 3))
            continue;
        buffer[count] = static_cast<char>(byte);
        if (expected && count < expectedLength && byte != static_cast<uint8_t>(expected[count]))
            Log::log(DEBUG_NXPSerial_E,
                     "Error Test_Serial_Response() Expected byte %d does not match [[%02X] %c != %c [%02X]]\n",
                     static_cast<int>(count), byte, std::isprint(byte) ? byte : ' ',
                     std::isprint(static_cast<unsigned char>(expected[count])) ? expected[count] : ' ',
                     static_cast<uint8_t>(expected[count]));
        ++count;
        if (count >= 2 && buffer[count - 2] == '\r' && buffer[count - 1] == '\n')
            break;
    }
    if (Log::IsActive(DEBUG_NXPSerial_SR))
        Log::log(DEBUG_NXPSerial_SR, "Response:[%s] [%s] (%d)\n", hex(buffer, count).c_str(),
                 printable(buffer, count).c_str(), static_cast<int>(count));
    return result;
}

// ---------------------------------------------------------------- handshake

aErr NXPSerialClass::Sync()
{
    static const char kSynchronized[] = "Synchronized\r\n";
    char answer[64];
    size_t count = 0;

    aErr err = Send("?", false);
    if (err != aErrNone)
        return err;
    err = Response(answer, sizeof(answer), count, kSynchronized, 14);
    if (err != aErrNone) {
        Log::log(DEBUG_NXPSerial, "Did not receive correct response to opening sync command: [%s]. Response: [%s]\n",
                 "?", printable(answer, count).c_str());
        return err;
    }
    if (count < 14 || std::memcmp(answer, kSynchronized, 14) != 0)
        Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s]\n", printable(answer, count).c_str());

    if ((err = Send(kSynchronized, false)) != aErrNone)
        return err;
    Response(answer, sizeof(answer), count, kSynchronized, 13);
    err = Response(answer, sizeof(answer), count, "OK\r\n", 4);
    if (count < 2 || std::memcmp(answer, "OK", 2) != 0)
        Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s] != [%s]\n",
                 printable(answer, count).c_str(), "OK\\r\\n");

    char crystal[32];
    std::snprintf(crystal, sizeof(crystal), "%d\r\n", static_cast<int>(CRYSTAL_DEFAULT * 1000 + 0.5));
    if ((err = Send(crystal, false)) != aErrNone)
        return err;
    Response(answer, sizeof(answer), count, crystal, 6);
    err = Response(answer, sizeof(answer), count, "OK\r\n", 4);
    if (err != aErrNone)
        return err;
    // Bytes alone are not a handshake: the chip must have taken the crystal.
    if (count < 2 || std::memcmp(answer, "OK", 2) != 0) {
        Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s] != [%s]\n",
                 printable(answer, count).c_str(), "OK\\r\\n");
        return aErrIO;
    }
    return aErrNone;
}

// ---------------------------------------------------------------- commands

aErr NXPSerialClass::command(const char* text, bool traceRefusal, const char* prefix)
{
    aErr err = SendCommand(text, 0);
    if (err != aErrNone) {
        Log::log(DEBUG_NXPSerial, "%sError Sending command [%s] [%s]\n", prefix, bare(text).c_str(),
                 aError_GetErrorText(err));
        return err;
    }
    char line[64];
    size_t count = 0;
    GetLine(line, sizeof(line), count, LINE_ATTEMPTS);
    const long code = ispreply::statusCode(line, count, echo_);
    if (code == 0)
        return aErrNone;
    if (count == 0) {
        Log::log(DEBUG_NXPSerial, "%sNo response to command [%s]\n", prefix, bare(text).c_str());
        return aErrTimeout;
    }
    if (traceRefusal)
        Log::log(DEBUG_NXPSerial, "%sError response ==>[%s]\n", prefix, ispreply::errorName(code));
    return aErrParam;
}

aErr NXPSerialClass::Unlock() { return command("U 23130\r\n", true); }

aErr NXPSerialClass::SetEcho(bool on)
{
    char text[16];
    std::snprintf(text, sizeof(text), "A %d\r\n", on ? 1 : 0);
    Log::log(DEBUG_NXPSerial, "Setting device echo %d\n", on ? 1 : 0);
    const aErr err = command(text, true);
    if (err == aErrNone)
        echo_ = on;
    return err;
}

aErr NXPSerialClass::SetBaudRate(uint32_t rate)
{
    char text[48];
    std::snprintf(text, sizeof(text), "B %u %d\r\n", rate, 1);
    return command(text, true);
}

aErr NXPSerialClass::Prepare(int first, int last)
{
    if (first > last)
        return aErrParam;
    char text[48];
    std::snprintf(text, sizeof(text), "P %d %d\r\n", first, last);
    return command(text, true);
}

aErr NXPSerialClass::Erase(int first, int last)
{
    if (first > last)
        return aErrParam;
    char text[48];
    std::snprintf(text, sizeof(text), "E %d %d\r\n", first, last);
    return command(text, true);
}

aErr NXPSerialClass::CopyToFlash(uint32_t flashAddress, uint32_t ramAddress, uint32_t count)
{
    if (flashAddress % 256 != 0 || (count != 256 && count != 512 && count != 1024 && count != 4096))
        return aErrParam;
    char text[64];
    std::snprintf(text, sizeof(text), "C %u %u %u\r\n", flashAddress, ramAddress, count);
    return command(text, true);
}

aErr NXPSerialClass::ExecuteFrom(uint32_t address)
{
    char text[32];
    std::snprintf(text, sizeof(text), "G %u T\r\n", address);
    const aErr err = SendCommand(text, 0);
    if (err != aErrNone)
        Log::log(DEBUG_NXPSerial, "Error Sending command [%s] [%s]\n", bare(text).c_str(), aError_GetErrorText(err));
    return err;
}

// ---------------------------------------------------------------- queries

aErr NXPSerialClass::readNumberLine(int64_t& value)
{
    char line[64];
    size_t count = 0;
    GetLine(line, sizeof(line), count, LINE_ATTEMPTS);
    if (count == 0)
        return aErrTimeout;
    return ispreply::parseNumber(line, &value) ? aErrNone : aErrParse;
}

aErr NXPSerialClass::GetBootLoaderVersion(int& major, int& minor)
{
    aErr err = command("K\r\n", true);
    if (err != aErrNone)
        return err;
    int64_t a = 0, b = 0;
    if ((err = readNumberLine(a)) != aErrNone || (err = readNumberLine(b)) != aErrNone) {
        Log::log(DEBUG_NXPSerial, "Incomplete version answer [%s]\n", aError_GetErrorText(err));
        return err;
    }
    major = static_cast<int>(a);
    minor = static_cast<int>(b);
    Log::log(DEBUG_NXPSerial, "Device responded with version: %d.%d\n", major, minor);
    return aErrNone;
}

aErr NXPSerialClass::GetPartNumber(int64_t& number)
{
    aErr err = command("J\r\n", true);
    if (err != aErrNone)
        return err;
    if ((err = readNumberLine(number)) != aErrNone) {
        Log::log(DEBUG_NXPSerial, "Incomplete part number answer [%s]\n", aError_GetErrorText(err));
        return err;
    }
    Log::log(DEBUG_NXPSerial, "Device responded with part number: %lld\n", static_cast<long long>(number));
    return aErrNone;
}

aErr NXPSerialClass::GetDeviceID()
{
    aErr err = command("N\r\n", true);
    if (err != aErrNone)
        return err;
    uint32_t words[4] = {};
    for (int i = 0; i < 4; ++i) {
        int64_t value = 0;
        if ((err = readNumberLine(value)) != aErrNone) {
            Log::log(DEBUG_NXPSerial, "Incomplete serial number answer at word %d [%s]\n", i,
                     aError_GetErrorText(err));
            return err;
        }
        words[i] = static_cast<uint32_t>(value);
    }
    std::memcpy(deviceSerialNumber_, words, sizeof(words));
    Log::log(DEBUG_NXPSerial, "Device serial number: %08X %08X %08X %08X\n", words[0], words[1], words[2], words[3]);
    return aErrNone;
}

// ---------------------------------------------------------------- transfers

aErr NXPSerialClass::Write(uint32_t address, uint32_t count, const uint8_t* data)
{
    if (count == 0 || count % 4 != 0 || !data)
        return aErrParam;
    char text[64];
    std::snprintf(text, sizeof(text), "W %u %u\r\n", address, count);
    aErr err = command(text, true, "Write() ");
    if (err != aErrNone)
        return err;

    uint32_t acked = 0;
    int resends = 0;
    char line[uu::LINE_BUFFER];
    char answer[64];
    while (acked < count) {
        uint32_t position = acked;
        for (int lines = 0; lines < LINES_PER_CHECKSUM && position < count; ++lines) {
            const uint32_t n = std::min<uint32_t>(MAX_BYTES_PER_LINE, count - position);
            uuencode(line, data + position, n);
            if ((err = Send(line, echo_)) != aErrNone || (err = Send("\r\n", echo_)) != aErrNone)
                return err;
            position += n;
        }
        const uint32_t checksum = sum(data + acked, position - acked);
        Log::log(DEBUG_NXPSerial, "Write() Checksum: %08X (%d)\n", checksum, static_cast<int>(checksum));
        char digits[24];
        std::snprintf(digits, sizeof(digits), "%u\r\n", checksum);
        if ((err = Send(digits, echo_)) != aErrNone)
            return err;
        size_t got = 0;
        const uint64_t start = aTime_GetMSTicks();
        GetLine(answer, sizeof(answer), got, CHECKSUM_ATTEMPTS);
        Log::log(DEBUG_NXPSerial_E, "Write() waited for checksum %d ms\n",
                 static_cast<int>(aTime_GetMSTicks() - start));
        if (std::strcmp(answer, "OK\r\n") == 0) {
            acked = position;
            Log::log(DEBUG_NXPSerial, "Write() valid transfer of %d of %d (%.0f%%) bytes\n", static_cast<int>(acked),
                     static_cast<int>(count), 100.0 * acked / count);
        } else if (std::strcmp(answer, "RESEND\r\n") == 0) {
            if (++resends >= MAX_READ_RETRY) {
                Log::log(DEBUG_NXPSerial, "Write() exceeded retries\n");
                return aErrTimeout;
            }
        } else {
            Log::log(DEBUG_NXPSerial, "Write() unexpected response [%s]\n", printable(answer, got).c_str());
            return aErrIO;
        }
    }
    return aErrNone;
}

aErr NXPSerialClass::Read(uint32_t address, uint32_t count, uint8_t* data)
{
    if (count == 0 || count % 4 != 0 || !data)
        return aErrParam;
    char text[64];
    std::snprintf(text, sizeof(text), "R %u %u\r\n", address, count);
    aErr err = command(text, true, "Read() ");
    if (err != aErrNone)
        return err;

    uint32_t acked = 0, position = 0;
    int lines = 0, mismatches = 0;
    char line[128];
    size_t got = 0;
    while (acked < count) {
        if (lines < LINES_PER_CHECKSUM && position < count) {
            GetLine(line, sizeof(line), got, LINE_ATTEMPTS);
            if (got < 2 || line[got - 2] != '\r') {
                Log::log(DEBUG_NXPSerial, "Read() no data line [%s]\n", printable(line, got).c_str());
                return aErrTimeout;
            }
            line[got - 2] = '\0';
            const size_t n = uudecode(data + position, count - position, line);
            if (n == 0) {
                Log::log(DEBUG_NXPSerial, "Read() bad data line [%s]\n", line);
                return aErrIO;
            }
            position += static_cast<uint32_t>(n);
            ++lines;
            continue;
        }
        // A group is complete: its checksum follows.
        GetLine(line, sizeof(line), got, LINE_ATTEMPTS);
        int64_t theirs = -1;
        if (got == 0 || !ispreply::parseNumber(line, &theirs)) {
            Log::log(DEBUG_NXPSerial, "Read() no checksum [%s]\n", printable(line, got).c_str());
            return got == 0 ? aErrTimeout : aErrIO;
        }
        const uint32_t ours = sum(data + acked, position - acked);
        if (static_cast<int64_t>(ours) == theirs) {
            if ((err = Send("OK\r\n", false)) != aErrNone)
                return err;
            if (echo_) {
                char echo[8];
                size_t echoed = 0;
                const bool last = position >= count;
                Response(echo, sizeof(echo), echoed, last ? "OK\r\n" : "OK\r", last ? 4 : 3);
            }
            acked = position;
            Log::log(DEBUG_NXPSerial, "valid receipt of %d of %d (%.0f%%) bytes\n", static_cast<int>(acked),
                     static_cast<int>(count), 100.0 * acked / count);
        } else {
            Log::log(DEBUG_NXPSerial, "Read() checksum mismatch %u != %lld\n", ours, static_cast<long long>(theirs));
            if (++mismatches >= MAX_READ_RETRY) {
                Log::log(DEBUG_NXPSerial, "Read() exceeded retries\n");
                return aErrTimeout;
            }
            if ((err = Send("RESEND\r\n", echo_)) != aErrNone)
                return err;
            position = acked;
        }
        lines = 0;
    }
    return aErrNone;
}
