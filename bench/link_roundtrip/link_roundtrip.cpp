// link_roundtrip: request/reply packets through the link engine to a module
// simulator process over TCP loopback, against a plain socket ping-pong of the
// same bytes with the same simulator process. Prints packets per second for
// both, their ratio, and the link engine's CPU time per round trip.
//
//   link_roundtrip [round trips per run, default 5000] [runs, default 3]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "common/aLink.h"

namespace {

constexpr uint8_t kAddress = 4;
constexpr uint32_t kSerial = 0x00C0FFEE;
// A UEI get of the system serial number and the module's reply (9 bytes).
const uint8_t kRequest[5] = {kAddress, 3, 3, 0x40 | 9, 0x20};
constexpr size_t kReplySize = 9;

double sSeconds(clockid_t clock)
{
    timespec t;
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

struct Measure {
    double wall = 0, cpu = 0;
    int done = 0;
};

struct Simulator {
    pid_t pid = -1;
    uint16_t port = 0;

    bool start()
    {
        int out[2];
        if (pipe(out) != 0)
            return false;
        pid = fork();
        if (pid == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
            const std::string address = std::to_string(kAddress);
            const std::string serial = "0x00C0FFEE";
            execl(MODSIM_PATH, "modsim", "--port", "0", "--address", address.c_str(), "--serial", serial.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        char line[128] = {};
        size_t used = 0;
        pollfd p{out[0], POLLIN, 0};
        while (used + 1 < sizeof(line) && !std::strchr(line, '\n') && poll(&p, 1, 5000) > 0) {
            const ssize_t n = read(out[0], line + used, sizeof(line) - 1 - used);
            if (n <= 0)
                break;
            used += static_cast<size_t>(n);
        }
        close(out[0]);
        unsigned value = 0;
        if (std::sscanf(line, "listening 127.0.0.1:%u", &value) != 1)
            return false;
        port = static_cast<uint16_t>(value);
        return true;
    }
    ~Simulator()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
};

uint8_t sReplyFilter(const aPacket* packet, const void*)
{
    return packet->address == kAddress && packet->dataSize == 7 && packet->data[0] == 3 && packet->data[1] == 9;
}

Measure sLinkRun(uint16_t port, int count)
{
    Measure m;
    uint32_t id = aLink_CreateTCPIP(kSerial, htonl(INADDR_LOOPBACK), port);
    if (!id || aLink_Sync(id) != aErrNone) {
        std::fprintf(stderr, "link_roundtrip: no link to the simulator\n");
        if (id)
            aLink_Destroy(&id);
        return m;
    }
    aPacket* request = aPacket_CreateWithData(kRequest[0], kRequest[1], kRequest + 2);
    const double wall0 = sSeconds(CLOCK_MONOTONIC);
    const double cpu0 = sSeconds(CLOCK_PROCESS_CPUTIME_ID);
    for (int i = 0; i < count; ++i) {
        if (aLink_PutPacket(id, request) != aErrNone)
            break;
        aPacket* reply = aLink_AwaitFirst(id, sReplyFilter, nullptr, 2000);
        if (!reply)
            break;
        aPacket_Destroy(&reply);
        ++m.done;
    }
    m.wall = sSeconds(CLOCK_MONOTONIC) - wall0;
    m.cpu = sSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0;
    aPacket_Destroy(&request);
    aLink_Destroy(&id);
    return m;
}

Measure sSocketRun(uint16_t port, int count)
{
    Measure m;
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    // The simulator serves one connection at a time: wait for the link's to end.
    bool connected = false;
    for (int attempt = 0; attempt < 50 && !connected; ++attempt)
        connected = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
    if (!connected) {
        close(fd);
        return m;
    }
    const double wall0 = sSeconds(CLOCK_MONOTONIC);
    const double cpu0 = sSeconds(CLOCK_PROCESS_CPUTIME_ID);
    for (int i = 0; i < count; ++i) {
        if (send(fd, kRequest, sizeof(kRequest), MSG_NOSIGNAL) != ssize_t(sizeof(kRequest)))
            break;
        uint8_t reply[64];
        size_t got = 0;
        while (got < kReplySize) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 2000) <= 0)
                break;
            const ssize_t n = recv(fd, reply + got, sizeof(reply) - got, 0);
            if (n <= 0)
                break;
            got += static_cast<size_t>(n);
        }
        if (got != kReplySize || reply[0] != kAddress || reply[2] != 3 || reply[3] != 9)
            break;
        ++m.done;
    }
    m.wall = sSeconds(CLOCK_MONOTONIC) - wall0;
    m.cpu = sSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0;
    close(fd);
    return m;
}

} // namespace

int main(int argc, char** argv)
{
    const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5000;
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    Simulator sim;
    if (!sim.start()) {
        std::fprintf(stderr, "link_roundtrip: cannot start the simulator at %s\n", MODSIM_PATH);
        return 1;
    }
    double bestLink = 0, bestSocket = 0, linkCpuPerPacket = 0, socketCpuPerPacket = 0;
    for (int run = 0; run < runs; ++run) {
        const Measure l = sLinkRun(sim.port, count);
        const Measure s = sSocketRun(sim.port, count);
        if (l.done != count || s.done != count) {
            std::fprintf(stderr, "link_roundtrip: run %d incomplete (link %d, socket %d of %d)\n", run, l.done,
                         s.done, count);
            return 1;
        }
        const double linkRate = count / l.wall, socketRate = count / s.wall;
        std::printf("run %d: link %.0f round trips/s, socket %.0f round trips/s\n", run, linkRate, socketRate);
        if (linkRate > bestLink) {
            bestLink = linkRate;
            linkCpuPerPacket = l.cpu / count;
        }
        if (socketRate > bestSocket) {
            bestSocket = socketRate;
            socketCpuPerPacket = s.cpu / count;
        }
    }
    std::printf("link engine:  %.0f round trips/s (request + reply), %.1f us CPU per round trip\n", bestLink,
                linkCpuPerPacket * 1e6);
    std::printf("plain socket: %.0f round trips/s, %.1f us CPU per round trip\n", bestSocket,
                socketCpuPerPacket * 1e6);
    std::printf("ratio socket/link: %.2f (goal: at most 1.5)\n", bestSocket / bestLink);
    return 0;
}
