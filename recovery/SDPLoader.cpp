// SDPLoader: the serial download protocol conversation (see SDPLoader.h).
#include "recovery/SDPLoader.h"

#include <algorithm>
#include <limits>
#include <string>

#include "app/Log.h"
#include "recovery/SDPLoader_Protocol.h"

namespace P = SDPLoader_Protocol;

namespace {

void sTraceBytes(const uint8_t* bytes, size_t size)
{
    if (!Log::IsActive(DEBUG_iMXSerial))
        return;
    std::string text;
    char one[8];
    for (size_t i = 0; i < size; ++i) {
        snprintf(one, sizeof one, "%X ", bytes[i]);
        text += one;
    }
    // Log::log bounds one trace; long data chunks are written in pieces.
    for (size_t at = 0; at < text.size(); at += 1500)
        Log::log(DEBUG_iMXSerial, "%s", text.substr(at, 1500).c_str());
    Log::log(DEBUG_iMXSerial, "\n");
}

void sTraceBytes(const std::vector<uint8_t>& bytes) { sTraceBytes(bytes.data(), bytes.size()); }

} // namespace

SDPLoader::SDPLoader() = default;
SDPLoader::~SDPLoader() = default;

bool SDPLoader::setLoader(std::unique_ptr<SDPLoader_Interface>&& transport)
{
    if (!transport || transport_)
        return false;
    transport_ = std::move(transport);
    return true;
}

int SDPLoader::init()
{
    if (!transport_)
        return SDP_NO_TRANSPORT;
    return transport_->init() ? SDP_OK : SDP_INIT_FAILED;
}

bool SDPLoader::_isConnectionAlive()
{
    const std::vector<uint8_t> status = P::BuildCommand(P::ERROR_STATUS, 0, 0, 0);
    for (int attempt = 0; attempt < STATUS_ATTEMPTS; ++attempt) {
        const ssize_t written = transport_->writeData(status);
        Log::log(DEBUG_iMXSerial, "bytesWritten: %zu\n", static_cast<size_t>(written < 0 ? 0 : written));
        sTraceBytes(status);
        std::vector<uint8_t> reply;
        const ssize_t got = transport_->readData(reply, REPLY_TIMEOUT_MS);
        Log::log(DEBUG_iMXSerial, "Read Data: %zd\n", got);
        sTraceBytes(reply);
        uint32_t value = 0;
        if (written >= 0 && transport_->getDataFromBuffer(reply, 0, value))
            return true;
    }
    Log::log(DEBUG_iMXSerial, "Error: No ack from iMX device\n");
    return false;
}

bool SDPLoader::_expectAck(const std::vector<uint8_t>& reply)
{
    uint32_t value = 0;
    return transport_->getDataFromBuffer(reply, 0, value) && value == P::ACK;
}

int SDPLoader::writeLoader(const std::vector<uint8_t>& bytes, uint32_t address)
{
    return writeLoader(bytes.data(), bytes.size(), address);
}

