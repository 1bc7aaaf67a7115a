// The simulator's transports and its event loop.
#include "sim/Simulator.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

namespace modsim {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kWriteWaitMs = 500; // longest wait for a peer that does not read
constexpr int kPollCapMs = 1000;  // every wait is bounded

std::runtime_error sysError(const std::string& what) {
    return std::runtime_error(what + ": " + strerror(errno));
}

} // namespace

Simulator::Simulator(SimOptions options, const std::vector<SimOptions>& behind)
    : options_(std::move(options)), model_(makeStandardModule(options_.module, log_)),
      session_(*model_,
               options_.transport == TransportKind::PtyCobs ? makeCobsFramer() : makeRawFramer(),
               log_) {
    heartbeatMs_ = options_.module.heartbeatMs;
    if (!behind.empty() && !options_.module.router)
        throw std::invalid_argument("modules behind a module that is no router");
    for (const SimOptions& b : behind)
        model_->attach(makeStandardModule(b.module, log_));
}

Simulator::~Simulator() {
    stop();
}

std::string Simulator::announcement() const {
    if (options_.transport == TransportKind::Tcp)
        return "listening " + ipText(options_.listen) + ":" + std::to_string(port_);
    return "pty " + (options_.ptyLink.empty() ? ptyPath_ : options_.ptyLink);
}

void Simulator::openPty() {
    ptyMaster_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (ptyMaster_ < 0) throw sysError("posix_openpt");
    if (grantpt(ptyMaster_) != 0 || unlockpt(ptyMaster_) != 0) throw sysError("grantpt/unlockpt");
    char name[128];
    if (ptsname_r(ptyMaster_, name, sizeof name) != 0) throw sysError("ptsname");
    ptyPath_ = name;
    // Hold the terminal side open and raw: no echo of what the module sends, no
    // newline translation, and the line stays up while the host reopens it.
    ptySlave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (ptySlave_ < 0) throw sysError("open " + ptyPath_);
    termios t{};
    if (tcgetattr(ptySlave_, &t) != 0) throw sysError("tcgetattr");
    cfmakeraw(&t);
    if (tcsetattr(ptySlave_, TCSANOW, &t) != 0) throw sysError("tcsetattr");
    if (!options_.ptyLink.empty()) {
        // Replace a stale link from an earlier run, but never anything else.
        struct stat st {};
        if (lstat(options_.ptyLink.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode))
                throw std::runtime_error("pty-link " + options_.ptyLink +
                                         " exists and is not a symbolic link");
            unlink(options_.ptyLink.c_str());
        }
        if (symlink(name, options_.ptyLink.c_str()) != 0)
            throw sysError("symlink " + options_.ptyLink);
        linkMade_ = true;
    }
}

void Simulator::start() {
    if (running_ || thread_.joinable()) throw std::runtime_error("simulator already started");
    if (!options_.logPath.empty()) log_.openFile(options_.logPath);
    int p[2];
    if (pipe2(p, O_NONBLOCK | O_CLOEXEC) != 0) throw sysError("pipe");
    wakeRead_ = p[0];
    wakeWrite_ = p[1];
    try {
        if (options_.transport == TransportKind::Tcp) {
            port_ = options_.port;
            openListener();
            if (options_.discovery) {
                DiscoveryResponder::Identity id;
                id.address = model_->address();
                id.port = port_;
                id.serial = options_.module.serial;
                id.model = options_.module.model;
                id.replySize = options_.discoveryReplySize;
                id.repeat = options_.discoveryRepeat;
                discovery_ = std::make_unique<DiscoveryResponder>(options_.listen, id, log_);
                discovery_->start();
            }
        } else {
            if (options_.discovery) throw std::runtime_error("discovery needs the tcp transport");
            openPty();
        }
    } catch (...) {
        discovery_.reset();
        stop_ = true;
        stop();
        stop_ = false;
        throw;
    }
    log_.add(announcement() + (options_.transport == TransportKind::PtyCobs  ? " cobs"
                               : options_.transport == TransportKind::PtyRaw ? " raw"
                                                                             : ""));
    running_ = true;
    thread_ = std::thread([this] { run(); });
}

