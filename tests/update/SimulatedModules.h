// SimulatedModules: the modsim executable started in the device network
// namespace that tools/netns-run made for this test run, with modules on
// their own addresses that answer TCP/IP discovery; stopped (and waited for)
// when the object goes. Also the namespace check every test here needs, and
// small file helpers.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

// True inside the private namespaces of tools/netns-run: the marker is set
// and no default route exists, so discovery cannot leave the machine.
inline bool InsidePrivateNetwork()
{
    const char* marker = std::getenv("UPDATER_NETNS");
    if (!marker || std::string(marker) != "1" || !std::getenv("UPDATER_NETNS_DEVICE_PID"))
        return false;
    std::ifstream routes("/proc/net/route");
    std::string line;
    std::getline(routes, line); // header
    while (std::getline(routes, line)) {
        std::string interface, destination;
        std::istringstream(line) >> interface >> destination;
        if (destination == "00000000")
            return false;
    }
    return true;
}

inline std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class SimulatedModules {
  public:
    // args: modsim settings ("--serial", "1234", "--module", ...).
    explicit SimulatedModules(const std::vector<std::string>& args)
    {
        const char* devicePid = std::getenv("UPDATER_NETNS_DEVICE_PID");
        if (!devicePid)
            throw std::runtime_error("no device namespace");
        std::vector<std::string> argv = {"nsenter", "-t", devicePid, "-n", MODSIM_EXE};
        argv.insert(argv.end(), args.begin(), args.end());
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        pid_ = fork();
        if (pid_ < 0)
            throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            dup2(out[1], 1);
            std::vector<char*> a;
            for (auto& s : argv)
                a.push_back(const_cast<char*>(s.c_str()));
            a.push_back(nullptr);
            execvp(a[0], a.data());
            _exit(127);
        }
        close(out[1]);
        // Wait (bounded) for the "ready" line.
        std::string text;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (text.find("ready\n") == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            pollfd p{out[0], POLLIN, 0};
            if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0)
                break;
            char buffer[512];
            const ssize_t n = read(out[0], buffer, sizeof buffer);
            if (n <= 0)
                break;
            text.append(buffer, static_cast<size_t>(n));
        }
        close(out[0]);
        announcement_ = text;
        if (text.find("ready\n") == std::string::npos) {
            stop();
            throw std::runtime_error("modsim did not start: " + text);
        }
    }
    ~SimulatedModules() { stop(); }
    SimulatedModules(const SimulatedModules&) = delete;
    SimulatedModules& operator=(const SimulatedModules&) = delete;

    const std::string& announcement() const { return announcement_; }

    void stop()
    {
        if (pid_ <= 0)
            return;
        kill(pid_, SIGTERM);
        int status = 0;
        for (int i = 0; i < 100 && waitpid(pid_, &status, WNOHANG) == 0; ++i)
            usleep(20000);
        if (waitpid(pid_, &status, WNOHANG) == 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
        pid_ = -1;
    }

  private:
    pid_t pid_ = -1;
    std::string announcement_;
};
