// Simulated modules on their own addresses in a private network namespace:
// TCP/IP discovery answers and TCP links to several modules and to a module
// behind a router, all from one modsim process. Each case runs itself again
// through tools/netns-run and skips (77) where namespaces cannot be made;
// nothing here ever sends on the machine's real network.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "sim/DiscoveryResponder.h"
#include "sim/Simulator.h"

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

namespace {

// True inside the namespaces of tools/netns-run. Outside, runs the current test
// there and ends this process with its status (77 skips).
bool insideNamespace() {
    const bool marked = getenv("UPDATER_NETNS") && getenv("UPDATER_NETNS_DEVICE_PID");
    if (marked && !modsim::DiscoveryResponder::hasDefaultRoute()) return true;
    if (marked) {
        ADD_FAILURE() << "UPDATER_NETNS is set but this namespace has a default route";
        return false;
    }
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) {
        ADD_FAILURE() << "cannot find this executable";
        return false;
    }
    std::string cmd = std::string("timeout 60 ") + UPDATER_SOURCE_DIR +
                      "/tools/netns-run --device-address 10.77.0.3 -- '" + std::string(self, size_t(n)) +
                      "' --gtest_filter=" + info->test_suite_name() + "." + info->name();
    int status = system(cmd.c_str());
    int rc = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    if (rc == 77) exit(77);
    EXPECT_EQ(rc, 0) << "the run inside the namespace failed";
    return false;
}

struct Modsim {
    pid_t pid = -1;
    std::vector<std::string> lines; // announcement lines before "ready"

    // Starts modsim with a settings file in the device namespace.
    explicit Modsim(const std::string& config) {
        // Unique across namespaces: process ids repeat in each new one.
        std::string path = testing::TempDir() + "modsim-netns-XXXXXX";
        const int fd = mkstemp(path.data());
        if (fd < 0) return;
        close(fd);
        std::ofstream(path) << config;
        int p[2];
        if (pipe(p) != 0) return;
        pid = fork();
        if (pid == 0) {
            dup2(p[1], 1);
            close(p[0]);
            close(p[1]);
            const char* dev = getenv("UPDATER_NETNS_DEVICE_PID");
            execlp("nsenter", "nsenter", "-t", dev, "-n", MODSIM_EXE, "--config", path.c_str(),
                   static_cast<char*>(nullptr));
            _exit(127);
        }
        close(p[1]);
        std::string line;
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd f{p[0], POLLIN, 0};
            if (poll(&f, 1, 100) <= 0) continue;
            char c;
            if (read(p[0], &c, 1) != 1) break;
            if (c != '\n') {
                line += c;
                continue;
            }
            if (line == "ready") break;
            lines.push_back(line);
            line.clear();
        }
        close(p[0]);
        remove(path.c_str());
    }
    ~Modsim() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            int st;
            waitpid(pid, &st, 0);
        }
    }
    uint16_t port(size_t line) const {
        return static_cast<uint16_t>(
            std::stoi(lines.at(line).substr(lines.at(line).rfind(':') + 1)));
    }
};

int udpSocket(uint16_t port) {
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(s);
        return -1;
    }
    return s;
}

void sendRequest(const Bytes& request) {
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    in_addr host{};
    inet_pton(AF_INET, "10.77.0.1", &host);
    setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, &host, sizeof host);
    sockaddr_in g{};
    g.sin_family = AF_INET;
    g.sin_port = htons(9888);
    inet_pton(AF_INET, "232.2.2.2", &g.sin_addr);
    sendto(s, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&g), sizeof g);
    close(s);
}

struct Reply {
    std::string from;
    Bytes bytes;
};

std::vector<Reply> collect(int s, std::chrono::milliseconds quiet) {
    std::vector<Reply> r;
    for (;;) {
        pollfd f{s, POLLIN, 0};
        if (poll(&f, 1, static_cast<int>(quiet.count())) <= 0) return r;
        uint8_t buf[64];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = recvfrom(s, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) return r;
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
        r.push_back({text, Bytes(buf, buf + n)});
    }
}

int connectTo(const char* address, uint16_t port) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, address, &a.sin_addr);
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(s);
        return -1;
    }
    return s;
}

// Sends one packet and reads one reply packet (address, size, data).
Bytes roundTrip(int s, const Bytes& packet) {
    if (write(s, packet.data(), packet.size()) != static_cast<ssize_t>(packet.size())) return {};
    Bytes r;
    size_t want = 2;
    while (r.size() < want) {
        pollfd f{s, POLLIN, 0};
        if (poll(&f, 1, 2000) <= 0) return r;
        uint8_t b;
        if (read(s, &b, 1) != 1) return r;
        r.push_back(b);
        if (r.size() == 2) want = 2u + r[1];
    }
    return r;
}