void Simulator::openListener() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) throw sysError("socket");
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port_);
    a.sin_addr.s_addr = htonl(options_.listen);
    const std::string where = ipText(options_.listen) + ":" + std::to_string(port_);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        auto e = sysError("bind " + where);
        close(fd);
        throw e;
    }
    if (listen(fd, 4) != 0) {
        auto e = sysError("listen " + where);
        close(fd);
        throw e;
    }
    if (port_ == 0) { // the first bind picks the port; a restart reuses it
        socklen_t len = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    listenFd_ = fd;
}

void Simulator::restartPause(const Restart& r) {
    if (r.reason == "drop") return; // the link comes back at once
    ++restarts_;
    if (options_.transport == TransportKind::Tcp && listenFd_ >= 0) {
        close(listenFd_); // connection attempts are refused while the module restarts
        listenFd_ = -1;
    }
    if (!r.comesBack) {
        gone_ = true;
        log_.add("gone");
        return;
    }
    const auto until = Clock::now() + std::chrono::milliseconds(r.delayMs);
    while (!stop_) {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        if (left <= 0) break;
        pollfd f{wakeRead_, POLLIN, 0};
        poll(&f, 1, static_cast<int>(std::min<long long>(left, kPollCapMs)));
        char w[64];
        while (read(wakeRead_, w, sizeof w) > 0) {
        }
        if (options_.transport != TransportKind::Tcp) {
            // A serial line stays up; what arrives while restarting is lost.
            uint8_t junk[256];
            while (read(ptyMaster_, junk, sizeof junk) > 0) {
            }
        }
    }
    if (stop_) return;
    if (options_.transport == TransportKind::Tcp) {
        // The port was ours a moment ago; retry briefly should it be in use.
        for (int attempt = 0; attempt < 20 && !stop_ && listenFd_ < 0; ++attempt) {
            try {
                openListener();
            } catch (const std::exception& e) {
                log_.add(std::string("relisten-failed ") + e.what());
                poll(nullptr, 0, 50);
            }
        }
        if (listenFd_ < 0) {
            gone_ = true;
            log_.add("gone");
            return;
        }
    }
    log_.add("restarted " + r.reason);
}

void Simulator::dumpFlash() {
    std::lock_guard<std::mutex> g(m_);
    auto dumpOne = [this](ModuleModel& m) {
        const std::string& path = m.config().upgrade.flashDump;
        if (path.empty() || m.flash().writeCount() == 0) return;
        try {
            m.flash().dump(path);
        } catch (const std::exception& e) {
            log_.add(std::string("flash-dump-failed ") + e.what());
        }
    };
    dumpOne(*model_);
    for (auto& b : model_->behind())
        dumpOne(*b);
}

void Simulator::wake() {
    if (wakeWrite_ >= 0) {
        char c = 1;
        [[maybe_unused]] auto r = write(wakeWrite_, &c, 1);
    }
}

void Simulator::stop() {
    stop_ = true;
    wake();
    if (discovery_) discovery_->stop();
    const bool wasStarted = thread_.joinable();
    if (thread_.joinable()) thread_.join();
    if (wasStarted) dumpFlash();
    running_ = false;
    for (int* fd : {&listenFd_, &ptyMaster_, &ptySlave_, &wakeRead_, &wakeWrite_}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
    if (linkMade_) {
        // Remove the link only while it still points at this simulator's terminal.
        char target[256];
        ssize_t n = readlink(options_.ptyLink.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, size_t(n)) == ptyPath_) unlink(options_.ptyLink.c_str());
        linkMade_ = false;
    }
}

