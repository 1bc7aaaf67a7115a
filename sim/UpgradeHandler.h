// UpgradeHandler: the module side of the firmware upgrade conversation
// (command 95). The running firmware takes the loader into RAM (INIT,
// PREPARE, DATA, SUM) and restarts into it on LOAD; the loader takes firmware
// pieces (PREPARE, DATA or option 10 byte blocks, SUM), writes them into the
// module's flash (WRITE) and restarts into the new firmware on REBOOT. The
// faults of UpgradeConfig are injected here.
#pragma once

#include <memory>

#include "sim/Uei.h"

namespace modsim {

class UpgradeHandler final : public CommandHandler {
public:
    static constexpr uint8_t kCommand = 95;
    enum Sub : uint8_t {
        kInit = 0,
        kData = 1,
        kLoad = 2,
        kPrepare = 3,
        kSum = 4,
        kWrite = 5,
        kReboot = 6,
        kStatus = 7,
        kDataUei = 10,
    };
    static constexpr size_t kRamSize = 256 * 1024; // room for loader images

    UpgradeHandler();
    ~UpgradeHandler() override;
    uint8_t command() const override { return kCommand; }
    void handle(const Packet& in, ModuleModel& module, std::vector<Packet>& out) override;
    void connectionReset() override;
    uint8_t hasUei(uint8_t option, uint8_t index, uint8_t flags) const override;
    uint8_t entityCount() const override { return 1; }

    // A whole data block from an option 10 byte block; a module error code.
    uint8_t acceptBlock(ModuleModel& module, const std::vector<uint8_t>& bytes);

private:
    class DataOption;
    void status(ModuleModel& module, std::vector<Packet>& out, uint8_t code,
                const std::vector<uint8_t>& extra = {});
    size_t room(const ModuleModel& module) const;

    std::unique_ptr<DataOption> dataOption_;
    bool loaderMode_ = false; // mirror of the model's mode for hasUei
    bool ueiData_ = false;
    std::vector<uint8_t> ram_;   // loader image received by the running firmware
    std::vector<uint8_t> piece_; // bytes since PREPARE or the last WRITE
    uint32_t sum_ = 0;
    bool prepared_ = false;
    uint32_t writeAddress_ = 0;
    bool flashed_ = false; // the loader wrote into flash
    uint64_t dataChunks_ = 0;
    uint64_t sums_ = 0;
};

} // namespace modsim
