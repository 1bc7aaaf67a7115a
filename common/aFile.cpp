// Files through a validated handle over the C library's buffered streams.
#include "common/aFile.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool sPathAcceptable(const char* path)
{
    return path != nullptr && path[0] != '\0' && std::strlen(path) <= aFILE_MAX_PATH;
}

bool sCanRead(const aFile* file)
{
    return file->mode == aFileModeReadOnly || file->mode == aFileModeAppend;
}

bool sCanWrite(const aFile* file)
{
    return file->mode == aFileModeWriteOnly || file->mode == aFileModeAppend;
}

// A stream opened for update must see a positioning call between output and
// input; a no-op seek is one, and costs nothing in the other modes.
void sSwitchDirection(aFile* file)
{
    if (file->mode == aFileModeAppend)
        fseeko(file->stream, 0, SEEK_CUR);
}

} // namespace

aFile* aFile_Open(const char* path, int32_t mode)
{
    if (!sPathAcceptable(path))
        return nullptr;
    // "e": the descriptor is not inherited by programs started later.
    const char* how = nullptr;
    switch (mode) {
    case aFileModeReadOnly: how = "rbe"; break;
    case aFileModeWriteOnly: how = "wbe"; break;
    case aFileModeAppend: how = "ab+e"; break;
    default: return nullptr;
    }
    aFile* file = new (std::nothrow) aFile;
    if (file == nullptr)
        return nullptr;
    file->stream = std::fopen(path, how);
    if (file->stream == nullptr) {
        delete file;
        return nullptr;
    }
    // A directory opens for reading on this system but reads nothing.
    struct stat st;
    if (fstat(fileno(file->stream), &st) != 0 || S_ISDIR(st.st_mode)) {
        std::fclose(file->stream);
        delete file;
        return nullptr;
    }
    file->mode = mode;
    file->check = aFILE_CHECK;
    if (mode == aFileModeAppend && fseeko(file->stream, 0, SEEK_END) != 0) {
        std::fclose(file->stream);
        delete file;
        return nullptr;
    }
    return file;
}

aErr aFile_Close(aFile** file)
{
    if (file == nullptr)
        return aErrParam;
    aFile* f = *file;
    *file = nullptr;
    if (!aVALIDFILE(f))
        return aErrParam;
    // fclose writes out what is still buffered; its failure means lost data.
    const int closed = std::fclose(f->stream);
    f->stream = nullptr;
    f->check = 0;
    delete f;
    return closed == 0 ? aErrNone : aErrIO;
}

bool aFile_Exists(const char* path)
{
    if (path == nullptr || std::strlen(path) > aFILE_MAX_PATH)
        return false;
    struct stat st;
    return stat(path, &st) == 0 && !S_ISDIR(st.st_mode);
}

aErr aFile_Read(aFile* file, void* buffer, size_t length, size_t* read)
{
    if (read)
        *read = 0;
    if (!aVALIDFILE(file) || buffer == nullptr)
        return aErrParam;
    if (!sCanRead(file))
        return aErrMode;
    sSwitchDirection(file);
    const size_t n = std::fread(buffer, 1, length, file->stream);
    if (read)
        *read = n;
    if (n == 0 && length != 0)
        return std::ferror(file->stream) ? aErrIO : aErrEOF;
    return aErrNone;
}

aErr aFile_Write(aFile* file, const void* data, size_t length, size_t* written)
{
    if (written)
        *written = 0;
    if (!aVALIDFILE(file) || data == nullptr)
        return aErrParam;
    if (!sCanWrite(file))
        return aErrMode;
    sSwitchDirection(file);
    const size_t n = std::fwrite(data, 1, length, file->stream);
    if (written)
        *written = n;
    // A short write only happens on an error (a full disk, say).
    return n == length ? aErrNone : aErrIO;
}

aErr aFile_GetPosition(aFile* file, uint64_t* position)
{
    if (!aVALIDFILE(file))
        return aErrParam;
    const off_t at = ftello(file->stream);
    if (at < 0)
        return aErrIO;
    if (position)
        *position = static_cast<uint64_t>(at);
    return aErrNone;
}

