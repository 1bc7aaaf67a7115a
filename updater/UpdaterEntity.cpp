// UpdaterEntity: the upgrade conversation with one module (see UpdaterEntity.h).
// Requests go out as plain command packets through the entity's module;
// replies are taken from the link's inbound queue by their first two bytes
// (95 and the sub-operation or status code).
#include "updater/UpdaterEntity.h"

#include <algorithm>

#include "app/Log.h"
#include "app/UpdaterDisplayInterface.h"
#include "common/aTime.h"
#include "common/aUEI.h"
#include "device_api/Link.h"
#include "device_api/Module.h"
#include "device_api/SystemClass.h"

using Veltrane::Corvantis::Link;
using Veltrane::Corvantis::Module;
using Veltrane::Corvantis::SystemClass;

namespace {

// Packet data bytes a reply can hold.
constexpr uint8_t kReplyCapacity = 28;
// The longest the reboot waits for the module to drop its link. A TCP
// connection the module closed in order still reads as up, so this bound is
// what ends the wait there.
constexpr uint32_t kRebootPollMs = 250;
constexpr uint32_t kRebootPolls = 12;
constexpr const char* kVerifyingLabel = "Verifying Update";

uint32_t sAddressWord(const uint8_t* data)
{
    return aUEI_RetrieveInt(data);
}

} // namespace

void UpdaterEntity::init(Module* module, uint8_t index, bool validate, bool noWait)
{
    module_ = module;
    validate_ = validate;
    noWait_ = noWait;
    useUEIData_ = false;
    blockCounter_ = 0;
    EntityClass::init(module, cmdUPGRADE, index);
}

aErr UpdaterEntity::awaitReply(uint8_t subOperation, uint8_t* length, uint8_t* buffer)
{
    const uint8_t match[2] = {cmdUPGRADE, subOperation};
    *length = sizeof match;
    return receivePacket(match, length, buffer);
}

aErr UpdaterEntity::LoaderInit()
{
    const uint8_t request[1] = {val_UPGRADE_INIT};
    aErr err = sendPacket(cmdUPGRADE, sizeof request, request);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_INIT (%d)\n", err);
        return err;
    }
    uint8_t reply[kReplyCapacity];
    uint8_t length = 0;
    err = awaitReply(val_UPGRADE_INIT, &length, reply);
    if (err != aErrNone)
        return err;
    if (length < 6)
        return aErrPacket;
    const uint32_t base = aUEI_RetrieveInt(reply + 2);
    Log::log(DEBUG_Network_FIRM, "NETWORK: load base = %d [%08X]\n", static_cast<int>(base), base);
    return aErrNone;
}

aErr UpdaterEntity::TransferPrepare(const uint8_t* data, uint32_t length, uint8_t flags,
                                    uint16_t* blockSize)
{
    if (data == nullptr || length < 4 || blockSize == nullptr)
        return aErrParam;
    Log::log(DEBUG_Network_FIRM, "NETWORK: Prepare block (addr=%08X, len=%u, flags=%u)\n",
             sAddressWord(data), length, flags);
    const uint8_t request[6] = {val_UPGRADE_PREPARE, flags, data[0], data[1], data[2], data[3]};
    aErr err = sendPacket(cmdUPGRADE, sizeof request, request);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_PREPARE (%d)\n", err);
        return err;
    }
    uint8_t reply[kReplyCapacity];
    uint8_t replyLength = 0;
    err = awaitReply(val_UPGRADE_STATUS, &replyLength, reply);
    if (err != aErrNone)
        return err;
    // A status reply without its block size is as unusable as a refusal.
    if (replyLength < 5 || reply[2] != 0) {
        Log::log(DEBUG_Network_FIRM,
                 "NETWORK: Invalid or error reply when initializing loader for firmware.\n");
        return aErrInvalidOption;
    }
    *blockSize = aUEI_RetrieveShort(reply + 3);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated firmware init [%d block size]\n",
             *blockSize);
    return aErrNone;
}

