// LpcPtyServer: serves one LpcBootRom on a pseudo-terminal from a thread of
// its own. The slave path is what a client opens as its serial port. Tests
// run it in-process; lpcsim runs it as a program. The flash can be read back
// at any time and, when a file is named, is kept there (written whole on
// every change, through a temporary file and a rename).
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/lpc/LpcBootRom.h"

namespace lpcsim {

class LpcPtyServer {
  public:
    explicit LpcPtyServer(const LpcConfig& config, std::string flashFile = "");
    ~LpcPtyServer();
    LpcPtyServer(const LpcPtyServer&) = delete;
    LpcPtyServer& operator=(const LpcPtyServer&) = delete;

    // Opens the pseudo-terminal and starts serving; false with a message in
    // error() when that fails.
    bool start();
    void stop();
    const std::string& slavePath() const { return slavePath_; }
    const std::string& error() const { return error_; }

    // Runs fn on the boot ROM while the server thread is kept out.
    void withRom(const std::function<void(LpcBootRom&)>& fn);
    std::vector<uint8_t> flash();
    // A power-on reset of the simulated chip.
    void reset();

  private:
    void serve();
    void saveFlash();
    void writeAll(const std::string& bytes);

    LpcBootRom rom_;
    std::string flashFile_;
    std::mutex mutex_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    int master_ = -1;
    int slave_ = -1; // held open so the line stays up between clients
    int wake_[2] = {-1, -1};
    std::string slavePath_;
    std::string error_;
    uint64_t savedGeneration_ = ~0ull;
};

} // namespace lpcsim
