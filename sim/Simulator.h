// Simulator: one simulated module on one transport: a TCP listener on its own
// address (127.0.0.1 by default; one connection at a time, accepting again
// after it closes) or a pseudo-terminal carrying COBS frames or plain bytes,
// optionally with the modules of its module network behind it (router) and a
// TCP/IP discovery responder. It owns the module models, the framer, the
// fault injector and the event log, and runs one thread (two with
// discovery). It carries out the module's restarts: over TCP the connection
// drops and the listener is away for the restart time. The modsim executable
// and in-process tests both use it; every public operation is thread-safe.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/DiscoveryResponder.h"
#include "sim/EventLog.h"
#include "sim/ModuleModel.h"
#include "sim/ModuleSession.h"
#include "sim/SimOptions.h"

namespace modsim {

class Simulator {
public:
    // Builds the standard module (system entity, debug echo) from the options.
    // Throws std::invalid_argument for an unusable module configuration.
    // `behind` are the modules on its module network (options.module.router).
    explicit Simulator(SimOptions options, const std::vector<SimOptions>& behind = {});
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Binds the listener or opens the pseudo-terminal and starts the thread.
    // Throws std::runtime_error with the system's reason on failure.
    void start();
    // Ends the thread and closes everything (bounded, idempotent).
    void stop();
    // False once stopped, or after a pseudo-terminal was closed by a fault.
    bool running() const { return running_; }

    uint16_t port() const { return port_; }
    std::string ptyPath() const { return ptyPath_; }
    // "listening ADDRESS:PORT" or "pty PATH", the executable's first line.
    std::string announcement() const;
    std::string address() const { return ipText(options_.listen); }
    EventLog& log() { return log_; }

    // Fault and traffic controls.
    void setMuted(bool muted);
    void closeConnection();                      // TCP: drop the client; pty: hang up
    void setFaults(const FaultPlan& plan);       // armed at once for the current connection
    void setHeartbeatInterval(unsigned ms);      // 0 stops heartbeats
    bool sendHeartbeat(uint8_t code);            // false when no connection
    bool sendPacket(const Packet& p);            // framed, through the faults
    bool sendRaw(const std::vector<uint8_t>& b); // as they are, no framing, no faults

    // Observations.
    std::vector<uint8_t> heartbeatAnswers() const;
    std::optional<bool> route() const;
    unsigned connections() const { return connections_; }
    bool connected() const;
    // Runs fn on the model with the simulator's lock held (to add handlers or
    // inspect state).
    void withModel(const std::function<void(ModuleModel&)>& fn);
    // The same for the module at `address` on this simulator's module network
    // (the simulator's own module included); false when there is none.
    bool withModule(uint8_t address, const std::function<void(ModuleModel&)>& fn);
    // Simulated flash of the module at `address` (0: this simulator's own).
    std::vector<uint8_t> readFlash(uint32_t flashAddress, size_t n, uint8_t address = 0);
    // Restarts carried out so far (reset, load, reboot; link drops excluded).
    unsigned restarts() const { return restarts_; }

private:
    void run();
    void serve(int fd, bool isSocket);
    bool process(const uint8_t* p, size_t n); // false: close now
    bool writeLocked(const std::vector<uint8_t>& bytes);
    void wake();
    void openPty();
    void openListener();
    void restartPause(const Restart& r);
    void dumpFlash();

    SimOptions options_;
    EventLog log_;
    std::unique_ptr<ModuleModel> model_;
    ModuleSession session_;

    mutable std::mutex m_; // guards model_, session_, connFd_ and writes
    int connFd_ = -1;
    bool connIsSocket_ = false;
    bool closeRequested_ = false;

    int listenFd_ = -1;
    int ptyMaster_ = -1;
    int ptySlave_ = -1;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    uint16_t port_ = 0;
    std::string ptyPath_;
    bool linkMade_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<bool> running_{false};
    std::atomic<unsigned> connections_{0};
    std::atomic<unsigned> heartbeatMs_{0};
    std::atomic<unsigned> restarts_{0};
    std::optional<Restart> pendingRestart_; // set by process(), carried out by run()
    bool gone_ = false;                     // restarted and never came back
    std::unique_ptr<DiscoveryResponder> discovery_;
    std::thread thread_;
};

} // namespace modsim