aErr UpdaterEntity::sendDataBlock(const uint8_t* bytes, uint32_t count)
{
    uint32_t sum = 0;
    aErr err = aErrNone;

    if (useUEIData_) {
        uei block{};
        block.type = aUEI_BYTES;
        block.bytes = const_cast<uint8_t*>(bytes); // only read when sending
        block.bytesSize = count;
        err = setUEI(val_UPGRADE_DATA_UEI, &block);
        if (err != aErrNone) {
            Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA_UEI (%d)\n", err);
            return err;
        }
        for (uint32_t i = 0; i < count; ++i)
            sum += bytes[i];
        blockCounter_ = 1;
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d bytes \n", static_cast<int>(count));
    } else {
        uint32_t done = 0;
        uint32_t sends = 0; // of the current chunk
        while (done < count && err == aErrNone) {
            const uint32_t chunk = std::min(count - done, UPGRADE_DATA_CHUNK);
            uint8_t request[1 + UPGRADE_DATA_CHUNK];
            request[0] = val_UPGRADE_DATA;
            std::copy(bytes + done, bytes + done + chunk, request + 1);
            err = sendPacket(cmdUPGRADE, static_cast<uint8_t>(chunk + 1), request);
            if (err != aErrNone) {
                Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA (%d)\n", err);
                return err;
            }
            ++sends;
            uint8_t reply[kReplyCapacity];
            uint8_t length = 0;
            if (awaitReply(val_UPGRADE_DATA, &length, reply) != aErrNone) {
                Log::log(DEBUG_Network_FIRM,
                         "\nNETWORK(DATA): No reply when initializing upgrade.\n");
                err = aErrPacket;
                break;
            }
            const int accepted = length >= 3 ? reply[2] : -1;
            if (accepted != static_cast<int>(chunk)) {
                Log::log(DEBUG_Network_FIRM,
                         "\nNETWORK: Invalid upgrade transfer response [%d != %d].\n", accepted,
                         static_cast<int>(chunk));
                // The module keeps refusing this chunk: give the block up
                // rather than send it for ever.
                if (sends >= UPGRADE_DATA_MAX_SENDS) {
                    Log::log(DEBUG_Network_FIRM,
                             "\nNETWORK: Chunk refused %u times, giving up the block.\n", sends);
                    err = aErrPacket;
                }
                continue;
            }
            for (uint32_t i = 0; i < chunk; ++i)
                sum += bytes[done + i];
            done += chunk;
            sends = 0;
            ++blockCounter_;
            Log::log(DEBUG_Network_FIRM,
                     "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n",
                     static_cast<int>(chunk), static_cast<int>(count - done),
                     static_cast<int>(count));
        }
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: transferred %d of %d bytes\n",
                 static_cast<int>(done), static_cast<int>(count));
    }

    if (err != aErrNone || !validate_)
        return err;

    const uint8_t request[1] = {val_UPGRADE_SUM};
    (void)sendPacket(cmdUPGRADE, sizeof request, request);
    uint8_t reply[kReplyCapacity];
    uint8_t length = 0;
    if (awaitReply(val_UPGRADE_STATUS, &length, reply) != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK(STATUS): No reply when initializing upgrade.\n");
        return aErrPacket;
    }
    const uint8_t status = length >= 3 ? reply[2] : 0xFF;
    const uint32_t moduleSum = length >= 7 ? aUEI_RetrieveInt(reply + 3) : ~sum;
    if (status == 0 && moduleSum == sum) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: Validate transfer [%02X] [%08X == %08X][%d blocks].\n",
                 status, sum, moduleSum, static_cast<int>(blockCounter_));
        return aErrNone;
    }
    Log::log(0, "\nNETWORK: Unable to validate transfer [%02X] [%08X != %08X].\n", status, sum,
             moduleSum);
    return aErrInvalidOption;
}

aErr UpdaterEntity::LoaderTransfer(const uint8_t* data, uint32_t length)
{
    if (data == nullptr || length < 4)
        return aErrParam;
    blockCounter_ = 0;
    return sendDataBlock(data + 4, length - 4);
}

aErr UpdaterEntity::FirmwareTransfer(const uint8_t* data, uint32_t length, uint16_t blockSize,
                                     UpdaterDisplayInterface& display)
{
    if (data == nullptr || length < 4)
        return aErrParam;
    const uint8_t* image = data + 4;
    const uint32_t total = length - 4;
    Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Transfer (addr=%08X, len=%d)\n",
             sAddressWord(data), static_cast<int>(total));
    Log::timestamped = false;
    display.display_progress(true);

    blockCounter_ = 0;
    uint32_t remaining = total;
    aErr err = aErrNone;
    if (blockSize == 0 && remaining > 0) {
        // Pieces of no bytes would never finish the block.
        Log::log(DEBUG_Network_FIRM, "NETWORK: Module announced a block size of 0.\n");
        err = aErrSize;
    }
    while (remaining > 0 && err == aErrNone) {
        const uint32_t piece = std::min<uint32_t>(remaining, blockSize);
        err = sendDataBlock(image + (total - remaining), piece);
        if (err != aErrNone)
            break;
        remaining -= piece;
        ++blockCounter_;
        display.update_progress(static_cast<double>(total - remaining) / total, nullptr);
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n",
                 static_cast<int>(piece), static_cast<int>(remaining), static_cast<int>(total));
        err = FirmwareWrite(static_cast<uint16_t>(piece));
    }

    display.display_progress(false);
    Log::log(DEBUG_Network_FIRM, "NETWORK: transferred %d of %d bytes\n",
             static_cast<int>(total - remaining), static_cast<int>(total));
    if (err != aErrNone)
        Log::log(0, "NETWORK: Failed to transfer firmware\n");
    return err;
}

