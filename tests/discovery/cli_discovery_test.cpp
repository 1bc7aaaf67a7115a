// Updater -D -t TCPIP and -D -r ROUTER end to end: the Updater executable
// finds simulated modules (the modsim executable, started in the device
// namespace) by TCP/IP discovery or behind a router, and prints the device
// table. Runs only inside the private namespaces of tools/netns-run.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "tests/discovery/ModuleNetwork.h"

namespace {

using namespace netnstest;

struct RunResult {
    int status = -1;
    std::vector<std::string> lines;
};

RunResult sRun(const std::string& command)
{
    RunResult result;
    FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
    if (!pipe)
        return result;
    char line[512];
    while (fgets(line, sizeof line, pipe)) {
        std::string text(line);
        if (!text.empty() && text.back() == '\n')
            text.pop_back();
        result.lines.push_back(text);
    }
    const int raw = pclose(pipe);
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return result;
}

std::string sUpdater(const ModuleNetwork& net, const std::string& args)
{
    return std::string(UPDATER_BINARY_DIR) + "/Updater -i " + net.storeRoot() + " " + args;
}

// The lines after the version line; rows in any order, since modules answer
// discovery concurrently.
void sExpectTable(const RunResult& run, const std::vector<std::string>& head, const std::set<std::string>& rows)
{
    ASSERT_EQ(run.status, 0);
    ASSERT_EQ(run.lines.size(), 1 + head.size() + rows.size()) << testing::PrintToString(run.lines);
    EXPECT_EQ(std::vector<std::string>(run.lines.begin() + 1, run.lines.begin() + 1 + head.size()), head);
    EXPECT_EQ(std::set<std::string>(run.lines.begin() + 1 + head.size(), run.lines.end()), rows);
}

const std::string kTcpHeader = "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]       "
                               "Device Name";

TEST(CliDiscovery, TcpipDeviceTable)
{
    REQUIRE_PRIVATE_NETNS();
    ModuleNetwork net("discovery = 1\n"
                      "[module]\nlisten = 10.77.0.2\naddress = 4\nserial = 0x0000A001\nmodel = 17\n"
                      "version = 2.10.3\nbuild = 1234\nname = Old bench hub\n"
                      "[module]\nlisten = 10.77.0.3\naddress = 6\nserial = 0xC0FFEE02\nmodel = 19\n"
                      "version = 2.10.4\nbuild = 5678\nname = Lab switch\n"
                      "[module]\nlisten = 10.77.0.4\naddress = 8\nserial = 0x00B0B0B0\nmodel = 13\n"
                      "version = 2.15.0\nbuild = 99\nname = Short build\nbuild-reply-size = 5\n",
                      3);
    ASSERT_TRUE(net.ready()) << "modsim did not come up";
    const RunResult run = sRun(sUpdater(net, "-D -t TCPIP"));
    sExpectTable(run, {"Searching for Corvantis devices", "Discovered Devices: (TCPIP)", kTcpHeader},
                 {
                     "    0000A001  04       04      Fesmir         2.10.3 (      1234)        [10.77.0.2]        ",
                     "    C0FFEE02  06       06      Zorbel         2.10.4 (      5678)        [10.77.0.3]        "
                     "Lab switch",
                     "    00B0B0B0  08       08      Pellix         2.15.0 (         0)        [10.77.0.4]        "
                     "Short build",
                 });
}

TEST(CliDiscovery, NoDevicesFound)
{
    REQUIRE_PRIVATE_NETNS();
    ModuleNetwork net("discovery = 0\n[module]\nlisten = 10.77.0.2\n", 0);
    const RunResult run = sRun(sUpdater(net, "-D -t TCPIP"));
    sExpectTable(run, {"Searching for Corvantis devices", "Discovered Devices: (TCPIP)", "    No devices found."}, {});
}

TEST(CliDiscovery, RouterScanListsTheModulesBehindIt)
{
    REQUIRE_PRIVATE_NETNS();
    ModuleNetwork net("discovery = 1\n"
                      "[module]\nlisten = 10.77.0.2\naddress = 4\nserial = 0x0000A001\nrouter = 1\n"
                      "route-default = 0\nmodel = 17\n"
                      "[module]\nbehind = 1\naddress = 2\nserial = 0xB0B0B002\nmodel = 19\nversion = 2.15.1\n"
                      "build = 77\n"
                      "[module]\nbehind = 1\naddress = 252\nserial = 0xB0B0B0FC\nmodel = 13\nversion = 2.12.0\n"
                      "build = 88\n",
                      1);
    ASSERT_TRUE(net.ready()) << "modsim did not come up";
    const RunResult run = sRun(sUpdater(net, "-D -r 0000A001"));
    sExpectTable(run,
                 {"Searching for Corvantis Network devices connected to 0000A001", "Discovered Devices: (Unknown)",
                  kTcpHeader},
                 {
                     "    B0B0B002  02       04      Zorbel         2.15.1 (        77)        [10.77.0.2]        ",
                     "    B0B0B0FC  FC       04      Pellix         2.12.0 (        88)        [10.77.0.2]        ",
                 });

    // The scan probed every even address from 2 to 252 except the router's
    // own, each with a 2-byte write, and routed only while it scanned.
    std::set<int> probed;
    for (const std::string& line : readLines(net.logPath())) {
        int address = 0, length = 0;
        if (std::sscanf(line.c_str(), "rx 4 7 8 0 %d %d", &address, &length) == 2 && length == 2)
            probed.insert(address);
    }
    std::set<int> expected;
    for (int a = 2; a <= 252; a += 2)
        if (a != 4)
            expected.insert(a);
    EXPECT_EQ(probed, expected);
    EXPECT_GE(net.count("route on"), 1u);
    EXPECT_GE(net.count("route off"), 1u);
}

TEST(CliDiscovery, UnknownRouterGivesAnEmptyList)
{
    REQUIRE_PRIVATE_NETNS();
    ModuleNetwork net("discovery = 1\n[module]\nlisten = 10.77.0.2\nserial = 0x0000A001\n", 1);
    ASSERT_TRUE(net.ready());
    const RunResult run = sRun(sUpdater(net, "-D -r 0BADBEEF"));
    sExpectTable(run,
                 {"Searching for Corvantis Network devices connected to 0BADBEEF", "Discovered Devices: (Unknown)",
                  "    No devices found."},
                 {});
}

} // namespace
