// TCP client socket stream. The connection is made when the stream is created
// and re-made in place when the peer resets it, so the stream object (and the
// link above it) survives a module or network restart. Reads are buffered:
// one receive call fetches whatever has arrived and the link engine's
// one-byte gets are served from that buffer.
#include "common/aStream.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <new>

#include "common/aTime.h"

namespace {

constexpr uint16_t kSocketCheck = 0xDEAD;
constexpr uint32_t kConnected = 1;
// How long a get waits for a byte before answering aErrNotReady. It paces the
// link engine's reader (and its resynchronisation) without making it block long.
constexpr int kReadWaitMs = 50;
constexpr int kConnectWaitMs = 5000;
constexpr int kWriteRetryWaitMs = 60;
constexpr int kWriteAttempts = 10;

struct SocketState {
    uint16_t port = 0;
    sockaddr_in address{};
    // The descriptor number never changes while the stream lives: a reset
    // connects a new socket and moves it onto this number (dup2), so a reader
    // blocked in poll on one thread and a writer on another never see a
    // descriptor that was closed and reused for something else.
    int socket = -1;
    std::atomic<uint32_t> flags{0};
    std::atomic<uint64_t> generation{0};
    std::mutex resetMutex;
    uint16_t check = kSocketCheck;
    // Receive buffer, touched by the reading side only.
    uint8_t rx[4096];
    size_t rxHead = 0;
    size_t rxCount = 0;
};

bool sValid(const SocketState* state) { return state && state->check == kSocketCheck; }

aErr sMapConnectError(int error)
{
    switch (error) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case ECONNRESET:
    case ETIMEDOUT:
    case ECONNREFUSED:
        return aErrConnection;
    default:
        return aErrIO;
    }
}

// Connects a new non-blocking socket to the stored address within a bounded time.
aErr sConnect(SocketState* state, int* out)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return aErrIO;
    int error = 0;
    if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) != 0) {
        error = errno;
    } else if (::connect(fd, reinterpret_cast<const sockaddr*>(&state->address), sizeof(state->address)) != 0) {
        error = errno;
        if (error == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            const int ready = poll(&p, 1, kConnectWaitMs);
            socklen_t len = sizeof(error);
            if (ready == 0)
                error = ETIMEDOUT;
            else if (ready < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0)
                error = errno;
        }
    }
    if (error != 0) {
        ::close(fd);
        return sMapConnectError(error);
    }
    const int one = 1;
    const timeval noTimeout{0, 0};
    const linger resetOnClose{1, 0};
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one)) != 0
        || setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &noTimeout, sizeof(noTimeout)) != 0
        || setsockopt(fd, SOL_SOCKET, SO_LINGER, &resetOnClose, sizeof(resetOnClose)) != 0) {
        ::close(fd);
        return aErrIO;
    }
    *out = fd;
    return aErrNone;
}

// (Re)connects. seenGeneration is the generation the caller saw fail; when
// another thread has reset the socket since, there is nothing left to do.
aErr sReset(SocketState* state, uint64_t seenGeneration)
{
    if (!sValid(state))
        return aErrInitialization;
    std::lock_guard<std::mutex> lock(state->resetMutex);
    if (state->generation != seenGeneration)
        return (state->flags & kConnected) ? aErrNone : aErrConnection;
    if (state->socket >= 0) {
        state->flags &= ~kConnected;
        // Drop the old connection now (linger 0 sends a reset) but keep the
        // descriptor number reserved until the new socket takes it over.
        shutdown(state->socket, SHUT_RDWR);
        aTime_MSSleep(10);
    }
    int fd = -1;
    const aErr err = sConnect(state, &fd);
    if (err == aErrNone) {
        if (state->socket < 0) {
            state->socket = fd;
        } else {
            const bool moved = dup2(fd, state->socket) >= 0;
            ::close(fd);
            if (!moved) {
                ++state->generation;
                return aErrIO;
            }
        }
        state->flags |= kConnected;
    }
    ++state->generation;
    return err;
}

// While the other side is connecting again, wait for it to finish rather
// than report the connection as lost. True when connected afterwards.
bool sAwaitReset(SocketState* state)
{
    std::lock_guard<std::mutex> lock(state->resetMutex);
    return (state->flags & kConnected) != 0;
}

