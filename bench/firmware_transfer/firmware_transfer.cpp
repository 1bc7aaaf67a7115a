// firmware_transfer: sends a firmware block (512 KiB by default) to a
// simulated module process over TCP loopback through the upgrade entity, once
// as plain DATA packets and once as UEI byte blocks over pooled packets, and
// checks the module's flash after each. The plain path is measured against
// its protocol floor: the same number of request/reply round trips as a raw
// socket ping-pong (28-byte echo packets, no link engine) with the same
// simulator process in the same run.
//
//   firmware_transfer [KiB, default 512] [block size, default 1024] [runs, default 3]
//
// Each run measures the floor and both transfers; the fastest of the runs is
// reported, so that other load on the machine stays out of the figures.
//
// Goals: plain path at most 1.3 times its floor; UEI bytes with pooled
// packets at least 5 times faster than the plain path.
#include <arpa/inet.h>
#include <fcntl.h>
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
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/UpdaterDisplayInterface.h"
#include "device_api/Module.h"
#include "updater/UpdaterEntity.h"

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using Veltrane::Corvantis::Module;

namespace {

constexpr uint8_t kAddress = 6;
constexpr uint32_t kFirmwareAddress = 0x4000;

struct QuietDisplay : UpdaterDisplayInterface {
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool, const char*) override {}
    void info_message(const char*) override {}
    void error_message(const char*) override {}
};

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes Image(size_t size, uint32_t seed)
{
    Bytes out(size);
    uint32_t x = seed;
    for (auto& b : out) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return out;
}

Bytes Block(uint32_t address, const Bytes& image)
{
    Bytes block(4 + image.size());
    for (int i = 0; i < 4; ++i)
        block[i] = static_cast<uint8_t>(address >> (24 - 8 * i));
    std::copy(image.begin(), image.end(), block.begin() + 4);
    return block;
}

// The simulator process: one module on 127.0.0.1, stopped at the end.
struct SimProcess {
    pid_t pid = -1;
    uint16_t port = 0;
    std::string log, dump;

