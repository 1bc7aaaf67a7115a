// Runs a built program as a subprocess for the tests that drive it from the
// command line: standard input from /dev/null, standard output and standard
// error captured through files in a scratch directory, HOME replaced, and the
// child killed when it overruns its time limit. Header-only.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

extern char** environ;

namespace testsupport {

struct RunResult {
    std::string out;
    std::string err;
    int status = -1; // exit code, 128 + signal when killed, -1 when not run or timed out
};

inline std::string slurp(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Runs binary with args (argv[0] is added) and this process's environment
// with HOME set to home. The captured streams pass through files in scratch,
// removed afterwards. A start failure or a time-out is a test failure.
inline RunResult runProcess(const std::string& binary, const std::vector<std::string>& args,
                            const std::filesystem::path& home, const std::filesystem::path& scratch,
                            std::chrono::milliseconds timeout,
                            std::chrono::milliseconds poll = std::chrono::milliseconds(5))
{
    std::vector<std::string> words = {binary};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    std::string homeVar = "HOME=" + home.string();
    std::vector<char*> env = {homeVar.data()};
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "HOME=", 5) != 0)
            env.push_back(*e);
    env.push_back(nullptr);

    const std::filesystem::path outPath = scratch / "stdout.txt", errPath = scratch / "stderr.txt";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    RunResult run;
    const int rc = posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(rc, 0) << "cannot start " << binary;
    if (rc != 0)
        return run;

    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            ADD_FAILURE() << binary << " did not finish within " << timeout.count() << " ms";
            return run;
        }
        std::this_thread::sleep_for(poll);
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.out = slurp(outPath);
    run.err = slurp(errPath);
    std::error_code ignored;
    std::filesystem::remove(outPath, ignored);
    std::filesystem::remove(errPath, ignored);
    return run;
}

} // namespace testsupport
