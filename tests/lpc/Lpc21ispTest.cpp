// The simulated boot ROM against an independent ISP client, lpc21isp: it
// must program the simulated flash exactly as a chip's would end up. The
// client makes the first eight vector words sum to zero (word 7), so the
// flash is compared with the image patched that way. Skips (77) when
// lpc21isp is not installed.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "tests/support/RunProcess.h"
#include "tests/support/TempDir.h"

extern char** environ;

namespace {

constexpr const char* kLpc21isp = "/usr/bin/lpc21isp";

// lpcsim as a child process; its slave path is read from its first line.
class SimProcess {
  public:
    explicit SimProcess(const std::string& flashFile)
    {
        int out[2];
        if (pipe(out) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        std::string exe = LPCSIM_EXE, opt = "--flash-file", file = flashFile;
        char* argv[] = {exe.data(), opt.data(), file.data(), nullptr};
        if (posix_spawn(&pid_, exe.c_str(), &actions, nullptr, argv, environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        // "PATH\nready\n", within a few seconds.
        std::string text;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (pid_ > 0 && text.find("ready\n") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
            pollfd p{out[0], POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            char buffer[256];
            const ssize_t n = read(out[0], buffer, sizeof(buffer));
            if (n <= 0)
                break;
            text.append(buffer, static_cast<size_t>(n));
        }
        close(out[0]);
        if (text.find("ready\n") != std::string::npos)
            path_ = text.substr(0, text.find('\n'));
    }
    ~SimProcess()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    const std::string& path() const { return path_; }
    // Power-cycles the simulated chip; the short pause lets lpcsim take the
    // signal before the next client speaks.
    void reset() const
    {
        kill(pid_, SIGHUP);
        usleep(100 * 1000);
    }

  private:
    pid_t pid_ = -1;
    std::string path_;
};

std::vector<uint8_t> readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::vector<uint8_t> writeImage(const std::string& path, size_t size, unsigned seed)
{
    std::mt19937 random(seed);
    std::vector<uint8_t> image(size);
    for (auto& b : image)
        b = static_cast<uint8_t>(random());
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), image.size());
    // What a chip holds afterwards: vector word 7 makes words 0 to 7 sum to 0.
    uint32_t total = 0;
    for (int w = 0; w < 7; ++w)
        total += image[4 * w] | image[4 * w + 1] << 8 | image[4 * w + 2] << 16 | static_cast<uint32_t>(image[4 * w + 3]) << 24;
    const uint32_t word7 = 0u - total;
    for (int k = 0; k < 4; ++k)
        image[28 + k] = static_cast<uint8_t>(word7 >> (8 * k));
    return image;
}

TEST(LpcIndependentClient, ProgramsVerifiesAndWipes)
{
    if (access(kLpc21isp, X_OK) != 0) {
        std::printf("%s is not installed\n", kLpc21isp);
        std::exit(77);
    }
    testsupport::TempDir dir("lpc21isp");
    const std::string flashFile = dir / "flash.bin";
    SimProcess sim(flashFile);
    ASSERT_FALSE(sim.path().empty()) << "lpcsim did not come up";

    struct Run {
        std::vector<std::string> options;
        size_t size;
        const char* finished;
    } runs[] = {
        {{"-verify"}, 10000, "Download Finished and Verified correct"},
        // After a reset, a smaller image over the first: -wipe must leave no
        // trace of the third sector the first image used.
        {{"-wipe"}, 5000, "Download Finished"},
    };
    unsigned seed = 11;
    for (const Run& run : runs) {
        SCOPED_TRACE(run.options[0]);
        const std::string imageFile = dir / ("image" + std::to_string(seed) + ".bin");
        const auto expected = writeImage(imageFile, run.size, seed++);
        std::vector<std::string> args = {"30", kLpc21isp};
        args.insert(args.end(), run.options.begin(), run.options.end());
        args.insert(args.end(), {"-bin", imageFile, sim.path(), "115200", "14746"});
        const auto result = testsupport::runProcess("/usr/bin/timeout", args, dir.path(), dir.path(),
                                                    std::chrono::seconds(40));
        EXPECT_EQ(result.status, 0) << result.out << result.err;
        EXPECT_NE(result.out.find(run.finished), std::string::npos) << result.out;

        const auto flash = readFile(flashFile);
        ASSERT_EQ(flash.size(), 512u * 1024);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), flash.begin()));
        // lpc21isp copies whole 4 KB pieces; past the last one the flash is blank.
        const size_t used = (run.size + 4095) / 4096 * 4096;
        EXPECT_TRUE(std::all_of(flash.begin() + used, flash.end(), [](uint8_t b) { return b == 0xFF; }));
        sim.reset(); // lpc21isp leaves the chip running: power-cycle it
    }
}

} // namespace
