// The simulator over its real transports: TCP on 127.0.0.1 and
// pseudo-terminals, driven by plain sockets and file descriptors from the
// test; fault injection on the wire; the modsim executable's start line,
// settings errors and clean stop on SIGTERM.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/Cobs.h"
#include "sim/Simulator.h"
#include "tests/support/LoopbackSocket.h"

using namespace modsim;
using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

namespace {

using testsupport::connectTo;
using testsupport::readFor;

void sendAll(int fd, const Bytes& b) {
    ASSERT_EQ(write(fd, b.data(), b.size()), ssize_t(b.size()));
}

int openTerminal(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
    return fd;
}

Bytes frame(const Bytes& packet) {
    Bytes body = packet;
    body.push_back(crc8(body.data(), body.size()));
    Bytes f = cobsEncode(body.data(), body.size());
    f.push_back(0);
    return f;
}

SimOptions moduleAt4() {
    SimOptions o;
    o.module.address = 4;
    o.module.serial = 0x00C0FFEE;
    return o;
}

} // namespace

TEST(SimulatorTcp, AnswersAndAcceptsAgainAfterClose) {
    Simulator sim(moduleAt4());
    sim.start();
    ASSERT_NE(sim.port(), 0);
    EXPECT_EQ(sim.announcement(), "listening 127.0.0.1:" + std::to_string(sim.port()));

    int c = connectTo(sim.port());
    ASSERT_GE(c, 0);
    sendAll(c, {173, 0, 173, 0, 175, 1, 1, 4, 3, 3, 0x49, 0x20});
    EXPECT_EQ(readFor(c, 13, 2s), (Bytes{4, 0, 4, 0, 4, 7, 3, 9, 0, 0x00, 0xC0, 0xFF, 0xEE}));
    EXPECT_TRUE(sim.log().waitFor("route on", 2s));
    close(c);
    EXPECT_TRUE(sim.log().waitFor("conn-closed 1 peer-closed", 2s));

    c = connectTo(sim.port());
    ASSERT_GE(c, 0);
    sendAll(c, {173, 0});
    EXPECT_EQ(readFor(c, 2, 2s), (Bytes{4, 0}));
    EXPECT_EQ(sim.connections(), 2u);
    close(c);
}

TEST(SimulatorTcp, StrictFramingIsLoggedAndDoesNotStopAnswers) {
    Simulator sim(moduleAt4());
    sim.start();
    int c = connectTo(sim.port());
    ASSERT_GE(c, 0);
    sendAll(c, {7, 0, 4, 29, 173, 0});
    EXPECT_EQ(readFor(c, 2, 2s), (Bytes{4, 0}));
    auto rejects = sim.log().matching("reject ");
    EXPECT_EQ(rejects, (std::vector<std::string>{"reject odd-address 7", "reject zero-address 0",
                                                 "reject oversize-length 4 29"}));
    close(c);
}

TEST(SimulatorTcp, GarbageAndByteFaultsReachTheWire) {
    SimOptions o = moduleAt4();
    o.faults.garbage = {9, 0};
    o.faults.dropBytes = {3}; // the zero of the first answer
    Simulator sim(o);
    sim.start();
    int c = connectTo(sim.port());
    ASSERT_GE(c, 0);
    sendAll(c, {173, 0});
    sendAll(c, {173, 0});
    EXPECT_EQ(readFor(c, 5, 2s), (Bytes{9, 0, 4, 4, 0}));
    EXPECT_EQ(sim.log().matching("fault "),
              (std::vector<std::string>{"fault garbage 9 0", "fault drop 3 0"}));
    close(c);
}

