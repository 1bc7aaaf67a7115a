// A module network run by the modsim executable inside the device namespace
// of tools/netns-run, from one configuration, for as long as the test needs
// it; its event log is shared by all its modules.
#pragma once

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/discovery/NetNamespace.h"
#include "tests/support/TempDir.h"

namespace netnstest {

namespace fs = std::filesystem;

inline std::vector<std::string> readLines(const std::string& path)
{
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    return lines;
}

// A module network from one configuration, run by modsim in the device
// namespace until the test ends.
class ModuleNetwork {
  public:
    ModuleNetwork(const std::string& config, size_t listeners)
    {
        // Shared by every module of the configuration: one event log.
        std::ofstream(dir_ / "net.conf") << "log = " << logPath() << "\n" << config;
        const std::string pid = std::getenv("UPDATER_NETNS_DEVICE_PID");
        const std::string modsim = std::string(UPDATER_BINARY_DIR) + "/sim/modsim";
        const std::string conf = dir_ / "net.conf";
        child_ = fork();
        if (child_ == 0) {
            execlp("nsenter", "nsenter", "-t", pid.c_str(), "-n", modsim.c_str(), "--config", conf.c_str(),
                   static_cast<char*>(nullptr));
            _exit(127);
        }
        // Ready once every listener has joined discovery.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline && count("discovery on") < listeners)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ready_ = count("discovery on") >= listeners;
    }

    ~ModuleNetwork()
    {
        if (child_ > 0) {
            kill(child_, SIGTERM);
            waitpid(child_, nullptr, 0);
        }
    }

    bool ready() const { return ready_; }
    std::string logPath() const { return dir_ / "net.log"; }
    std::string storeRoot() const { return dir_.path(); }

    size_t count(const std::string& prefix) const
    {
        const auto lines = readLines(logPath());
        return std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
    }

  private:
    testsupport::TempDir dir_{"updater-modules"};
    pid_t child_ = -1;
    bool ready_ = false;
};

} // namespace netnstest
