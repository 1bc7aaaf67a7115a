// Restarts over TCP: a module that starts its loader drops the connection,
// refuses connections while it restarts and listens again on the same port;
// one that never comes back; a link drop that comes back at once; the flash
// dump written when the simulator stops.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "sim/Simulator.h"
#include "tests/support/LoopbackSocket.h"

using namespace modsim;
using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

namespace {

using testsupport::connectTo;
using testsupport::readFor;

// Connects as soon as the module listens again; -1 after the time-out.
int reconnect(uint16_t port, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        int fd = connectTo(port);
        if (fd >= 0) return fd;
        std::this_thread::sleep_for(10ms);
    }
    return -1;
}

// INIT, a 4-byte loader and LOAD, as wire bytes.
const Bytes kLoaderAndLoad = {6, 2, 95, 0, 6, 7, 95, 3, 0, 0x10, 0,  0, 0,
                              6, 6, 95, 1, 1, 2, 3,  4, 6, 2,    95, 2};

SimOptions module6() {
    SimOptions o;
    o.module.address = 6;
    o.module.upgrade.restartMs = 300;
    return o;
}

} // namespace

TEST(SimulatorRestart, LoaderStartDropsTheLinkAndComesBackOnTheSamePort) {
    Simulator sim(module6());
    sim.start();
    int c = connectTo(sim.port());
    ASSERT_GE(c, 0);
    ASSERT_EQ(write(c, kLoaderAndLoad.data(), kLoaderAndLoad.size()),
              ssize_t(kLoaderAndLoad.size()));
    Bytes replies = readFor(c, 8 + 7 + 5 + 4, 2s);
    ASSERT_EQ(replies.size(), 24u);
    EXPECT_EQ(Bytes(replies.end() - 4, replies.end()), (Bytes{6, 2, 95, 2})) << "LOAD answered";
    bool eof = false;
    readFor(c, 1, 2s, &eof);
    EXPECT_TRUE(eof) << "the connection drops";
    const auto dropped = Clock::now();
    close(c);
    EXPECT_EQ(connectTo(sim.port()), -1) << "refused while restarting";
    c = reconnect(sim.port(), 3s);
    ASSERT_GE(c, 0);
    EXPECT_GE(Clock::now() - dropped, 200ms);
    const Bytes ask = {6, 6, 73, 1, 95, 10, 0, 0x80};
    ASSERT_EQ(write(c, ask.data(), ask.size()), ssize_t(ask.size()));
    EXPECT_EQ(readFor(c, 8, 2s), (Bytes{6, 6, 73, 1, 95, 10, 0, 0})) << "the loader answers";
    close(c);
    EXPECT_EQ(sim.restarts(), 1u);
    EXPECT_TRUE(sim.log().waitFor("restarted load", 1s));
}

TEST(SimulatorRestart, AModuleThatNeverComesBack) {
    SimOptions o = module6();
    o.module.upgrade.restartMs = 50;
    o.module.upgrade.neverReturn = NeverReturn::AfterLoad;
    Simulator sim(o);
    sim.start();
    int c = connectTo(sim.port());
    ASSERT_GE(c, 0);
    ASSERT_EQ(write(c, kLoaderAndLoad.data(), kLoaderAndLoad.size()),
              ssize_t(kLoaderAndLoad.size()));
    bool eof = false;
    readFor(c, 100, 2s, &eof);
    EXPECT_TRUE(eof);
    close(c);
    EXPECT_EQ(reconnect(sim.port(), 600ms), -1);
    EXPECT_TRUE(sim.log().waitFor("gone", 1s));
    const auto t = Clock::now();
    sim.stop();
    EXPECT_LT(Clock::now() - t, 2s);
}

TEST(SimulatorRestart, LinkDropComesBackAtOnceAndStopDumpsTheFlash) {
    SimOptions o = module6();
    o.module.upgrade.dropAtData = 1;
    o.module.upgrade.flashDump =
        testing::TempDir() + "modsim-stop-dump-" + std::to_string(getpid());
    remove(o.module.upgrade.flashDump.c_str());
    Simulator sim(o);
    sim.start();
    int c = connectTo(sim.port());
    ASSERT_GE(c, 0);
    const Bytes chunk = {6, 4, 95, 1, 9, 9};
    ASSERT_EQ(write(c, chunk.data(), chunk.size()), ssize_t(chunk.size()));
    bool eof = false;
    EXPECT_TRUE(readFor(c, 10, 2s, &eof).empty());
    EXPECT_TRUE(eof);
    close(c);
    c = connectTo(sim.port());
    EXPECT_GE(c, 0) << "no restart pause after a link drop";
    if (c >= 0) close(c);
    EXPECT_EQ(sim.restarts(), 0u);

    sim.withModel([](ModuleModel& m) {
        const Bytes b = {1, 2, 3};
        ASSERT_TRUE(m.flash().write(2, b.data(), b.size()));
    });
    EXPECT_EQ(sim.readFlash(0, 6), (Bytes{0xFF, 0xFF, 1, 2, 3, 0xFF}));
    sim.stop();
    std::ifstream in(o.module.upgrade.flashDump, std::ios::binary);
    Bytes dumped((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(dumped, (Bytes{0xFF, 0xFF, 1, 2, 3}));
    remove(o.module.upgrade.flashDump.c_str());
}
