// Directories on a POSIX system: tests, creation with parents, listing,
// tree deletion, path building and the well-known directories.
#include "common/aDirectory.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <functional>
#include <new>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

bool sIsDir(const char* path)
{
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// Creates one directory; an existing directory counts as success.
bool sMakeOne(const std::string& path, uint16_t mode)
{
    if (mkdir(path.c_str(), mode) == 0)
        return true;
    return errno == EEXIST && sIsDir(path.c_str());
}

// Whether p points into the size bytes at buffer.
bool sInside(const char* p, const char* buffer, size_t size)
{
    std::less_equal<const char*> le;
    std::less<const char*> lt;
    return le(buffer, p) && lt(p, buffer + size);
}

aErr sBuildPath(char* buffer, size_t size, const char* first, const char* const* parts, int count)
{
    if (buffer == nullptr || size == 0 || first == nullptr || sInside(first, buffer, size))
        return aErrParam;
    for (int i = 0; i < count; ++i) {
        if (sInside(parts[i], buffer, size))
            return aErrParam;
    }
    buffer[0] = '\0';
    if (count > aDIR_MAX_PATH_PARTS - 1)
        return aErrParam;

    size_t length = std::strlen(first);
    if (length + 1 >= size)
        return aErrOverrun;
    std::memcpy(buffer, first, length + 1);

    for (int i = 0; i < count; ++i) {
        const char* part = parts[i];
        const size_t partLength = std::strlen(part);
        size_t room = size - length - 1;
        // An empty first part contributes nothing: no separator goes in front
        // of the second, so a relative path stays relative.
        const bool separator = room > 1 && length > 0 && buffer[length - 1] != aDIR_PATH_SEP_CHAR
                            && part[0] != aDIR_PATH_SEP_CHAR;
        if (separator)
            --room;
        if (partLength >= room)
            return aErrOverrun;
        if (separator)
            buffer[length++] = aDIR_PATH_SEP_CHAR;
        std::memcpy(buffer + length, part, partLength + 1);
        length += partLength;
    }
    return aErrNone;
}

} // namespace

bool aDirectory_Exists(const char* path)
{
    return path != nullptr && sIsDir(path);
}

static aErr sEnsure(const char* path, uint16_t mode)
{
    if (path == nullptr || path[0] == '\0')
        return aErrParam;
    if (sIsDir(path))
        return aErrNone;

    const std::string full(path);
    // Walk up to the deepest directory that already exists; creation starts
    // below it, or at the start of the path when there is none.
    size_t existing = std::string::npos;
    for (size_t cut = full.rfind(aDIR_PATH_SEP_CHAR); cut != std::string::npos && cut > 0;
         cut = full.rfind(aDIR_PATH_SEP_CHAR, cut - 1)) {
        if (sIsDir(full.substr(0, cut).c_str())) {
            existing = cut;
            break;
        }
    }

    aErr result = aErrNone;
    const size_t from = existing == std::string::npos ? 0 : existing + 1;
    for (size_t sep = full.find(aDIR_PATH_SEP_CHAR, from); sep != std::string::npos;
         sep = full.find(aDIR_PATH_SEP_CHAR, sep + 1)) {
        // An empty component (leading or doubled separator) is passed over.
        if (sep == 0 || full[sep - 1] == aDIR_PATH_SEP_CHAR)
            continue;
        if (!sMakeOne(full.substr(0, sep), mode))
            result = aErrPermission;
    }
    if (!sMakeOne(full, mode))
        result = aErrPermission;
    return result;
}

aErr aDirectory_Ensure(const char* path, uint16_t mode)
{
    try {
        return sEnsure(path, mode);
    } catch (const std::bad_alloc&) {
        return aErrMemory;
    }
}

aErr aDirectory_List(const char* path, aDirectoryListProc proc, void* ref)
{
    if (path == nullptr || proc == nullptr)
        return aErrParam;
    DIR* dir = opendir(path);
    if (dir == nullptr)
        return aErrNotFound;
    char entryPath[aDIR_ENTRY_PATH_SIZE];
    for (struct dirent* entry = readdir(dir); entry != nullptr; entry = readdir(dir)) {
        if (aDirectory_JoinPath(entryPath, sizeof entryPath, path, entry->d_name) != aErrNone)
            continue;
        struct stat st;
        if (stat(entryPath, &st) != 0)
            continue;
        const aDirectoryListData data = {
            entryPath,
            static_cast<uint32_t>(st.st_size),
            S_ISDIR(st.st_mode) ? 1 : 0,
        };
        if (!proc(&data, ref))
            break;
    }
    closedir(dir);
    return aErrNone;
}