bool sIsLostConnection(int error)
{
    return error == ECONNRESET || error == ENOTCONN || error == ETIMEDOUT || error == EPIPE;
}

aErr sSocketGet(uint8_t* byte, void* reference)
{
    SocketState* state = static_cast<SocketState*>(reference);
    if (!sValid(state) || !byte)
        return aErrParam;
    if (state->rxCount == 0) {
        if (!(state->flags & kConnected) && !sAwaitReset(state))
            return aErrConnection;
        for (int attempt = 0;; ++attempt) {
            const uint64_t generation = state->generation;
            pollfd p{state->socket, POLLIN, 0};
            if (poll(&p, 1, kReadWaitMs) <= 0)
                return aErrNotReady;
            const ssize_t n = recv(state->socket, state->rx, sizeof(state->rx), MSG_DONTWAIT);
            if (n > 0) {
                state->rxHead = 0;
                state->rxCount = static_cast<size_t>(n);
                break;
            }
            if (n == 0) {
                // The peer closed its side: nothing more will come on this
                // connection. Wait out the read time so the reader does not spin.
                aTime_MSSleep(kReadWaitMs);
                return aErrNotReady;
            }
            const int error = errno;
            if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR)
                return aErrNotReady;
            if (!sIsLostConnection(error) || error == EPIPE)
                return aErrConnection;
            if (attempt > 0)
                return aErrNotReady;
            const aErr err = sReset(state, generation);
            if (err != aErrNone)
                return err;
        }
    }
    *byte = state->rx[state->rxHead++];
    --state->rxCount;
    return aErrNone;
}

aErr sSocketWrite(const uint8_t* data, size_t length, void* reference)
{
    SocketState* state = static_cast<SocketState*>(reference);
    if (!sValid(state) || (!data && length))
        return aErrParam;
    if (!(state->flags & kConnected) && !sAwaitReset(state))
        return aErrConnection;
    size_t sent = 0;
    int attempts = 0;
    while (sent < length) {
        const uint64_t generation = state->generation;
        const ssize_t n = send(state->socket, data + sent, length - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            attempts = 1;
            if (sent < length) {
                pollfd p{state->socket, POLLOUT, 0};
                poll(&p, 1, kWriteRetryWaitMs);
            }
            continue;
        }
        const int error = errno;
        if (n < 0 && (error == EAGAIN || error == EWOULDBLOCK || error == EINTR)) {
            // Send buffer full: wait until there is room, within the retry time.
            pollfd p{state->socket, POLLOUT, 0};
            poll(&p, 1, kWriteRetryWaitMs);
        } else if (n < 0 && sIsLostConnection(error)) {
            const aErr err = sReset(state, generation);
            if (err != aErrNone)
                return err;
            aTime_MSSleep(kWriteRetryWaitMs);
        } else {
            return aErrIO;
        }
        if (++attempts >= kWriteAttempts)
            return aErrWrite; // the rest could not be sent
    }
    return aErrNone;
}

aErr sSocketPut(const uint8_t* byte, void* reference)
{
    return sSocketWrite(byte, 1, reference);
}

aErr sSocketDelete(void* reference)
{
    SocketState* state = static_cast<SocketState*>(reference);
    if (!sValid(state))
        return aErrIO;
    if (state->socket >= 0) {
        state->flags = 0;
        ::close(state->socket);
        state->socket = -1;
        aTime_MSSleep(10);
    }
    state->check = 0;
    delete state;
    return aErrNone;
}

} // namespace

aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStream** out)
{
    if (!out)
        return aErrResource;
    *out = nullptr;
    SocketState* state = new (std::nothrow) SocketState;
    if (!state)
        return aErrResource;
    state->port = port;
    state->address.sin_family = AF_INET;
    state->address.sin_port = htons(port);
    state->address.sin_addr.s_addr = address;
    if (sReset(state, state->generation) != aErrNone) {
        delete state;
        return aErrResource;
    }
    aStream* stream = aStream_Create(sSocketGet, sSocketPut, sSocketWrite, sSocketDelete, state);
    if (!stream) {
        sSocketDelete(state);
        return aErrResource;
    }
    *out = stream;
    return aErrNone;
}