TEST(SimulatorTcp, CloseAfterEndsOnlyTheFirstConnection) {
    SimOptions o = moduleAt4();
    o.faults.closeAfter = 2;
    Simulator sim(o);
    sim.start();
    int c = connectTo(sim.port());
    ASSERT_GE(c, 0);
    sendAll(c, {173, 0, 173, 0, 173, 0});
    bool eof = false;
    EXPECT_EQ(readFor(c, 10, 2s, &eof), (Bytes{4, 0, 4, 0}));
    EXPECT_TRUE(eof) << "the module closed the connection";
    close(c);

    c = connectTo(sim.port());
    ASSERT_GE(c, 0);
    sendAll(c, {173, 0, 173, 0, 173, 0});
    EXPECT_EQ(readFor(c, 6, 2s), (Bytes{4, 0, 4, 0, 4, 0}));
    close(c);
}

TEST(SimulatorTcp, MuteAndCloseFromTheApi) {
    Simulator sim(moduleAt4());
    sim.start();
    int c = connectTo(sim.port());
    ASSERT_GE(c, 0);
    sendAll(c, {173, 0});
    ASSERT_EQ(readFor(c, 2, 2s), (Bytes{4, 0}));
    sim.setMuted(true);
    sendAll(c, {173, 0});
    EXPECT_TRUE(sim.log().waitFor("rx 173 0", 2s, 3));
    EXPECT_TRUE(readFor(c, 2, 300ms).empty()) << "a muted module answers nothing";
    sim.setMuted(false);
    sendAll(c, {173, 0});
    EXPECT_EQ(readFor(c, 2, 2s), (Bytes{4, 0}));

    sim.closeConnection();
    bool eof = false;
    readFor(c, 1, 2s, &eof);
    EXPECT_TRUE(eof);
    close(c);
    EXPECT_TRUE(sim.log().waitFor("conn-closed 1 closed", 2s));
}

TEST(SimulatorTcp, HeartbeatsAndTheirAnswersAreRecorded) {
    SimOptions o = moduleAt4();
    o.module.heartbeatMs = 50;
    o.module.heartbeatCode = 1;
    Simulator sim(o);
    sim.start();
    int c = connectTo(sim.port());
    ASSERT_GE(c, 0);
    EXPECT_EQ(readFor(c, 4, 2s), (Bytes{4, 2, 0, 1}));
    sendAll(c, {4, 2, 0, 3});
    EXPECT_TRUE(sim.log().waitFor("hb-answer 3 ok", 2s));
    sim.setHeartbeatInterval(0);
    EXPECT_EQ(sim.heartbeatAnswers(), Bytes{3});
    close(c);
}

TEST(SimulatorPty, CobsFramesBothWays) {
    SimOptions o = moduleAt4();
    o.transport = TransportKind::PtyCobs;
    Simulator sim(o);
    sim.start();
    ASSERT_FALSE(sim.ptyPath().empty());
    int t = openTerminal(sim.ptyPath());
    ASSERT_GE(t, 0);

    Bytes bad = frame({4, 3, 3, 0x49, 0x20});
    bad[bad.size() - 2] ^= 0x40;
    Bytes in = {0, 0}; // stray delimiters are ignored
    for (const Bytes& part : {bad, frame({173, 0}), frame({4, 3, 3, 0x48, 0x20})})
        in.insert(in.end(), part.begin(), part.end());
    sendAll(t, in);

    Bytes want = frame({4, 0});
    Bytes model = frame({4, 4, 3, 8, 0, 19});
    want.insert(want.end(), model.begin(), model.end());
    EXPECT_EQ(readFor(t, want.size(), 2s), want);
    EXPECT_EQ(sim.log().matching("reject ").size(), 1u);
    EXPECT_EQ(sim.log().matching("reject crc").size(), 1u);
    close(t);

    // The line stays usable after the host closes and reopens it.
    t = openTerminal(sim.ptyPath());
    ASSERT_GE(t, 0);
    sendAll(t, frame({173, 0}));
    EXPECT_EQ(readFor(t, frame({4, 0}).size(), 2s), frame({4, 0}));
    close(t);
}

