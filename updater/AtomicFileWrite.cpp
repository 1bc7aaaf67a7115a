// AtomicFileWrite: see AtomicFileWrite.h.
#include "updater/AtomicFileWrite.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::atomic<unsigned> tempCounter{0};

void splitPath(const std::string& path, std::string& dir, std::string& base)
{
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        dir = ".";
        base = path;
    } else {
        dir = slash == 0 ? "/" : path.substr(0, slash);
        base = path.substr(slash + 1);
    }
}

aErr fail(aErr code, int fd, const std::string& temp, int* systemError)
{
    int saved = errno;
    if (fd >= 0)
        close(fd);
    if (!temp.empty())
        unlink(temp.c_str());
    if (systemError)
        *systemError = saved;
    errno = saved;
    return code;
}

} // namespace

aErr AtomicFileWrite(const std::string& path, const void* data, size_t length, int* systemError)
{
    if (systemError)
        *systemError = 0;
    if (path.empty() || (!data && length)) {
        errno = EINVAL;
        return fail(aErrNotFound, -1, "", systemError);
    }
    std::string dir, base;
    splitPath(path, dir, base);
    if (base.empty()) {
        errno = EISDIR;
        return fail(aErrNotFound, -1, "", systemError);
    }

    // A leading "." keeps a temporary file that outlives a crash out of the
    // store's listings.
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = dir + "/." + base + ".tmp-" + std::to_string(getpid()) + "-" +
               std::to_string(tempCounter.fetch_add(1));
        fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0)
        return fail(aErrNotFound, -1, "", systemError);

    // Keep the permissions of the file being replaced.
    struct stat old;
    if (stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode))
        fchmod(fd, old.st_mode & 07777);

    const char* at = static_cast<const char*>(data);
    size_t left = length;
    while (left > 0) {
        ssize_t n = write(fd, at, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return fail(aErrIO, fd, temp, systemError);
        }
        at += n;
        left -= size_t(n);
    }
    if (fsync(fd) != 0)
        return fail(aErrIO, fd, temp, systemError);
    int closed = close(fd);
    fd = -1;
    if (closed != 0)
        return fail(aErrIO, -1, temp, systemError);
    if (rename(temp.c_str(), path.c_str()) != 0)
        return fail(aErrIO, -1, temp, systemError);

    // Make the rename itself durable; a failure here loses nothing that was
    // there before, so it is not reported.
    int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        fsync(dirFd);
        close(dirFd);
    }
    return aErrNone;
}
