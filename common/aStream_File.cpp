// File streams: a stream that reads a file byte by byte, and one that writes
// (truncating) a file. Used for tests, logs and anything that replays bytes.
#include "common/aStream.h"
#include "common/aFile.h"

namespace {

aErr sFileGet(uint8_t* byte, void* reference)
{
    aFile* file = static_cast<aFile*>(reference);
    if (!file)
        return aErrIO;
    size_t got = 0;
    const aErr err = aFile_Read(file, byte, 1, &got);
    if (err == aErrEOF || (err == aErrNone && got == 0))
        return aErrEOF;
    return err;
}

aErr sFileWrite(const uint8_t* data, size_t length, void* reference)
{
    aFile* file = static_cast<aFile*>(reference);
    if (!file)
        return aErrIO;
    size_t written = 0;
    const aErr err = aFile_Write(file, data, length, &written);
    if (err != aErrNone)
        return err;
    return written == length ? aErrNone : aErrWrite;
}

aErr sFilePut(const uint8_t* byte, void* reference)
{
    return sFileWrite(byte, 1, reference);
}

aErr sFileDelete(void* reference)
{
    aFile* file = static_cast<aFile*>(reference);
    if (!file)
        return aErrIO;
    return aFile_Close(&file);
}

aErr sCreate(const char* path, int32_t mode, bool input, aStream** out)
{
    if (!path || !out)
        return aErrParam;
    aFile* file = aFile_Open(path, mode);
    if (!file)
        return aErrResource;
    aStream* stream = input ? aStream_Create(sFileGet, nullptr, nullptr, sFileDelete, file)
                            : aStream_Create(nullptr, sFilePut, sFileWrite, sFileDelete, file);
    if (!stream) {
        aFile_Close(&file);
        return aErrResource;
    }
    *out = stream;
    return aErrNone;
}

} // namespace

aErr aStream_CreateFileInput(const char* path, aStream** out)
{
    return sCreate(path, aFileModeReadOnly, true, out);
}

aErr aStream_CreateFileOutput(const char* path, aStream** out)
{
    return sCreate(path, aFileModeWriteOnly, false, out);
}
