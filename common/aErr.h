// aErr: the error code returned by nearly every operation of the device
// library, with its name and description texts. Used by every layer; the
// updater prints the names in its messages.
#pragma once

#include <cstdint>

enum aErr : uint32_t {
    aErrNone = 0,
    aErrMemory = 1,
    aErrParam = 2,
    aErrNotFound = 3,
    aErrFileNameLength = 4,
    aErrBusy = 5,
    aErrIO = 6,
    aErrMode = 7,
    aErrWrite = 8,
    aErrRead = 9,
    aErrEOF = 10,
    aErrNotReady = 11,
    aErrPermission = 12,
    aErrRange = 13,
    aErrSize = 14,
    aErrOverrun = 15,
    aErrParse = 16,
    aErrConfiguration = 17,
    aErrTimeout = 18,
    aErrInitialization = 19,
    aErrVersion = 20,
    aErrUnimplemented = 21,
    aErrDuplicate = 22,
    aErrCancel = 23,
    aErrPacket = 24,
    aErrConnection = 25,
    aErrIndexRange = 26,
    aErrShortCommand = 27,
    aErrInvalidEntity = 28,
    aErrInvalidOption = 29,
    aErrResource = 30,
    aErrMedia = 31,
    aErrAsyncReturn = 32,
    aErrStreamStale = 33,
    aErrUnknown = 34,
};

// Number of rows in the name and description tables; codes above the last
// row are looked up as aErrUnknown.
constexpr uint32_t aErrTableSize = 35;

extern const char* const ERROR_TEXT[aErrTableSize];
extern const char* const ERROR_DESCRIPTION[aErrTableSize];

// The code's name, for example "aErrTimeout". Never null.
const char* aError_GetErrorText(aErr err);
// The code's description, for example "Timeout occurred". Never null.
const char* aError_GetErrorDescription(aErr err);