int SDPLoader::writeLoader(const uint8_t* bytes, size_t size, uint32_t address)
{
    if (!transport_)
        return SDP_NO_TRANSPORT;
    if (!_isConnectionAlive())
        return SDP_NO_ANSWER;
    if (size > std::numeric_limits<uint32_t>::max() || (bytes == nullptr && size != 0)) {
        Log::log(DEBUG_iMXSerial, "Loader Transfer Unsuccessful\n");
        return SDP_WRITE_FAILED;
    }

    const std::vector<uint8_t> command = P::BuildCommand(P::WRITE_FILE, address, P::ACCESS_32BIT, static_cast<uint32_t>(size));
    ssize_t res = transport_->writeData(command);
    Log::log(DEBUG_iMXSerial, "Write Res: %zd\n", res);
    sTraceBytes(command);
    if (res < 0) {
        Log::log(DEBUG_iMXSerial, "Loader Transfer Unsuccessful\n");
        return SDP_WRITE_FAILED;
    }

    int total = 0;
    int loop = 0;
    size_t position = 0;
    std::vector<uint8_t> chunk;
    chunk.reserve(P::CHUNK_SIZE + 1);
    while (position < size) {
        // The boot ROM stays silent while it takes data; anything it says now
        // means it has given up on the transfer.
        std::vector<uint8_t> early;
        if (transport_->readData(early, 0) > 0) {
            sTraceBytes(early);
            Log::log(DEBUG_iMXSerial, "Error while transfering loader. Aborting\n");
            return SDP_TRANSFER_ABORTED;
        }
        const size_t n = std::min(P::CHUNK_SIZE, size - position);
        chunk.assign(1, P::REPORT_DATA);
        chunk.insert(chunk.end(), bytes + position, bytes + position + n);
        res = transport_->writeData(chunk);
        position += n;
        if (res >= 0)
            total += static_cast<int>(n);
        Log::log(DEBUG_iMXSerial, "Write Res: %zd , Total: %d, Loop: %d, tell: %ld, size: %zd\n", res, total, loop,
                 static_cast<long>(position), static_cast<ssize_t>(n));
        ++loop;
        if (res < 0) {
            // A chunk the transport could not take leaves the boot ROM waiting
            // for data that never comes: no status can follow.
            Log::log(DEBUG_iMXSerial, "Loader Transfer Unsuccessful\n");
            return SDP_WRITE_FAILED;
        }
    }

    Log::log(DEBUG_iMXSerial, "Written Bytes: %d\n", total);
    std::vector<uint8_t> reply;
    const ssize_t got = transport_->readData(reply, REPLY_TIMEOUT_MS);
    Log::log(DEBUG_iMXSerial, "Read Data: %zd\n", got);
    sTraceBytes(reply);
    uint32_t value = 0;
    if (transport_->getDataFromBuffer(reply, 0, value) && value == P::WRITE_COMPLETE) {
        Log::log(DEBUG_iMXSerial, "Loader Transfer Successful\n");
        return SDP_OK;
    }
    Log::log(DEBUG_iMXSerial, "Loader Transfer Unsuccessful\n");
    return SDP_WRITE_FAILED;
}

int SDPLoader::startLoader(uint32_t address)
{
    if (!transport_)
        return SDP_NO_TRANSPORT;
    std::vector<uint8_t> reply;
    _command(P::BuildCommand(P::JUMP_ADDRESS, address, 0, 0), reply);
    // A started image answers nothing after the security status; a complete
    // reply carries the error status of a refused jump.
    uint32_t value = 0;
    if (transport_->getDataFromBuffer(reply, 0, value)) {
        Log::log(DEBUG_iMXSerial, "Jump refused, status: 0x%08X\n", value);
        return SDP_JUMP_REFUSED;
    }
    return SDP_OK;
}

ssize_t SDPLoader::_command(const std::vector<uint8_t>& command, std::vector<uint8_t>& reply)
{
    const ssize_t res = transport_->writeData(command);
    Log::log(DEBUG_iMXSerial, "Write Res: %zd\n", res);
    sTraceBytes(command);
    const ssize_t got = transport_->readData(reply, REPLY_TIMEOUT_MS);
    Log::log(DEBUG_iMXSerial, "Read Data: %zd\n", got);
    sTraceBytes(reply);
    return res;
}

bool SDPLoader::_readRegister(uint32_t address, uint32_t& value)
{
    std::vector<uint8_t> reply;
    const ssize_t res = _command(P::BuildCommand(P::READ_REGISTER, address, P::ACCESS_32BIT, 4), reply);
    value = 0;
    return res >= 0 && transport_->getDataFromBuffer(reply, 0, value);
}

int SDPLoader::getFingerprint(uint64_t& fingerprint)
{
    if (!transport_)
        return SDP_NO_TRANSPORT;
    if (!_isConnectionAlive())
        return SDP_NO_ANSWER;
    uint32_t low = 0;
    uint32_t high = 0;
    if (!_readRegister(IMX1050::OCOTP_BASE_ADDRESS + IMX1050::CFG0_OFFSET, low))
        return SDP_INCOMPLETE_REPLY;
    if (!_readRegister(IMX1050::OCOTP_BASE_ADDRESS + IMX1050::CFG1_OFFSET, high))
        return SDP_INCOMPLETE_REPLY;
    fingerprint = static_cast<uint64_t>(high) << 32 | low;
    return SDP_OK;
}
