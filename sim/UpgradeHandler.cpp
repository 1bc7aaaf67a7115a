// The module side of the firmware upgrade conversation.
#include "sim/UpgradeHandler.h"

#include <sstream>

#include "sim/ModuleModel.h"

namespace modsim {
namespace {

std::string hex32(uint32_t v) {
    std::ostringstream s;
    s << std::hex << std::uppercase << v;
    return s.str();
}

} // namespace

// Option 10 of the upgrade entity: a whole data block as one byte block.
class UpgradeHandler::DataOption final : public UeiEntity {
public:
    explicit DataOption(UpgradeHandler& owner) : UeiEntity(kCommand, 1), owner_(owner) {
        defineOption(kDataUei, ValueKind::Bytes, false, true);
    }

protected:
    uint8_t getValue(ModuleModel&, uint8_t, uint8_t, std::optional<uint8_t>, UeiValue&) override {
        return kErrPermission;
    }
    uint8_t setValue(ModuleModel& module, uint8_t, uint8_t, std::optional<uint8_t>,
                     const UeiValue& in) override {
        return owner_.acceptBlock(module, in.bytes);
    }

private:
    UpgradeHandler& owner_;
};

UpgradeHandler::UpgradeHandler() : dataOption_(std::make_unique<DataOption>(*this)) {}
UpgradeHandler::~UpgradeHandler() = default;

void UpgradeHandler::connectionReset() {
    dataOption_->connectionReset();
    piece_.clear();
    sum_ = 0;
    prepared_ = false;
}

uint8_t UpgradeHandler::hasUei(uint8_t option, uint8_t index, uint8_t flags) const {
    if (index != 0) return kErrIndexRange;
    if (option != kDataUei || !loaderMode_ || !ueiData_) return kErrInvalidOption;
    if (flags & kOptGet) return kErrPermission;
    return kErrNone;
}

size_t UpgradeHandler::room(const ModuleModel& module) const {
    if (module.inLoader()) {
        const size_t block = module.config().upgrade.blockSize;
        return piece_.size() < block ? block - piece_.size() : 0;
    }
    return ram_.size() < kRamSize ? kRamSize - ram_.size() : 0;
}

uint8_t UpgradeHandler::acceptBlock(ModuleModel& module, const std::vector<uint8_t>& bytes) {
    if (!module.inLoader() || !module.config().upgrade.ueiData) return kErrMode;
    if (!prepared_) return kErrMode;
    if (bytes.size() > room(module)) return kErrSize;
    piece_.insert(piece_.end(), bytes.begin(), bytes.end());
    for (uint8_t b : bytes)
        sum_ += b;
    module.note("upgrade data-block " + std::to_string(bytes.size()));
    return kErrNone;
}

void UpgradeHandler::status(ModuleModel& module, std::vector<Packet>& out, uint8_t code,
                            const std::vector<uint8_t>& extra) {
    std::vector<uint8_t> d = {kCommand, kStatus, code};
    d.insert(d.end(), extra.begin(), extra.end());
    out.push_back(Packet::make(module.address(), d.data(), d.size()));
}

void UpgradeHandler::handle(const Packet& in, ModuleModel& module, std::vector<Packet>& out) {
    const UpgradeConfig& cfg = module.config().upgrade;
    loaderMode_ = module.inLoader();
    ueiData_ = cfg.ueiData;
    if (in.size >= 3 && (in.data[1] & (kOptGet | kOptSet))) {
        // The UEI form: option 10 byte blocks (the loader only).
        dataOption_->handle(in, module, out);
        return;
    }
    const uint8_t a = module.address();
    const uint8_t* d = in.data.data();
    auto refuse = [&](const char* why) {
        module.note(std::string("reject upgrade-") + why + " " + in.text());
    };
    if (in.size < 2) return refuse("short");
    const bool loader = module.inLoader();
    switch (d[1]) {
    case kInit: {
        if (in.size != 2) return refuse("length");
        ram_.clear();
        piece_.clear();
        sum_ = 0;
        prepared_ = false;
        const uint32_t b = cfg.loadBase;
        const uint8_t r[6] = {kCommand,         kInit,           uint8_t(b >> 24),
                              uint8_t(b >> 16), uint8_t(b >> 8), uint8_t(b)};
        module.note("upgrade init");
        out.push_back(Packet::make(a, r, std::min<size_t>(cfg.initReplySize, sizeof r)));
        return;
    }
    case kPrepare: {
        if (in.size != 7) return refuse("length");
        const uint32_t address =
            uint32_t(d[3]) << 24 | uint32_t(d[4]) << 16 | uint32_t(d[5]) << 8 | d[6];
        const SimFlash& f = module.flash();
        const bool inFlash = address >= f.base() && address - f.base() < f.size();
        module.note("upgrade prepare " + hex32(address) + " flags " + std::to_string(d[2]) +
                    (loader && !inFlash ? " outside-flash" : ""));
        if (loader && !inFlash) return status(module, out, kErrRange);
        prepared_ = true;
        writeAddress_ = address;
        piece_.clear();
        sum_ = 0;
        const uint16_t bs = cfg.blockSize;
        return status(module, out, kErrNone, {uint8_t(bs >> 8), uint8_t(bs)});
    }
    case kData: {
        if (in.size < 3) return refuse("length");
        const size_t n = in.size - 2u;
        ++dataChunks_;
        if (cfg.dropAtData && dataChunks_ == cfg.dropAtData) {
            module.requestDrop();
            return;
        }
        uint8_t count = static_cast<uint8_t>(n);
        if (dataChunks_ <= cfg.shortData) {
            count = static_cast<uint8_t>(n > 6 ? n - 6 : 0);
            module.note("fault short-data " + std::to_string(count) + " of " + std::to_string(n));
        } else if (!prepared_ && loader) {
            module.note("upgrade data-unprepared");
            count = 0;
        } else if (n > room(module)) {
            module.note("upgrade data-full");
            count = 0;
        } else {
            piece_.insert(piece_.end(), d + 2, d + in.size);
            if (!loader) ram_.insert(ram_.end(), d + 2, d + in.size);
            for (size_t i = 2; i < in.size; ++i)
                sum_ += d[i];
        }
        out.push_back(Packet::make(a, {kCommand, kData, count}));
        return;
    }
    case kSum: {
        if (in.size != 2) return refuse("length");
        uint32_t s = sum_;
        if (++sums_ <= cfg.badSum) {
            s ^= 0x00010000;
            module.note("fault bad-sum");
        }
        module.note("upgrade sum " + std::to_string(piece_.size()) + " " + hex32(s));
        return status(module, out, kErrNone,
                      {uint8_t(s >> 24), uint8_t(s >> 16), uint8_t(s >> 8), uint8_t(s)});
    }
    case kWrite: {
        if (in.size != 4) return refuse("length");
        const size_t count = size_t(d[2]) << 8 | d[3];
        if (!loader) {
            module.note("upgrade write-refused not-in-loader");
            return status(module, out, kErrMode);
        }
        if (!prepared_ || count != piece_.size()) {
            module.note("upgrade write-refused count " + std::to_string(count) + " have " +
                        std::to_string(piece_.size()));
            piece_.clear();
            sum_ = 0;
            return status(module, out, kErrSize);
        }
        if (!module.flash().write(writeAddress_, piece_.data(), piece_.size())) {
            module.note("upgrade write-refused outside-flash " + hex32(writeAddress_));
            piece_.clear();
            sum_ = 0;
            return status(module, out, kErrRange);
        }
        module.note("upgrade write " + hex32(writeAddress_) + " " + std::to_string(count));
        writeAddress_ += static_cast<uint32_t>(count);
        piece_.clear();
        sum_ = 0;
        flashed_ = true;
        return status(module, out, kErrNone);
    }
    case kLoad: {
        if (in.size != 2) return refuse("length");
        if (loader) { // already running the loader
            out.push_back(Packet::make(a, {kCommand, kLoad}));
            return;
        }
        if (ram_.empty()) return refuse("load-without-loader");
        module.note("upgrade load " + std::to_string(ram_.size()));
        if (!cfg.noLoadReply)
            out.push_back(Packet::make(a, {kCommand, kLoad}));
        else
            module.note("fault no-load-reply");
        ram_.clear();
        flashed_ = false;
        module.setInLoader(true);
        loaderMode_ = true;
        module.requestRestart("load", cfg.neverReturn != NeverReturn::AfterLoad);
        return;
    }
    case kReboot: {
        if (in.size != 2) return refuse("length");
        if (loader && flashed_) {
            const ModuleConfig& c = module.config();
            module.setFirmwareIdentity(cfg.newBuild ? cfg.newBuild : c.build,
                                       cfg.newVersion ? cfg.newVersion : c.version);
            module.note("upgrade new-firmware build " + std::to_string(module.config().build));
            if (!cfg.flashDump.empty()) {
                try {
                    module.flash().dump(cfg.flashDump);
                    module.note("flash-dump " + cfg.flashDump);
                } catch (const std::exception& e) {
                    module.note(std::string("flash-dump-failed ") + e.what());
                }
            }
        }
        flashed_ = false;
        module.setInLoader(false);
        loaderMode_ = false;
        module.requestRestart("reboot", cfg.neverReturn != NeverReturn::AfterReboot);
        return;
    }
    default:
        module.note("unhandled " + in.text());
    }
}

} // namespace modsim