void Simulator::run() {
    if (options_.transport != TransportKind::Tcp) {
        for (;;) {
            serve(ptyMaster_, false);
            std::optional<Restart> r;
            {
                std::lock_guard<std::mutex> g(m_);
                r = pendingRestart_;
                pendingRestart_.reset();
            }
            if (!r || stop_) break;
            restartPause(*r);
            if (gone_ || stop_) break;
        }
        if (!stop_) {
            // The line was hung up by a fault: the module is gone.
            std::lock_guard<std::mutex> g(m_);
            close(ptyMaster_);
            close(ptySlave_);
            ptyMaster_ = ptySlave_ = -1;
        }
        running_ = false;
        return;
    }
    while (!stop_) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
        int r = poll(fds, 2, kPollCapMs);
        if (r < 0 && errno != EINTR) break;
        if (fds[1].revents) {
            char buf[64];
            while (read(wakeRead_, buf, sizeof buf) > 0) {
            }
        }
        if (stop_) break;
        if (!(fds[0].revents & POLLIN)) continue;
        int c = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (c < 0) continue;
        int one = 1;
        setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        serve(c, true);
        std::optional<Restart> restart;
        {
            std::lock_guard<std::mutex> g(m_);
            restart = pendingRestart_;
            pendingRestart_.reset();
        }
        if (restart && restart->reason != "drop" && listenFd_ >= 0) {
            // Away before the host sees the connection end, so that its first
            // reconnect attempt is refused as with a real module.
            close(listenFd_);
            listenFd_ = -1;
        }
        close(c);
        if (restart) restartPause(*restart);
        while (gone_ && !stop_) { // the module never comes back: wait to be stopped
            pollfd f{wakeRead_, POLLIN, 0};
            poll(&f, 1, kPollCapMs);
        }
    }
    running_ = false;
}

void Simulator::serve(int fd, bool isSocket) {
    unsigned number;
    {
        std::lock_guard<std::mutex> g(m_);
        connFd_ = fd;
        connIsSocket_ = isSocket;
        closeRequested_ = false;
        number = ++connections_;
        session_.begin(options_.faults, number);
    }
    log_.add("conn-open " + std::to_string(number));
    auto nextHb = Clock::now() + std::chrono::milliseconds(heartbeatMs_.load());
    std::string reason = "stopped";
    uint8_t buf[4096];
    while (!stop_) {
        int timeout = kPollCapMs;
        const unsigned hbMs = heartbeatMs_;
        if (hbMs) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(nextHb - Clock::now())
                            .count();
            timeout =
                static_cast<int>(std::max<long long>(0, std::min<long long>(left, kPollCapMs)));
        }
        pollfd fds[2] = {{fd, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
        int r = poll(fds, 2, timeout);
        if (r < 0 && errno != EINTR) {
            reason = std::string("poll: ") + strerror(errno);
            break;
        }
        if (fds[1].revents) {
            char w[64];
            while (read(wakeRead_, w, sizeof w) > 0) {
            }
        }
        if (stop_) break;
        {
            std::lock_guard<std::mutex> g(m_);
            if (closeRequested_) {
                reason = "closed";
                log_.add("fault close");
                break;
            }
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            ssize_t n = read(fd, buf, sizeof buf);
            if (n == 0 && isSocket) {
                reason = "peer-closed";
                break;
            }
            if (n < 0) {
                if (errno == EAGAIN || errno == EINTR) {
                } else if (isSocket) {
                    reason = std::string("peer-error ") + strerror(errno);
                    break;
                } else {
                    // A terminal with nobody on the far side: wait a little.
                    poll(nullptr, 0, 20);
                }
            } else if (n > 0 && !process(buf, static_cast<size_t>(n))) {
                std::lock_guard<std::mutex> g(m_);
                reason = pendingRestart_ ? "restart" : "closed";
                break;
            }
        }
        if (heartbeatMs_ && Clock::now() >= nextHb) {
            {
                std::lock_guard<std::mutex> g(m_);
                auto hb = session_.heartbeat(options_.module.heartbeatCode);
                if (!hb.empty()) writeLocked(hb);
            }
            nextHb = Clock::now() + std::chrono::milliseconds(heartbeatMs_.load());
        }
    }
    {
        std::lock_guard<std::mutex> g(m_);
        connFd_ = -1;
    }
    log_.add("conn-closed " + std::to_string(number) + " " + reason);
}

bool Simulator::process(const uint8_t* p, size_t n) {
    std::lock_guard<std::mutex> g(m_);
    auto out = session_.feed(p, n);
    if (!out.bytes.empty()) writeLocked(out.bytes);
    if (out.restart) {
        pendingRestart_ = out.restart;
        return false;
    }
    return !out.close;
}

bool Simulator::writeLocked(const std::vector<uint8_t>& bytes) {
    if (connFd_ < 0) return false;
    size_t done = 0;
    int err = 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kWriteWaitMs);
    while (done < bytes.size()) {
        ssize_t w = connIsSocket_
                        ? send(connFd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL)
                        : write(connFd_, bytes.data() + done, bytes.size() - done);
        if (w > 0) {
            done += static_cast<size_t>(w);
            continue;
        }
        err = w < 0 ? errno : EIO;
        if (w < 0 && (errno == EAGAIN || errno == EINTR)) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
                    .count();
            if (left <= 0) break;
            pollfd f{connFd_, POLLOUT, 0};
            poll(&f, 1, static_cast<int>(left));
            continue;
        }
        break;
    }
    if (done < bytes.size()) {
        log_.add("tx-dropped " + std::to_string(bytes.size() - done) + " " + strerror(err));
        return false;
    }
    return true;
}

