// Plain serial stream: bytes pass through a serial port unchanged. The port
// is raw, reads return whatever is there after a short wait, and every write
// waits until the port has sent it. Used by the boot-ROM clients and, below
// the COBS layer, by serial links.
#include "common/aStream_Serial.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr uint16_t kSerialCheck = 0xBEEF;
// How long a get waits for a byte before answering aErrNotReady; see the
// socket stream.
constexpr int kReadWaitMs = 50;

const speed_t kBaudTable[] = {B2400, B4800, B9600, B19200, B38400, B57600, B115200, B230400};

} // namespace

struct aSerialPort {
    int32_t baudCode = 0;
    char portPath[PATH_MAX] = {};
    int fd = -1;
    termios saved{};
    termios line{};
    uint16_t check = kSerialCheck;
};

namespace {

aSerialPort* sState(void* reference)
{
    aSerialPort* port = static_cast<aSerialPort*>(reference);
    return (port && port->check == kSerialCheck) ? port : nullptr;
}

} // namespace

aErr aSerialPort_Open(const char* portPath, int32_t baudCode, int parity, int dataBits, int stopBits,
                      aSerialPort** out)
{
    if (!portPath || !out || parity < 0 || parity > 1 || dataBits < 0 || dataBits > 1 || stopBits < 0
        || stopBits > 1)
        return aErrParam;
    if (std::strlen(portPath) >= PATH_MAX)
        return aErrParam;
    aSerialPort* port = new (std::nothrow) aSerialPort;
    if (!port)
        return aErrMemory;
    port->baudCode = baudCode;
    std::strcpy(port->portPath, portPath);

    port->fd = ::open(portPath, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (port->fd < 0) {
        const int error = errno;
        delete port;
        return error == ENOENT ? aErrNotFound : (error == EACCES || error == EPERM) ? aErrPermission : aErrIO;
    }
    const auto fail = [port](bool restore) {
        if (restore)
            tcsetattr(port->fd, TCSANOW, &port->saved);
        ::close(port->fd);
        delete port;
        return aErrIO;
    };
    const int flags = fcntl(port->fd, F_GETFL);
    if (flags < 0 || fcntl(port->fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
        return fail(false);
    if (tcgetattr(port->fd, &port->saved) != 0)
        return fail(false);

    termios& t = port->line;
    t = port->saved;
    t.c_iflag = IGNBRK | (parity ? IGNPAR : 0);
    t.c_oflag = 0;
    t.c_lflag = 0;
    t.c_cflag = CREAD | CLOCAL | (parity ? PARENB : 0) | (dataBits ? CS7 : CS8) | (stopBits ? CSTOPB : 0);
    const speed_t speed = (baudCode >= 0 && baudCode < 8) ? kBaudTable[baudCode] : B0;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(port->fd, TCSANOW, &t) != 0)
        return fail(true);
    if (tcflush(port->fd, TCIOFLUSH) != 0)
        return fail(true);
    *out = port;
    return aErrNone;
}

aErr aSerialPort_Get(uint8_t* byte, void* reference)
{
    aSerialPort* port = sState(reference);
    if (!port || !byte)
        return aErrParam;
    pollfd p{port->fd, POLLIN, 0};
    const int ready = poll(&p, 1, kReadWaitMs);
    if (ready == 0 || (ready < 0 && errno == EINTR))
        return aErrNotReady;
    const ssize_t n = ::read(port->fd, byte, 1);
    if (n == 1)
        return aErrNone;
    if (n == 0 || errno == EAGAIN || errno == EINTR) {
        if (p.revents & POLLHUP) // the other end is gone: do not spin
            poll(nullptr, 0, kReadWaitMs);
        return aErrNotReady;
    }
    return aErrIO;
}

aErr aSerialPort_Write(const uint8_t* data, size_t length, void* reference)
{
    aSerialPort* port = sState(reference);
    if (!port || (!data && length))
        return aErrParam;
    if (length == 0)
        return aErrNone;
    const ssize_t n = ::write(port->fd, data, length);
    if (n < 0 || static_cast<size_t>(n) != length)
        return aErrIO;
    tcdrain(port->fd);
    return aErrNone;
}

aErr aSerialPort_Put(const uint8_t* byte, void* reference)
{
    return aSerialPort_Write(byte, 1, reference);
}

aErr aSerialPort_Delete(void* reference)
{
    aSerialPort* port = sState(reference);
    if (!port)
        return aErrParam;
    tcsetattr(port->fd, TCSANOW, &port->saved);
    ::close(port->fd);
    port->check = 0;
    delete port;
    return aErrNone;
}

aErr aStream_CreateSerial(const char* portPath, int32_t baudCode, int parity, int dataBits, int stopBits,
                          aStream** out)
{
    if (!portPath || !out)
        return aErrParam;
    aSerialPort* port = nullptr;
    const aErr err = aSerialPort_Open(portPath, baudCode, parity, dataBits, stopBits, &port);
    if (err != aErrNone)
        return err;
    aStream* stream =
        aStream_Create(aSerialPort_Get, aSerialPort_Put, aSerialPort_Write, aSerialPort_Delete, port);
    if (!stream) {
        aSerialPort_Delete(port);
        return aErrResource;
    }
    *out = stream;
    return aErrNone;
}