const char* const kNetwork = R"(
discovery = 1
[module]
listen = 10.77.0.2
address = 4
serial = 0x0000A001
model = 19
router = 1
[module]
behind = 1
address = 8
serial = 0xB0B0B0B0
[module]
listen = 10.77.0.3
address = 6
serial = 0xC0FFEE02
model = 4
discovery-reply-size = 12
discovery-repeat = 2
)";

} // namespace

TEST(DiscoveryInNamespace, RepliesFromEachModulesOwnAddress) {
    if (!insideNamespace()) return;
    int rx = udpSocket(9889);
    ASSERT_GE(rx, 0);
    Modsim sim(kNetwork);
    ASSERT_EQ(sim.lines.size(), 3u);
    const uint16_t portA = sim.port(0), portB = sim.port(2);

    sendRequest(Bytes{1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_TRUE(collect(rx, 300ms).empty()) << "a 15-byte request is not answered";

    sendRequest(Bytes{1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    auto replies = collect(rx, 1000ms);
    std::map<std::string, std::vector<Bytes>> by;
    for (auto& r : replies)
        by[r.from].push_back(r.bytes);
    ASSERT_EQ(by.size(), 2u);
    ASSERT_EQ(by["10.77.0.2"].size(), 1u);
    const Bytes a = by["10.77.0.2"][0];
    ASSERT_EQ(a.size(), 16u);
    EXPECT_EQ(a[1], 4);
    EXPECT_EQ(a[2] | a[3] << 8, portA) << "port little-endian";
    EXPECT_EQ(Bytes(a.begin() + 4, a.begin() + 8), (Bytes{0x01, 0xA0, 0, 0})) << "serial LE";
    EXPECT_EQ(a[12], 19);
    ASSERT_EQ(by["10.77.0.3"].size(), 2u) << "the module set to answer twice";
    for (auto& b : by["10.77.0.3"]) {
        ASSERT_EQ(b.size(), 12u);
        EXPECT_EQ(b[1], 6);
        EXPECT_EQ(b[2] | b[3] << 8, portB);
        EXPECT_EQ(Bytes(b.begin() + 4, b.begin() + 8), (Bytes{0x02, 0xEE, 0xFF, 0xC0}));
    }
    close(rx);
}

TEST(ModulesInNamespace, LinksToEachAddressAndThroughTheRouter) {
    if (!insideNamespace()) return;
    Modsim sim(kNetwork);
    ASSERT_EQ(sim.lines.size(), 3u);
    EXPECT_EQ(sim.lines[0].rfind("listening 10.77.0.2:", 0), 0u) << sim.lines[0];
    EXPECT_EQ(sim.lines[1], "behind 10.77.0.2:" + std::to_string(sim.port(0)) + " module 8");
    EXPECT_EQ(sim.lines[2].rfind("listening 10.77.0.3:", 0), 0u) << sim.lines[2];

    int router = connectTo("10.77.0.2", sim.port(0));
    ASSERT_GE(router, 0);
    EXPECT_EQ(roundTrip(router, {173, 0}), (Bytes{4, 0}));
    EXPECT_EQ(roundTrip(router, {4, 4, 3, 0x94, 0x20, 1}), (Bytes{4, 4, 3, 0xD4, 0, 1}));
    EXPECT_EQ(roundTrip(router, {4, 7, 8, 0, 8, 2, 3, 0, 0}), (Bytes{4, 5, 8, 0, 8, 0, 0}));
    EXPECT_EQ(roundTrip(router, {8, 3, 3, 0x49, 0x20}),
              (Bytes{8, 7, 3, 9, 0, 0xB0, 0xB0, 0xB0, 0xB0}));
    close(router);

    int other = connectTo("10.77.0.3", sim.port(2));
    ASSERT_GE(other, 0);
    EXPECT_EQ(roundTrip(other, {173, 0}), (Bytes{6, 0}));
    EXPECT_EQ(roundTrip(other, {6, 3, 3, 0x49, 0x20}),
              (Bytes{6, 7, 3, 9, 0, 0xC0, 0xFF, 0xEE, 0x02}));
    close(other);
}

TEST(DiscoveryRefusal, NeverOnLoopbackOrWithoutTcp) {
    // Refused before any socket sends anything, so this runs in any namespace.
    modsim::SimOptions o;
    o.discovery = true;
    modsim::Simulator onLoopback(o);
    EXPECT_THROW(onLoopback.start(), std::runtime_error);
    o.transport = modsim::TransportKind::PtyRaw;
    modsim::Simulator onPty(o);
    EXPECT_THROW(onPty.start(), std::runtime_error);
}