aErr aFile_GetSize(aFile* file, uint64_t* size)
{
    if (!aVALIDFILE(file) || size == nullptr)
        return aErrParam;
    const off_t at = ftello(file->stream);
    if (at < 0)
        return aErrIO;
    if (fseeko(file->stream, 0, SEEK_END) != 0)
        return aErrIO;
    const off_t end = ftello(file->stream);
    *size = end < 0 ? 0 : static_cast<uint64_t>(end);
    const bool back = fseeko(file->stream, at, SEEK_SET) == 0;
    return end >= 0 && back ? aErrNone : aErrIO;
}

aErr aFile_Seek(aFile* file, int64_t offset, int origin)
{
    if (!aVALIDFILE(file))
        return aErrParam;
    const off_t at = ftello(file->stream);
    if (at < 0)
        return aErrIO;
    uint64_t size = 0;
    if (aFile_GetSize(file, &size) != aErrNone)
        return aErrIO;
    int64_t base = 0;
    if (origin == aSeekCurrent)
        base = at;
    else if (origin == aSeekEnd)
        base = static_cast<int64_t>(size);
    // Reject targets outside 0..size, without overflowing on the way.
    if ((offset < 0 && offset < -base) || (offset > 0 && offset > static_cast<int64_t>(size) - base))
        return aErrRange;
    const int64_t target = base + offset;
    if (fseeko(file->stream, static_cast<off_t>(target), SEEK_SET) != 0)
        return aErrIO;
    return ftello(file->stream) < 0 ? aErrIO : aErrNone;
}

aErr aFile_Delete(const char* path)
{
    if (path == nullptr)
        return aErrParam;
    if (std::strlen(path) > aFILE_MAX_PATH)
        return aErrFileNameLength;
    if (unlink(path) == 0)
        return aErrNone;
    switch (errno) {
    case ENOENT: return aErrNotFound;
    case EACCES:
    case EPERM: return aErrPermission;
    default: return aErrIO;
    }
}

aErr aFile_ReadLine(aFile* file, char* buffer, size_t size, size_t* length)
{
    if (length)
        *length = 0;
    if (buffer != nullptr && size != 0)
        buffer[0] = '\0';
    if (!aVALIDFILE(file) || buffer == nullptr || size < 2)
        return aErrParam;
    if (!sCanRead(file))
        return aErrMode;
    sSwitchDirection(file);

    size_t n = 0;
    int c = EOF;
    while (n < size - 1 && (c = std::getc(file->stream)) != EOF) {
        buffer[n++] = static_cast<char>(c);
        if (c == '\n')
            break;
    }
    buffer[n] = '\0';
    if (length)
        *length = n;
    if (n == 0)
        return std::ferror(file->stream) ? aErrIO : aErrEOF;
    if (n == size - 1 && buffer[n - 1] != '\n') {
        // The buffer is full without a newline. When the file ends right
        // here the line did fit; otherwise the rest is the next call's.
        c = std::getc(file->stream);
        if (c == EOF && !std::ferror(file->stream))
            return aErrNone;
        if (c != EOF)
            std::ungetc(c, file->stream);
        return aErrOverrun;
    }
    return aErrNone;
}

aErr aFile_SetUnbuffered(aFile* file)
{
    if (!aVALIDFILE(file))
        return aErrParam;
    if (!sCanWrite(file))
        return aErrMode;
    return std::setvbuf(file->stream, nullptr, _IONBF, 0) == 0 ? aErrNone : aErrMode;
}

aErr aFile_Printf(aFile* file, const char* format, ...)
{
    if (!aVALIDFILE(file) || format == nullptr)
        return aErrParam;
    if (!sCanWrite(file))
        return aErrMode;
    sSwitchDirection(file);
    va_list args;
    va_start(args, format);
    const int result = std::vfprintf(file->stream, format, args);
    va_end(args);
    return result < 0 ? aErrIO : aErrNone;
}