aErr aDirectory_Delete(const char* path)
{
    if (path == nullptr)
        return aErrParam;
    return rmdir(path) == 0 ? aErrNone : aErrUnknown;
}

aErr aDirectory_DeleteTree(const char* path)
{
    if (path == nullptr)
        return aErrParam;
    DIR* dir = opendir(path);
    if (dir == nullptr)
        return aErrNotFound;
    aErr err = aErrNone;
    char entryPath[aDIR_ENTRY_PATH_SIZE];
    for (struct dirent* entry = readdir(dir); err == aErrNone && entry != nullptr; entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        if (aDirectory_JoinPath(entryPath, sizeof entryPath, path, entry->d_name) != aErrNone) {
            std::fprintf(stderr, "aDirectory_DeleteTree: path too long below [%s]\n", path);
            err = aErrUnknown;
            break;
        }
        // A symbolic link is removed, never followed: what it points to is
        // not part of this tree.
        struct stat st;
        if (lstat(entryPath, &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            err = aDirectory_DeleteTree(entryPath);
        } else if (unlink(entryPath) != 0) {
            std::perror("aDirectory_DeleteTree");
            std::fprintf(stderr, "---error unlink-ing file [%s]\n", entryPath);
            err = aErrUnknown;
        }
    }
    closedir(dir);
    const aErr removed = aDirectory_Delete(path);
    return err != aErrNone ? aErrUnknown : removed;
}

aErr aDirectory_CWD(char* buffer, size_t size)
{
    if (buffer == nullptr || size == 0)
        return aErrParam;
    return getcwd(buffer, size) != nullptr ? aErrNone : aErrParam;
}

aErr aDirectory_ExecutableFilePath(char* buffer, size_t size)
{
    if (buffer == nullptr || size == 0)
        return aErrParam;
    const ssize_t n = readlink("/proc/self/exe", buffer, size - 1);
    if (n < 0) {
        buffer[0] = '\0';
        return aErrRead;
    }
    buffer[n] = '\0';
    return aErrNone;
}

static aErr sGetHomeDirectory(char* buffer, size_t size)
{
    if (buffer == nullptr || size == 0)
        return aErrParam;
    buffer[0] = '\0';

    std::string home;
    long bufferSize = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> scratch(bufferSize > 0 ? static_cast<size_t>(bufferSize) : 16384);
    struct passwd entry;
    struct passwd* found = nullptr;
    int rc;
    while ((rc = getpwuid_r(getuid(), &entry, scratch.data(), scratch.size(), &found)) == ERANGE
           && scratch.size() < (1u << 20))
        scratch.resize(scratch.size() * 2);
    if (rc == 0 && found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] != '\0') {
        home = found->pw_dir;
    } else {
        const char* env = std::getenv("HOME");
        if (env == nullptr || env[0] == '\0')
            return aErrNotFound;
        home = env;
    }
    // A cut path would name some other directory.
    if (home.size() >= size)
        return aErrOverrun;
    std::memcpy(buffer, home.c_str(), home.size() + 1);
    return aErrNone;
}

aErr aDirectory_GetHomeDirectory(char* buffer, size_t size)
{
    try {
        return sGetHomeDirectory(buffer, size);
    } catch (const std::bad_alloc&) {
        if (buffer != nullptr && size != 0)
            buffer[0] = '\0';
        return aErrMemory;
    }
}

aErr aDirectory_JoinPath(char* buffer, size_t size, const char* first, const char* second)
{
    if (second == nullptr)
        return sBuildPath(buffer, size, first, nullptr, 0);
    const char* parts[] = {second};
    return sBuildPath(buffer, size, first, parts, 1);
}

aErr aDirectory_BuildPath(char* buffer, size_t size, const char* first, ...)
{
    // Read at most one part more than allowed, so that too many parts are
    // seen without walking on past the caller's list.
    const char* parts[aDIR_MAX_PATH_PARTS];
    int count = 0;
    va_list args;
    va_start(args, first);
    for (const char* part = va_arg(args, const char*); part != nullptr; part = va_arg(args, const char*)) {
        parts[count++] = part;
        if (count == aDIR_MAX_PATH_PARTS)
            break;
    }
    va_end(args);
    return sBuildPath(buffer, size, first, parts, count);
}

const char* backwards_memcmp(const char* text, const char* pattern)
{
    if (text == nullptr || pattern == nullptr)
        return nullptr;
    const size_t textLength = std::strlen(text);
    const size_t patternLength = std::strlen(pattern);
    if (patternLength == 0)
        return text;
    if (patternLength > textLength)
        return nullptr;
    for (size_t i = textLength - patternLength + 1; i-- > 0;) {
        if (std::memcmp(text + i, pattern, patternLength) == 0)
            return text + i;
    }
    return nullptr;
}
