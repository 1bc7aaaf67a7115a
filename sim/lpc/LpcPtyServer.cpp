// LpcPtyServer: an LpcBootRom on a pseudo-terminal; see LpcPtyServer.h.
#include "sim/lpc/LpcPtyServer.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace lpcsim {

namespace {
// Longest the server waits for the client to make room for an answer.
constexpr int kWriteWaitMs = 2000;
} // namespace

LpcPtyServer::LpcPtyServer(const LpcConfig& config, std::string flashFile)
    : rom_(config), flashFile_(std::move(flashFile))
{
}

LpcPtyServer::~LpcPtyServer() { stop(); }

bool LpcPtyServer::start()
{
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        error_ = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    const char* name = ptsname(master_);
    if (!name) {
        error_ = "no slave name for the pseudo-terminal";
        return false;
    }
    slavePath_ = name;
    slave_ = ::open(name, O_RDWR | O_NOCTTY);
    if (slave_ < 0) {
        error_ = "cannot open " + slavePath_ + ": " + std::strerror(errno);
        return false;
    }
    // Raw from the start, so nothing the line discipline adds reaches a client.
    termios t{};
    if (tcgetattr(slave_, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(slave_, TCSANOW, &t);
    }
    if (pipe(wake_) != 0) {
        error_ = std::string("cannot make a pipe: ") + std::strerror(errno);
        return false;
    }
    saveFlash();
    thread_ = std::thread([this] { serve(); });
    return true;
}

void LpcPtyServer::stop()
{
    if (thread_.joinable()) {
        stopping_ = true;
        const char one = 1;
        (void)!::write(wake_[1], &one, 1);
        thread_.join();
    }
    for (int* fd : {&master_, &slave_, &wake_[0], &wake_[1]})
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
}

void LpcPtyServer::withRom(const std::function<void(LpcBootRom&)>& fn)
{
    std::lock_guard<std::mutex> lock(mutex_);
    fn(rom_);
}

std::vector<uint8_t> LpcPtyServer::flash()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return rom_.flash();
}

void LpcPtyServer::reset()
{
    std::lock_guard<std::mutex> lock(mutex_);
    rom_.reset();
}

void LpcPtyServer::saveFlash()
{
    if (flashFile_.empty() || rom_.flashGeneration() == savedGeneration_)
        return;
    const std::string temp = flashFile_ + ".tmp";
    FILE* f = std::fopen(temp.c_str(), "wb");
    if (!f) {
        std::fprintf(stderr, "lpcsim: cannot write %s: %s\n", temp.c_str(), std::strerror(errno));
        return;
    }
    const auto& flash = rom_.flash();
    const bool ok = std::fwrite(flash.data(), 1, flash.size(), f) == flash.size();
    if (std::fclose(f) != 0 || !ok || std::rename(temp.c_str(), flashFile_.c_str()) != 0) {
        std::fprintf(stderr, "lpcsim: cannot save the flash to %s\n", flashFile_.c_str());
        std::remove(temp.c_str());
        return;
    }
    savedGeneration_ = rom_.flashGeneration();
}

void LpcPtyServer::writeAll(const std::string& bytes)
{
    size_t done = 0;
    int waited = 0;
    while (done < bytes.size() && !stopping_) {
        const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return;
        if (waited >= kWriteWaitMs)
            return; // nobody reads: the answer is lost, as on an open line
        pollfd p{master_, POLLOUT, 0};
        poll(&p, 1, 10);
        waited += 10;
    }
}

void LpcPtyServer::serve()
{
    uint8_t chunk[512];
    while (!stopping_) {
        pollfd p[2] = {{master_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        const int ready = poll(p, 2, 200);
        if (ready < 0 && errno != EINTR)
            break;
        if (p[1].revents)
            break;
        if (!(p[0].revents & POLLIN)) {
            if (p[0].revents & (POLLHUP | POLLERR))
                usleep(10000); // no client at the moment
            continue;
        }
        const ssize_t n = ::read(master_, chunk, sizeof(chunk));
        if (n <= 0)
            continue;
        std::string out;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (ssize_t i = 0; i < n; ++i)
                rom_.receive(chunk[i], out);
            saveFlash();
        }
        if (!out.empty())
            writeAll(out);
    }
}

} // namespace lpcsim