TEST(SimulatorPty, PlainBytesAndHangUp) {
    SimOptions o = moduleAt4();
    o.transport = TransportKind::PtyRaw;
    o.ptyLink = testing::TempDir() + "modsim-pty-link-" + std::to_string(getpid());
    Simulator sim(o);
    sim.start();
    EXPECT_EQ(sim.announcement(), "pty " + o.ptyLink);
    int t = openTerminal(o.ptyLink);
    ASSERT_GE(t, 0);
    sendAll(t, {173, 0, 4, 4, 23, 10, 13, 0});
    EXPECT_EQ(readFor(t, 8, 2s), (Bytes{4, 0, 4, 4, 23, 10, 13, 0})) << "bytes pass untranslated";
    sim.closeConnection();
    for (int i = 0; i < 200 && sim.running(); ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_FALSE(sim.running()) << "a hung-up line ends the transport";
    close(t);
    sim.stop();
    EXPECT_NE(access(o.ptyLink.c_str(), F_OK), 0) << "the link is removed on stop";
}

namespace {

struct Child {
    pid_t pid = -1;
    int out = -1;
};

Child spawn(const std::vector<std::string>& args) {
    int p[2];
    if (pipe(p) != 0) return {};
    pid_t pid = fork();
    if (pid == 0) {
        dup2(p[1], 1);
        close(p[0]);
        close(p[1]);
        std::vector<char*> argv;
        std::string exe = MODSIM_EXE;
        argv.push_back(exe.data());
        std::vector<std::string> copy = args;
        for (auto& a : copy)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    close(p[1]);
    return {pid, p[0]};
}

// Exit status, or -1 when it did not end within the time-out (then killed).
int waitExit(pid_t pid, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        std::this_thread::sleep_for(10ms);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

} // namespace

TEST(ModsimExecutable, AnnouncesServesLogsAndStopsOnSigterm) {
    std::string logPath = testing::TempDir() + "modsim-exe-" + std::to_string(getpid()) + ".log";
    remove(logPath.c_str());
    Child ch = spawn({"--port", "0", "--address", "8", "--log", logPath});
    ASSERT_GT(ch.pid, 0);
    std::string text;
    while (text.find('\n') == std::string::npos) {
        Bytes b = readFor(ch.out, 1, 5s);
        if (b.empty()) break;
        text += char(b[0]);
    }
    ASSERT_EQ(text.rfind("listening 127.0.0.1:", 0), 0u) << text;
    int port = std::stoi(text.substr(strlen("listening 127.0.0.1:")));
    int c = connectTo(static_cast<uint16_t>(port));
    ASSERT_GE(c, 0);
    sendAll(c, {173, 0});
    EXPECT_EQ(readFor(c, 2, 2s), (Bytes{8, 0}));
    close(c);
    kill(ch.pid, SIGTERM);
    EXPECT_EQ(waitExit(ch.pid, 5s), 0);
    close(ch.out);
    std::ifstream in(logPath);
    std::stringstream all;
    all << in.rdbuf();
    EXPECT_NE(all.str().find("rx 173 0\ntx 8 0\n"), std::string::npos) << all.str();
    remove(logPath.c_str());
}

TEST(ModsimExecutable, BadSettingsExitWithTwo) {
    Child ch = spawn({"--address", "7"});
    ASSERT_GT(ch.pid, 0);
    EXPECT_EQ(waitExit(ch.pid, 5s), 2);
    close(ch.out);
}

TEST(SimulatorPty, LinkPathNeverReplacesARealFile) {
    std::string path = testing::TempDir() + "modsim-not-a-link-" + std::to_string(getpid());
    std::ofstream(path) << "keep me";
    SimOptions o = moduleAt4();
    o.transport = TransportKind::PtyCobs;
    o.ptyLink = path;
    Simulator sim(o);
    EXPECT_THROW(sim.start(), std::runtime_error);
    std::ifstream in(path);
    std::string text;
    std::getline(in, text);
    EXPECT_EQ(text, "keep me");
    remove(path.c_str());
}
