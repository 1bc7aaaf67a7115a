// UEI payloads as a module reads and writes them: error codes the module
// reports, the option and specifier bits, reply builders (value, error,
// byte-block chunks), and UeiEntity, the base of every simulated entity
// class that is driven by a table of options.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim/CommandHandler.h"
#include "sim/ModuleError.h"

namespace modsim {

constexpr uint8_t kOptSet = 0x80;
constexpr uint8_t kOptGet = 0x40;
constexpr uint8_t kSpecRequest = 0x20;
constexpr uint8_t kSpecStream = 0x40;
constexpr uint8_t kSpecError = 0x80;
constexpr size_t kBlockChunk = 24;

// True for command bytes whose payloads are not UEI (link and system commands).
bool isNonUeiCommand(uint8_t command);

enum class ValueKind { Void, Byte, Short, Int, Bytes };

struct UeiValue {
    ValueKind kind = ValueKind::Void;
    uint32_t number = 0;        // Byte, Short, Int
    std::vector<uint8_t> bytes; // Bytes
};

// Reply to a get (plain option) or a set (option | 0xC0) with a value.
Packet ueiReply(uint8_t address, uint8_t command, uint8_t optionByte, uint8_t index,
                const UeiValue& v);
// Error reply: specifier = index | 0x80, data byte 3 = the error code.
Packet ueiError(uint8_t address, uint8_t command, uint8_t optionByte, uint8_t index, uint8_t error);
// A byte block as a run of chunk packets (24 bytes each, trailer: bit 7 more,
// bits 0-6 sequence). An empty block is one packet with no chunk bytes.
std::vector<Packet> ueiBlock(uint8_t address, uint8_t command, uint8_t optionByte, uint8_t index,
                             const std::vector<uint8_t>& block);

// An entity class whose options are described by kind and access. Handles
// request parsing, sub-indexed forms, byte-block reassembly and the replies;
// derived classes supply the values.
class UeiEntity : public CommandHandler {
public:
    struct Option {
        ValueKind kind;
        bool canGet;
        bool canSet;
    };

    UeiEntity(uint8_t command, uint8_t indexCount) : command_(command), indexCount_(indexCount) {}
    uint8_t command() const override { return command_; }
    void handle(const Packet& in, ModuleModel& module, std::vector<Packet>& out) override;
    void connectionReset() override { blocks_.clear(); }
    uint8_t hasUei(uint8_t option, uint8_t index, uint8_t flags) const override;
    uint8_t entityCount() const override { return indexCount_; }

protected:
    void defineOption(uint8_t option, ValueKind kind, bool canGet, bool canSet) {
        options_[option] = Option{kind, canGet, canSet};
    }
    // Return a module error code (kErrNone on success).
    virtual uint8_t getValue(ModuleModel& module, uint8_t option, uint8_t index,
                             std::optional<uint8_t> sub, UeiValue& out) = 0;
    virtual uint8_t setValue(ModuleModel& module, uint8_t option, uint8_t index,
                             std::optional<uint8_t> sub, const UeiValue& in) = 0;

private:
    struct PartialBlock {
        uint8_t nextSeq = 0;
        std::vector<uint8_t> bytes;
    };
    void handleBlockChunk(const Packet& in, ModuleModel& module, uint8_t option, uint8_t index,
                          std::vector<Packet>& out);

    uint8_t command_;
    uint8_t indexCount_;
    std::map<uint8_t, Option> options_;
    std::map<std::pair<uint8_t, uint8_t>, PartialBlock> blocks_; // (option, index)
};

} // namespace modsim
