// CommandsClass: the set of commands a command line asked for, one bit per
// command. Filled by the option parsing, read by the command dispatch.
#pragma once

#include <cstdint>

enum COMMANDS : uint32_t {
    CMD_DISCOVER = 0x1,
    CMD_UPDATE = 0x2,
    CMD_LIST_BUILDS = 0x4,
    CMD_GET_BUILD = 0x8,
    CMD_INFO = 0x10,
    CMD_CHECK_BIRD = 0x20,
    CMD_FINGERPRINT = 0x40,
    CMD_Z = 0x80,
    CMD_GET_JWT = 0x100,
    CMD_LIST_LOCAL_BUILDS = 0x200,
    CMD_HELP = 0x80000000,
};

// Every bit that counts as a command for deciding whether anything is to be done.
constexpr uint32_t CMD_ANY_COMMAND = 0x307FF;

class CommandsClass {
  public:
    void Set(uint32_t command) { bits |= command; }
    // True when any bit of command is set.
    bool IsSet(uint32_t command) const { return (bits & command) != 0; }
    uint32_t Bits() const { return bits; }

  private:
    uint32_t bits = 0;
};
