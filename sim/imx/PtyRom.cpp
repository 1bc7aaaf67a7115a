// PtyRom: the simulated boot ROM on a pseudo-terminal (see PtyRom.h).
#include "sim/imx/PtyRom.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace imxsim {

namespace {

constexpr int POLL_MS = 20; // bounds how long stop() waits for the server
// A command left unfinished for this long is dropped as line noise.
constexpr int COMMAND_GAP_MS = 200;

void sWriteAll(int fd, const std::vector<uint8_t>& bytes)
{
    size_t at = 0;
    // The host may stop reading; give up after about a second.
    for (int stalls = 0; at < bytes.size() && stalls < 1000;) {
        const ssize_t n = write(fd, bytes.data() + at, bytes.size() - at);
        if (n > 0) {
            at += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return;
        ++stalls;
        usleep(1000);
    }
}

} // namespace

PtyRom::PtyRom(SdpConfig config) : rom_(config), link_(rom_) {}

PtyRom::~PtyRom() { stop(); }

bool PtyRom::start(std::string& error)
{
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        error = std::string("cannot make a pseudo-terminal: ") + strerror(errno);
        stop();
        return false;
    }
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) {
        error = std::string("ptsname: ") + strerror(errno);
        stop();
        return false;
    }
    slavePath_ = name;
    slave_ = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (slave_ < 0) {
        error = std::string("cannot open ") + name + ": " + strerror(errno);
        stop();
        return false;
    }
    struct termios t;
    if (tcgetattr(slave_, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(slave_, TCSANOW, &t);
    }
    running_ = true;
    thread_ = std::thread(&PtyRom::serve, this);
    return true;
}

void PtyRom::stop()
{
    running_ = false;
    if (thread_.joinable())
        thread_.join();
    if (slave_ >= 0)
        close(slave_);
    if (master_ >= 0)
        close(master_);
    slave_ = master_ = -1;
}

void PtyRom::serve()
{
    uint8_t buffer[4096];
    auto lastByte = std::chrono::steady_clock::now();
    while (running_) {
        struct pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, POLL_MS) <= 0 || !(p.revents & POLLIN)) {
            if (std::chrono::steady_clock::now() - lastByte >= std::chrono::milliseconds(COMMAND_GAP_MS)) {
                std::lock_guard<std::mutex> lock(mutex_);
                if (link_.partialCommand())
                    link_.lineIdle();
            }
            if (p.revents & (POLLHUP | POLLERR))
                usleep(POLL_MS * 1000);
            continue;
        }
        const ssize_t n = read(master_, buffer, sizeof buffer);
        if (n <= 0)
            continue;
        lastByte = std::chrono::steady_clock::now();
        std::vector<uint8_t> reply;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            reply = link_.receive(buffer, static_cast<size_t>(n));
        }
        if (!reply.empty())
            sWriteAll(master_, reply);
    }
}

} // namespace imxsim
