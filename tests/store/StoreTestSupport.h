// Helpers shared by the store-area tests: a temporary directory removed on
// exit, trace capture, whole-file reads and writes, raw BIRD packaging of an
// arbitrary payload, and running a function in a child process under a file
// size limit (how a full disk is simulated).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <signal.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

#include "app/Log.h"
#include "tests/support/TempDir.h"

namespace storetest {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

using testsupport::TempDir;

inline Bytes readBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string readText(const std::string& path)
{
    Bytes b = readBytes(path);
    return std::string(b.begin(), b.end());
}

inline void writeBytes(const std::string& path, const void* data, size_t size)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), std::streamsize(size));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

inline void writeText(const std::string& path, const std::string& text)
{
    writeBytes(path, text.data(), text.size());
}

// A BIRD file around any payload: "bird", 01 01, zlib stream of the payload.
inline Bytes packageRaw(const Bytes& payload, int level = 9)
{
    uLongf bound = compressBound(uLong(payload.size()));
    Bytes out(6 + bound);
    const uint8_t header[6] = {'b', 'i', 'r', 'd', 1, 1};
    std::copy(header, header + 6, out.begin());
    uLongf written = bound;
    if (compress2(out.data() + 6, &written, payload.data(), uLong(payload.size()), level) != Z_OK)
        throw std::runtime_error("compress2 failed");
    out.resize(6 + written);
    return out;
}

// Collects debug traces of the given packages for the lifetime of the object.
class TraceCapture {
public:
    explicit TraceCapture(uint32_t packages) : file_(std::tmpfile()), packages_(packages)
    {
        savedFh_ = Log::fh;
        savedMask_ = Log::package_bitmask;
        Log::SetOutput(file_);
        Log::ActivatePackage(packages);
    }
    ~TraceCapture()
    {
        Log::SetOutput(savedFh_);
        Log::package_bitmask = savedMask_;
        std::fclose(file_);
    }
    std::string text() const
    {
        std::fflush(file_);
        std::rewind(file_);
        std::string out;
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0)
            out.append(buf, n);
        std::fseek(file_, 0, SEEK_END);
        return out;
    }

private:
    FILE* file_;
    uint32_t packages_;
    FILE* savedFh_;
    uint32_t savedMask_;
};

// Runs fn in a child process whose files may not grow beyond maxBytes (writes
// past it fail with EFBIG, as on a full disk). Returns the child's exit code,
// or -1 when it died from a signal.
inline int runWithFileSizeLimit(rlim_t maxBytes, const std::function<int()>& fn)
{
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit lim = {maxBytes, maxBytes};
        setrlimit(RLIMIT_FSIZE, &lim);
        _exit(fn());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Names in a directory, sorted.
inline std::vector<std::string> listNames(const std::string& dir)
{
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace storetest
