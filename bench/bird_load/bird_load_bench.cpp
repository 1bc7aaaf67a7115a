// Benchmark: loading an 8 MiB firmware BIRD package. Prints, measured in the
// same run, the ratio of the whole load (read, decompress, scan) to zlib's
// uncompress of the same stream alone, and the peak memory of a load in a
// fresh process relative to the compressed size.
//   bird_load_bench [runs, default 15]
// Goals: ratio at most 1.5, peak memory at most 10 times the compressed size.
// Exit status 1 when a goal is missed.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

#include "tools/birdpack/BirdWriter.h"
#include "updater/BirdFile.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t TARGET_FILE_SIZE = 8u << 20;

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// kB from a "Name:   123 kB" line of /proc/self/status.
long statusKB(const char* name)
{
    std::ifstream in("/proc/self/status");
    std::string line;
    size_t n = std::strlen(name);
    while (std::getline(in, line))
        if (line.compare(0, n, name) == 0 && line[n] == ':')
            return std::atol(line.c_str() + n + 1);
    return -1;
}

// Child mode: load once and print the memory the load added at its peak.
int loadOnce(const char* path)
{
    long before = statusKB("VmRSS");
    BirdFile f(path);
    long peak = statusKB("VmHWM");
    if (f.BlockCount() == 0)
        return 2;
    std::printf("%ld\n", peak - before);
    return 0;
}

std::string makePackage(const std::string& dir, size_t& compressedSize, size_t& payloadSize)
{
    // Synthetic firmware compresses about 2:1; grow it until the file is 8 MiB.
    birdpack::BirdWriter w;
    w.AddIdentity(4711, "2.12.2", 0, "Zorbel");
    w.AddLoader(0x10000000, birdpack::BirdWriter::SyntheticImage(64 * 1024, 1));
    size_t image = TARGET_FILE_SIZE * 2;
    std::vector<uint8_t> file;
    for (int attempt = 0; attempt < 4; ++attempt) {
        birdpack::BirdWriter trial = w;
        size_t half = image / 2;
        trial.AddFirmware(0x00000000, birdpack::BirdWriter::SyntheticImage(half, 2));
        trial.AddFirmware(0x00800000, birdpack::BirdWriter::SyntheticImage(image - half, 3));
        trial.AddSerialOffsets(0x100, 0x200);
        file = trial.FileBytes(6);
        payloadSize = trial.Payload().size();
        image = size_t(double(image) * double(TARGET_FILE_SIZE) / double(file.size()));
        if (file.size() > TARGET_FILE_SIZE * 98 / 100 && file.size() < TARGET_FILE_SIZE * 102 / 100)
            break;
    }
    compressedSize = file.size() - 6;
    std::string path = dir + "/8mib.bird";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(file.data()),
                                                std::streamsize(file.size()));
    return path;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--load-once") == 0)
        return loadOnce(argv[2]);
    int runs = argc > 1 ? std::max(3, std::atoi(argv[1])) : 15;

    char dirTemplate[] = "/tmp/bird-load-bench-XXXXXX";
    if (!mkdtemp(dirTemplate)) {
        std::perror("mkdtemp");
        return 1;
    }
    std::string dir = dirTemplate;
    size_t compressed = 0, payload = 0;
    std::string path = makePackage(dir, compressed, payload);

    std::vector<uint8_t> fileBytes;
    {
        std::ifstream in(path, std::ios::binary);
        fileBytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::printf("package: %zu bytes on disk, %zu bytes of payload\n", fileBytes.size(), payload);

    // Interleave the two measurements so that both see the same machine state.
    std::vector<double> load, alone;
    for (int r = 0; r < runs + 1; ++r) {
        auto t0 = Clock::now();
        BirdFile f(path);
        auto t1 = Clock::now();
        if (f.PayloadSize() != payload) {
            std::fprintf(stderr, "load gave %u payload bytes, expected %zu\n", f.PayloadSize(), payload);
            return 1;
        }

        // zlib alone, into a fresh buffer of the same size as the loader's.
        std::unique_ptr<uint8_t[]> out(new uint8_t[compressed * 8]);
        uLongf outLength = uLongf(compressed * 8);
        auto t2 = Clock::now();
        int rc = uncompress(out.get(), &outLength, fileBytes.data() + 6, uLong(compressed));
        auto t3 = Clock::now();
        if (rc != Z_OK || outLength != payload) {
            std::fprintf(stderr, "uncompress failed (%d)\n", rc);
            return 1;
        }
        if (r == 0)
            continue; // warm-up
        load.push_back(ms(t1 - t0));
        alone.push_back(ms(t3 - t2));
    }
    std::sort(load.begin(), load.end());
    std::sort(alone.begin(), alone.end());
    double loadMs = load[load.size() / 2], aloneMs = alone[alone.size() / 2];
    double ratio = loadMs / aloneMs;

    // Peak memory of one load in a fresh process.
    long extraKB = -1;
    int pipeFd[2];
    if (pipe(pipeFd) == 0) {
        pid_t pid = fork();
        if (pid == 0) {
            dup2(pipeFd[1], 1);
            close(pipeFd[0]);
            execl("/proc/self/exe", argv[0], "--load-once", path.c_str(), (char*)nullptr);
            _exit(127);
        }
        close(pipeFd[1]);
        char buf[64] = {};
        ssize_t n = read(pipeFd[0], buf, sizeof buf - 1);
        close(pipeFd[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        if (n > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0)
            extraKB = std::atol(buf);
    }
    std::remove(path.c_str());
    rmdir(dir.c_str());
    if (extraKB < 0) {
        std::fprintf(stderr, "memory measurement failed\n");
        return 1;
    }
    double memoryRatio = double(extraKB) * 1024.0 / double(compressed);

    bool ok = ratio <= 1.5 && memoryRatio <= 10.0;
    std::printf("load (median of %d): %.2f ms; zlib uncompress alone: %.2f ms\n", runs, loadMs, aloneMs);
    std::printf("time ratio load/uncompress: %.3f (goal <= 1.5)\n", ratio);
    std::printf("peak memory added by a load: %.1f MiB = %.2f x compressed size (goal <= 10)\n",
                double(extraKB) / 1024.0, memoryRatio);
    std::printf("%s\n", ok ? "goals met" : "GOAL MISSED");
    return ok ? 0 : 1;
}