aErr UpdaterEntity::FirmwareWrite(uint16_t count)
{
    const uint8_t request[3] = {val_UPGRADE_WRITE, static_cast<uint8_t>(count >> 8),
                                static_cast<uint8_t>(count & 0xFF)};
    aErr err = sendPacket(cmdUPGRADE, sizeof request, request);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_WRITE (%d, %s)\n", err,
                 aError_GetErrorText(err));
        return err;
    }
    uint8_t reply[kReplyCapacity];
    uint8_t length = 0;
    err = awaitReply(val_UPGRADE_STATUS, &length, reply);
    if (err != aErrNone || length < 3 || reply[2] != 0) {
        Log::log(DEBUG_Network_FIRM,
                 "NETWORK: invalid or error reply when loader writing firmware.\n\n");
        return aErrInvalidOption;
    }
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated write\n\n");
    return aErrNone;
}

aErr UpdaterEntity::reconnect(uint32_t delayMs)
{
    if (module_ == nullptr)
        return aErrResource;
    module_->disconnect();
    aErr err = aErrConnection;
    for (uint32_t attempt = 1; attempt <= UPGRADE_RECONNECT_ATTEMPTS; ++attempt) {
        Log::log(DEBUG_Network, "NETWORK: Attempting to reconnect. Attempt: %u of %u\n", attempt,
                 UPGRADE_RECONNECT_ATTEMPTS);
        err = module_->reconnect();
        if (err == aErrNone) {
            Log::log(DEBUG_Network, "NETWORK: Reconnected to device\n");
            return aErrNone;
        }
        Log::log(DEBUG_Network, "NETWORK: Couldn't reconnect to device delaying: %u ms\n", delayMs);
        aTime_MSSleep(delayMs);
    }
    return err;
}

aErr UpdaterEntity::LoaderStart()
{
    const uint8_t request[1] = {val_UPGRADE_LOAD};
    aErr err = sendPacket(cmdUPGRADE, sizeof request, request);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_LOAD (%d)\n", err);
        return err;
    }
    uint8_t reply[kReplyCapacity];
    uint8_t length = 0;
    if (awaitReply(val_UPGRADE_LOAD, &length, reply) == aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start\n");
        return aErrNone;
    }
    err = reconnect(UPGRADE_RECONNECT_DELAY_MS);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader. [%d, %s]\n",
                 err, aError_GetErrorText(err));
        return aErrTimeout;
    }
    err = awaitReply(val_UPGRADE_LOAD, &length, reply);
    if (err == aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start (Reconnect)\n");
        return aErrNone;
    }
    Log::log(DEBUG_Network_FIRM,
             "NETWORK: Invalid or reply when starting loader (Reconnect). [%d, %s]\n", err,
             aError_GetErrorText(err));
    return aErrTimeout;
}

aErr UpdaterEntity::LoaderReboot(UpdaterDisplayInterface& display)
{
    const uint8_t request[1] = {val_UPGRADE_REBOOT};
    const aErr err = sendPacket(cmdUPGRADE, sizeof request, request);
    if (err != aErrNone)
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending Loader REBOOT\n");
    // A module that keeps its link up after REBOOT must not hold the flow
    // for ever: the wait is bounded.
    uint32_t polls = 0;
    while (module_ != nullptr && module_->isConnected()) {
        if (polls++ >= kRebootPolls) {
            Log::log(DEBUG_Network_FIRM, "NETWORK: Link still up %u ms after REBOOT.\n",
                     kRebootPolls * kRebootPollMs);
            break;
        }
        aTime_MSSleep(kRebootPollMs);
        display.update_spinner(true, kVerifyingLabel);
        Log::log(DEBUG_Network_FIRM, "Waiting for link to drop.\n");
        Log::log(DEBUG_Network_FIRM, "Rebooting Device\n");
        if (noWait_)
            break;
    }
    display.update_spinner(false, kVerifyingLabel);
    return err;
}

aErr UpdaterEntity::CheckUEIDataSupport()
{
    if (module_ == nullptr)
        return aErrResource;
    const aErr err = module_->hasUEI(cmdUPGRADE, val_UPGRADE_DATA_UEI, 0, aUEI_OPTION_SET);
    Log::log(DEBUG_Network_FIRM, "NETWORK: CheckUEIDataSupport: Error: %d\n", err);
    if (err == aErrNone)
        useUEIData_ = true;
    return err;
}

aErr UpdaterEntity::CheckPooledPacketsSupport()
{
    if (module_ == nullptr)
        return aErrResource;
    SystemClass system;
    system.init(module_, 0);
    uint32_t features = 0;
    const aErr err = system.getProtocolFeatures(&features);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Protocol Version: %d Error: %d\n",
             static_cast<int>(features), err);
    if (err != aErrNone)
        return err;
    if ((features & UPGRADE_FEATURE_POOLED_PACKETS) == 0)
        return aErrNone;
    Link* link = module_->getLink();
    if (link == nullptr)
        return aErrConnection;
    return link->enablePooledPackets(true);
}