void Simulator::setMuted(bool muted) {
    std::lock_guard<std::mutex> g(m_);
    session_.setMuted(muted);
    log_.add(muted ? "fault mute" : "fault unmute");
}

void Simulator::closeConnection() {
    {
        std::lock_guard<std::mutex> g(m_);
        closeRequested_ = true;
    }
    wake();
}

void Simulator::setFaults(const FaultPlan& plan) {
    std::lock_guard<std::mutex> g(m_);
    options_.faults = plan;
    session_.rearm(plan);
}

void Simulator::setHeartbeatInterval(unsigned ms) {
    heartbeatMs_ = ms;
    wake();
}

bool Simulator::sendHeartbeat(uint8_t code) {
    std::lock_guard<std::mutex> g(m_);
    if (connFd_ < 0) return false;
    auto hb = session_.heartbeat(code);
    return hb.empty() || writeLocked(hb);
}

bool Simulator::sendPacket(const Packet& p) {
    std::lock_guard<std::mutex> g(m_);
    if (connFd_ < 0) return false;
    return writeLocked(session_.packet(p));
}

bool Simulator::sendRaw(const std::vector<uint8_t>& b) {
    std::lock_guard<std::mutex> g(m_);
    if (connFd_ < 0) return false;
    log_.add("tx-raw " + bytesText(b));
    return writeLocked(b);
}

std::vector<uint8_t> Simulator::heartbeatAnswers() const {
    std::lock_guard<std::mutex> g(m_);
    return model_->heartbeatAnswers();
}

std::optional<bool> Simulator::route() const {
    std::lock_guard<std::mutex> g(m_);
    return model_->route();
}

bool Simulator::connected() const {
    std::lock_guard<std::mutex> g(m_);
    return connFd_ >= 0;
}

void Simulator::withModel(const std::function<void(ModuleModel&)>& fn) {
    std::lock_guard<std::mutex> g(m_);
    fn(*model_);
}

bool Simulator::withModule(uint8_t address, const std::function<void(ModuleModel&)>& fn) {
    std::lock_guard<std::mutex> g(m_);
    ModuleModel* m = address == model_->address() ? model_.get() : nullptr;
    for (auto& b : model_->behind())
        if (!m && b->address() == address) m = b.get();
    if (!m) return false;
    fn(*m);
    return true;
}

std::vector<uint8_t> Simulator::readFlash(uint32_t flashAddress, size_t n, uint8_t address) {
    std::vector<uint8_t> r;
    if (!withModule(address ? address : model_->address(),
                    [&](ModuleModel& m) { r = m.flash().read(flashAddress, n); }))
        throw std::invalid_argument("no module at address " + std::to_string(address));
    return r;
}

} // namespace modsim