    SimProcess(uint16_t blockSize, const std::string& dir) : log(dir + "/module.log"), dump(dir + "/flash.bin")
    {
        int out[2];
        if (pipe(out) != 0)
            throw std::runtime_error("pipe");
        pid = fork();
        if (pid == 0) {
            dup2(out[1], 1);
            close(out[0]);
            const std::string bs = std::to_string(blockSize);
            execl(MODSIM_PATH, MODSIM_PATH, "--address", "6", "--restart-ms", "100", "--block-size", bs.c_str(),
                  "--flash-size", "0x200000", "--flash-dump", dump.c_str(), "--log", log.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        std::string text;
        char buffer[256];
        ssize_t n;
        while (text.find("ready") == std::string::npos && (n = read(out[0], buffer, sizeof buffer)) > 0)
            text.append(buffer, static_cast<size_t>(n));
        close(out[0]);
        const size_t colon = text.find("127.0.0.1:");
        if (colon == std::string::npos)
            throw std::runtime_error("modsim did not start: " + text);
        port = static_cast<uint16_t>(std::stoi(text.substr(colon + 10)));
    }
    ~SimProcess()
    {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    // Waits (bounded) for the n-th "restarted" line of the module's log.
    bool AwaitRestarts(size_t n)
    {
        for (int i = 0; i < 500; ++i) {
            const std::string text = ReadFile(log);
            size_t count = 0;
            for (size_t at = text.find("restarted "); at != std::string::npos; at = text.find("restarted ", at + 1))
                ++count;
            if (count >= n)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
};

// count echo round trips of 28-byte packets over a plain socket.
double RawPingPong(uint16_t port, size_t count)
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        throw std::runtime_error("connect");
    const int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    uint8_t request[30] = {kAddress, 28, 23};
    for (int i = 3; i < 30; ++i)
        request[i] = static_cast<uint8_t>(i);
    const auto start = Clock::now();
    for (size_t i = 0; i < count; ++i) {
        if (send(s, request, sizeof request, 0) != static_cast<ssize_t>(sizeof request))
            throw std::runtime_error("send");
        size_t got = 0;
        uint8_t reply[64];
        while (got < sizeof request) {
            const ssize_t n = recv(s, reply + got, sizeof reply - got, 0);
            if (n <= 0)
                throw std::runtime_error("recv");
            got += static_cast<size_t>(n);
        }
    }
    const double seconds = Seconds(Clock::now() - start);
    close(s);
    return seconds;
}

// Loader in, loader started, module reached again; then one firmware block,
// timed, then reboot. Returns the transfer's seconds.
double Transfer(SimProcess& sim, Module& module, size_t& restarts, const Bytes& image, bool uei)
{
    UpdaterEntity entity;
    entity.init(&module, 0);
    const Bytes loader = Block(0x10000000, Image(2048, 99));
    uint16_t size = 0;
    if (entity.LoaderInit() || entity.TransferPrepare(loader.data(), loader.size(), 0, &size)
        || entity.LoaderTransfer(loader.data(), loader.size()) || entity.LoaderStart())
        throw std::runtime_error("loader did not start");
    if (!sim.AwaitRestarts(++restarts))
        throw std::runtime_error("module did not restart");
    module.disconnect();
    for (int i = 0; i < 50 && (module.reconnect() != aErrNone || !module.isConnected()); ++i) {
        module.disconnect();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }

    UpdaterEntity firmware;
    firmware.init(&module, 0);
    if (uei && (firmware.CheckUEIDataSupport() || firmware.CheckPooledPacketsSupport()))
        throw std::runtime_error("module offers no UEI data or pooled packets");
    QuietDisplay display;
    const Bytes block = Block(kFirmwareAddress, image);
    const auto start = Clock::now();
    aErr err = firmware.TransferPrepare(block.data(), block.size(), 0, &size);
    if (err == aErrNone)
        err = firmware.FirmwareTransfer(block.data(), block.size(), size, display);
    const double seconds = Seconds(Clock::now() - start);
    if (err != aErrNone)
        throw std::runtime_error(std::string("transfer failed: ") + aError_GetErrorText(err));
    firmware.LoaderReboot(display);
    if (!sim.AwaitRestarts(++restarts))
        throw std::runtime_error("module did not reboot");
    module.disconnect();
    for (int i = 0; i < 50 && (module.reconnect() != aErrNone || !module.isConnected()); ++i) {
        module.disconnect();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const std::string flash = ReadFile(sim.dump);
    if (flash.size() < kFirmwareAddress + image.size()
        || flash.compare(kFirmwareAddress, image.size(), std::string(image.begin(), image.end())) != 0)
        throw std::runtime_error("flash differs from the image");
    return seconds;
}

} // namespace

int main(int argc, char** argv)
{
    const size_t bytes = (argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 512) * 1024;
    const uint16_t blockSize = static_cast<uint16_t>(argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 1024);
    const unsigned runs = static_cast<unsigned>(argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 3);
    if (bytes == 0 || blockSize == 0 || runs == 0) {
        std::fprintf(stderr, "usage: firmware_transfer [KiB] [block size] [runs]\n");
        return 2;
    }
    char dirTemplate[] = "/tmp/firmware_transfer-XXXXXX";
    const std::string dir = mkdtemp(dirTemplate);
    int status = 0;
    try {
        SimProcess sim(blockSize, dir);
        const size_t pieces = (bytes + blockSize - 1) / blockSize;
        const size_t chunksPerPiece = (blockSize + UPGRADE_DATA_CHUNK - 1) / UPGRADE_DATA_CHUNK;
        const size_t lastPiece = bytes - (pieces - 1) * blockSize;
        const size_t dataPackets =
            (pieces - 1) * chunksPerPiece + (lastPiece + UPGRADE_DATA_CHUNK - 1) / UPGRADE_DATA_CHUNK;
        // PREPARE, every DATA packet, and SUM and WRITE per piece.
        const size_t roundTrips = 1 + dataPackets + 2 * pieces;

        Module module(0, 0);
        Veltrane::Corvantis::aWeaveConfig config;
        config.enabled = false;
        config.fallback = false;
        module.setConfig(config);
        linkSpec spec{};
        spec.type = TCPIP;
        spec.serialNumber = 0x1A2B3C4D;
        spec.t.ip.ipAddress = htonl(INADDR_LOOPBACK);
        spec.t.ip.ipPort = sim.port;
        if (module.connectFromSpec(spec) != aErrNone)
            throw std::runtime_error("cannot connect to the module");
        size_t restarts = 0;
        // Each run measures all three; the fastest of the runs counts, which
        // keeps other load on the machine out of the figures.
        double floor = 1e9, plain = 1e9, pooled = 1e9;
        for (unsigned run = 1; run <= runs; ++run) {
            module.disconnect(); // the module serves one connection at a time
            const double f = RawPingPong(sim.port, roundTrips);
            if (module.reconnect() != aErrNone)
                throw std::runtime_error("cannot reach the module again");
            const double p = Transfer(sim, module, restarts, Image(bytes, 2 * run), false);
            const double u = Transfer(sim, module, restarts, Image(bytes, 2 * run + 1), true);
            std::printf("run %u: floor %.3f s, plain %.3f s (%.2f x floor), UEI + pooled %.3f s (%.2f x faster)\n",
                        run, f, p, p / f, u, p / u);
            floor = std::min(floor, f);
            plain = std::min(plain, p);
            pooled = std::min(pooled, u);
        }
        module.disconnect();

        const double ratio = plain / floor;
        const double speedup = plain / pooled;
        std::printf("firmware %zu bytes, block size %u, %zu round trips on the plain path\n", bytes, blockSize,
                    roundTrips);
        std::printf("fastest of %u runs:\n", runs);
        std::printf("raw ping-pong floor   %8.3f s  %10.0f round trips/s\n", floor, roundTrips / floor);
        std::printf("plain DATA packets    %8.3f s  %10.0f bytes/s   %.2f x floor (goal <= 1.30): %s\n", plain,
                    bytes / plain, ratio, ratio <= 1.3 ? "met" : "MISSED");
        std::printf("UEI bytes + pooled    %8.3f s  %10.0f bytes/s   %.2f x faster than plain (goal >= 5): %s\n",
                    pooled, bytes / pooled, speedup, speedup >= 5 ? "met" : "MISSED");
        std::printf("flash checked after both transfers\n");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "firmware_transfer: %s\n", e.what());
        status = 1;
    }
    std::remove((dir + "/module.log").c_str());
    std::remove((dir + "/flash.bin").c_str());
    rmdir(dir.c_str());
    return status;
}
