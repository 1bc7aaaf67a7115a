// ModuleError: the error codes a simulated module puts into its error replies
// and status answers (the device library's aErr numbering, restated here so
// that the simulator shares no code with the host side).
#pragma once

#include <cstdint>

namespace modsim {

enum ModuleError : uint8_t {
    kErrNone = 0,
    kErrMemory = 1,
    kErrParam = 2,
    kErrIO = 6,
    kErrMode = 7,
    kErrPermission = 12,
    kErrRange = 13,
    kErrSize = 14,
    kErrPacket = 24,
    kErrIndexRange = 26,
    kErrShortCommand = 27,
    kErrInvalidEntity = 28,
    kErrInvalidOption = 29,
};

} // namespace modsim
