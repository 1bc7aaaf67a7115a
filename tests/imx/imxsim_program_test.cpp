// The imxsim program: it announces its pseudo-terminal, serves the loader
// there with the unique ID it was given, and leaves its RAM behind in the
// dump directory when it is stopped.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "recovery/SDPLoader.h"
#include "recovery/Serial_SDPLoader.h"

namespace {

struct TempDir {
    std::string path;
    TempDir()
    {
        char name[] = "/tmp/imxsim_program_test.XXXXXX";
        if (mkdtemp(name) != nullptr)
            path = name;
    }
    ~TempDir()
    {
        if (!path.empty())
            std::system(("rm -rf '" + path + "'").c_str());
    }
};

// Runs imxsim with a pipe on its standard output; stops it when it goes.
struct Program {
    pid_t pid = -1;
    FILE* out = nullptr;

    explicit Program(const std::vector<std::string>& args)
    {
        int fds[2];
        if (pipe(fds) != 0)
            return;
        pid = fork();
        if (pid == 0) {
            dup2(fds[1], 1);
            close(fds[0]);
            close(fds[1]);
            std::vector<char*> argv;
            const std::string program = UPDATER_BINARY_DIR "/sim/imx/imxsim";
            argv.push_back(const_cast<char*>(program.c_str()));
            for (const std::string& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(fds[1]);
        out = fdopen(fds[0], "r");
    }
    std::string line()
    {
        char text[256];
        if (out == nullptr || fgets(text, sizeof text, out) == nullptr)
            return "";
        std::string s = text;
        if (!s.empty() && s.back() == '\n')
            s.pop_back();
        return s;
    }
    int stop()
    {
        int status = -1;
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, &status, 0);
            pid = -1;
        }
        return status;
    }
    ~Program()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (out)
            fclose(out);
    }
};

} // namespace

TEST(ImxSimProgram, ServesTheLoaderAndDumpsItsRam)
{
    TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    Program sim({"--uid=CAFEF00D,00C0FFEE", "--dump-dir=" + dir.path});
    ASSERT_GT(sim.pid, 0);
    const std::string pty = sim.line();
    ASSERT_EQ(sim.line(), "ready");
    ASSERT_EQ(pty.rfind("/dev/pts/", 0), 0u) << pty;

    std::vector<uint8_t> image(3000);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<uint8_t>(i ^ (i >> 8));
    {
        SDPLoader loader;
        ASSERT_TRUE(loader.setLoader(std::make_unique<Serial_SDPLoader>(pty, 10)));
        ASSERT_EQ(loader.init(), SDPLoader::SDP_OK);
        uint64_t fingerprint = 0;
        ASSERT_EQ(loader.getFingerprint(fingerprint), SDPLoader::SDP_OK);
        EXPECT_EQ(fingerprint, 0x00C0FFEECAFEF00Dull);
        ASSERT_EQ(loader.writeLoader(image, 0x20000010), SDPLoader::SDP_OK);
    }
    const int status = sim.stop();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    std::ifstream in(dir.path + "/dtcm.bin", std::ios::binary);
    const std::vector<uint8_t> dtcm((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(dtcm.size(), 0x20000u);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), dtcm.begin() + 0x10));
}

TEST(ImxSimProgram, RefusesUnknownOptions)
{
    for (const char* arg : {"--fault=sleepy", "--uid=12", "--bogus"}) {
        Program sim({arg});
        ASSERT_GT(sim.pid, 0);
        EXPECT_EQ(sim.line(), "") << arg;
        int status = -1;
        waitpid(sim.pid, &status, 0);
        sim.pid = -1;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << arg;
    }
}
