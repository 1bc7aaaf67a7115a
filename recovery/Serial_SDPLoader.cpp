// Serial_SDPLoader: serial transport of the i.MX loader (see Serial_SDPLoader.h).
#include "recovery/Serial_SDPLoader.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "app/Log.h"
#include "recovery/SDPLoader_Protocol.h"

struct Serial_SDPLoader_Private {
    int fd = -1;
    std::string path;
    struct termios settings {};
    int settleMs = 1000;
};

namespace {

constexpr int BAUD_BITS_PER_SECOND = 115200;

void sSleepMs(int ms)
{
    if (ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Waits until the port has sent what was written, so that a reply time-out
// counts from the end of the transmission. Bounded by the line time of the
// bytes plus a second.
void sAwaitSent(int fd, size_t bytes)
{
    const long limitMs = static_cast<long>(bytes * 10 * 1000 / BAUD_BITS_PER_SECOND) + 1000;
    for (long waited = 0; waited < limitMs; ++waited) {
        int queued = 0;
        if (ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0)
            return;
        sSleepMs(1);
    }
}

} // namespace

Serial_SDPLoader::Serial_SDPLoader(const std::string& devicePath, int settleMs)
    : d_(std::make_unique<Serial_SDPLoader_Private>())
{
    d_->path = devicePath;
    d_->settleMs = settleMs;
}

Serial_SDPLoader::~Serial_SDPLoader()
{
    if (d_->fd >= 0) {
        tcflush(d_->fd, TCIOFLUSH);
        close(d_->fd);
    }
}

bool Serial_SDPLoader::init()
{
    if (d_->fd >= 0) {
        close(d_->fd);
        d_->fd = -1;
    }
    const int fd = open(d_->path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        Log::log(DEBUG_iMXSerial, "Could not open %s: %s\n", d_->path.c_str(), strerror(errno));
        return false;
    }
    if (!isatty(fd) || tcgetattr(fd, &d_->settings) != 0) {
        Log::log(DEBUG_iMXSerial, "%s is not a terminal\n", d_->path.c_str());
        close(fd);
        return false;
    }
    struct termios& t = d_->settings;
    // A raw line: the protocol is binary, so no translation, echo or signals.
    cfmakeraw(&t);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CREAD | CLOCAL;
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    if (tcsetattr(fd, TCSAFLUSH, &t) != 0) {
        Log::log(DEBUG_iMXSerial, "Could not set up %s: %s\n", d_->path.c_str(), strerror(errno));
        close(fd);
        return false;
    }
    sSleepMs(d_->settleMs);
    tcflush(fd, TCIOFLUSH);
    d_->fd = fd;
    return true;
}

ssize_t Serial_SDPLoader::writeData(const std::vector<uint8_t>& bytes)
{
    if (d_->fd < 0)
        return -1;
    if (bytes.size() <= 1)
        return 0;
    // The first byte is the HID report id, which a serial line does not carry.
    const uint8_t* at = bytes.data() + 1;
    size_t left = bytes.size() - 1;
    int stalledMs = 0;
    while (left > 0) {
        const ssize_t n = write(d_->fd, at, left);
        if (n > 0) {
            at += n;
            left -= static_cast<size_t>(n);
            stalledMs = 0;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            Log::log(DEBUG_iMXSerial, "Write to %s failed: %s\n", d_->path.c_str(), strerror(errno));
            return -1;
        }
        if (++stalledMs > WRITE_STALL_LIMIT_MS) {
            Log::log(DEBUG_iMXSerial, "Write to %s stalled\n", d_->path.c_str());
            return -1;
        }
        sSleepMs(1);
    }
    sAwaitSent(d_->fd, bytes.size() - 1);
    return static_cast<ssize_t>(bytes.size() - 1);
}

ssize_t Serial_SDPLoader::readData(std::vector<uint8_t>& out, int timeoutMs)
{
    if (d_->fd < 0)
        return -1;
    sSleepMs(timeoutMs);
    ssize_t count = 0;
    uint8_t byte;
    while (static_cast<size_t>(count) < READ_LIMIT) {
        const ssize_t n = read(d_->fd, &byte, 1);
        if (n != 1)
            break;
        out.push_back(byte);
        ++count;
    }
    return count;
}

bool Serial_SDPLoader::getDataFromBuffer(const std::vector<uint8_t>& bytes, size_t offset, uint32_t& value)
{
    return SDPLoader_Protocol::SerialReplyValue(bytes.data(), bytes.size(), offset, value);
}
