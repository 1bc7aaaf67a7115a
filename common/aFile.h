// aFile: files through a validated handle (open modes read, write, append),
// with reads, writes, seeks, line reads and formatted output. Used by BIRD
// files, settings files, the store, file streams and the packet log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "common/aErr.h"

constexpr uint32_t aFILE_CHECK = 0xFEED;   // validity tag of an open handle
constexpr size_t aFILE_MAX_PATH = 4096;    // longest accepted path

// Open modes.
constexpr int32_t aFileModeReadOnly = 0;   // existing file, reads only
constexpr int32_t aFileModeWriteOnly = 1;  // create or truncate, writes only
constexpr int32_t aFileModeAppend = 2;     // create if missing, read and write at the end
constexpr int32_t aFileModeUnknown = 3;    // always refused

// Seek origins.
constexpr int aSeekStart = 0;
constexpr int aSeekCurrent = 1;
constexpr int aSeekEnd = 2;

struct aFile {
    FILE* stream;    // owned by the handle
    int32_t mode;    // the open mode
    uint32_t check;  // aFILE_CHECK while open
};

inline bool aVALIDFILE(const aFile* file)
{
    return file != nullptr && file->check == aFILE_CHECK;
}

// A new handle, or null on any failure.
aFile* aFile_Open(const char* path, int32_t mode);
// Closes and frees the handle; the caller's handle is cleared in every case.
aErr aFile_Close(aFile** file);
// True for an existing path that is not a directory.
bool aFile_Exists(const char* path);
aErr aFile_Read(aFile* file, void* buffer, size_t length, size_t* read);
aErr aFile_Write(aFile* file, const void* data, size_t length, size_t* written);
aErr aFile_Seek(aFile* file, int64_t offset, int origin);
aErr aFile_GetSize(aFile* file, uint64_t* size);
aErr aFile_GetPosition(aFile* file, uint64_t* position);
aErr aFile_Delete(const char* path);
// Reads one line, newline included, into buffer (terminated).
aErr aFile_ReadLine(aFile* file, char* buffer, size_t size, size_t* length);
aErr aFile_SetUnbuffered(aFile* file);
aErr aFile_Printf(aFile* file, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
