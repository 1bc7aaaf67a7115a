// UpdaterEntity: the module side of a firmware update seen from the host. It
// speaks the upgrade conversation (entity command 95) with one module: start
// the upgrade, announce blocks, send data (DATA packets or one UEI byte block),
// check byte sums, start the loader, write firmware pieces to flash and
// reboot. The update flow (Updater_Update.cpp) drives it, one entity per
// transfer step.
#pragma once

#include <cstdint>

#include "common/aErr.h"
#include "device_api/EntityClass.h"

namespace Veltrane::Corvantis {
class Module;
}
class UpdaterDisplayInterface;

// The upgrade conversation: its command byte and sub-operations.
constexpr uint8_t cmdUPGRADE = 95;
constexpr uint8_t val_UPGRADE_INIT = 0;
constexpr uint8_t val_UPGRADE_DATA = 1;
constexpr uint8_t val_UPGRADE_LOAD = 2;
constexpr uint8_t val_UPGRADE_PREPARE = 3;
constexpr uint8_t val_UPGRADE_SUM = 4;
constexpr uint8_t val_UPGRADE_WRITE = 5;
constexpr uint8_t val_UPGRADE_REBOOT = 6;
constexpr uint8_t val_UPGRADE_STATUS = 7;
// UEI option through which a whole data block is set as one byte block.
constexpr uint8_t val_UPGRADE_DATA_UEI = 10;

// Most data bytes one DATA packet carries (28 packet data bytes less 5F 01).
constexpr uint32_t UPGRADE_DATA_CHUNK = 26;
// How often one DATA chunk is sent while the module keeps acknowledging a
// different count; the block fails after that.
constexpr uint32_t UPGRADE_DATA_MAX_SENDS = 8;
// Reconnect attempts after the loader starts, and the pause between them.
constexpr uint32_t UPGRADE_RECONNECT_ATTEMPTS = 5;
constexpr uint32_t UPGRADE_RECONNECT_DELAY_MS = 500;
// Protocol feature bit: the module takes pooled packet writes.
constexpr uint32_t UPGRADE_FEATURE_POOLED_PACKETS = 0x80000000u;

class UpdaterEntity : public Veltrane::Corvantis::EntityClass {
  public:
    UpdaterEntity() = default;
    ~UpdaterEntity() override = default;

    // Binds the entity to the module (command 95, given index) and stores the
    // flags; the UEI data path is off until CheckUEIDataSupport succeeds.
    void init(Veltrane::Corvantis::Module* module, uint8_t index, bool validate = true,
              bool noWait = false);

    // INIT: the module answers with its load base.
    aErr LoaderInit();
    // PREPARE for one BIRD image block (address word first, length bytes in
    // all); blockSize receives the module's block size.
    aErr TransferPrepare(const uint8_t* data, uint32_t length, uint8_t flags, uint16_t* blockSize);
    // Sends the image after the address word as one data block.
    aErr LoaderTransfer(const uint8_t* data, uint32_t length);
    // LOAD, reconnecting when the module drops the link to restart.
    aErr LoaderStart();
    // Sends the image after the address word in pieces of blockSize bytes,
    // each followed by WRITE, with the progress shown on the display.
    aErr FirmwareTransfer(const uint8_t* data, uint32_t length, uint16_t blockSize,
                          UpdaterDisplayInterface& display);
    aErr FirmwareWrite(uint16_t count);
    // REBOOT, then waits for the link to drop (once only with no-wait).
    aErr LoaderReboot(UpdaterDisplayInterface& display);
    aErr CheckUEIDataSupport();
    aErr CheckPooledPacketsSupport();

    bool UsesUEIData() const { return useUEIData_; }
    // Packets (or UEI blocks) the last data block took.
    uint32_t BlockCounter() const { return blockCounter_; }

  private:
    // One data block: DATA packets (or one UEI byte block), then SUM.
    aErr sendDataBlock(const uint8_t* bytes, uint32_t count);
    aErr awaitReply(uint8_t subOperation, uint8_t* length, uint8_t* buffer);
    aErr reconnect(uint32_t delayMs);

    Veltrane::Corvantis::Module* module_ = nullptr;
    bool validate_ = true;
    bool noWait_ = false;
    bool useUEIData_ = false;
    uint32_t blockCounter_ = 0;
};
