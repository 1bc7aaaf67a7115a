// Test support for anything that can send TCP/IP discovery traffic: whether
// the test runs inside the private namespaces of tools/netns-run, and sockets
// made inside its device namespace (where simulated modules live).
#pragma once

#include <fcntl.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace netnstest {

// Inside tools/netns-run: its marker is set and this namespace has no
// default route, so nothing sent here can leave the machine.
inline bool insidePrivateNamespace()
{
    const char* marker = std::getenv("UPDATER_NETNS");
    if (!marker || std::string(marker) != "1")
        return false;
    std::ifstream routes("/proc/net/route");
    if (!routes)
        return false;
    std::string line;
    std::getline(routes, line); // header
    while (std::getline(routes, line)) {
        std::istringstream fields(line);
        std::string device, destination;
        fields >> device >> destination;
        if (destination == "00000000")
            return false;
    }
    return true;
}

#define REQUIRE_PRIVATE_NETNS()                                                                      \
    do {                                                                                             \
        if (!netnstest::insidePrivateNamespace())                                                    \
            GTEST_SKIP() << "needs the private network namespaces of tools/netns-run";              \
    } while (0)

inline std::vector<std::string> deviceAddresses()
{
    std::vector<std::string> out;
    if (const char* list = std::getenv("UPDATER_NETNS_DEVICE_ADDRESSES")) {
        std::istringstream in(list);
        for (std::string a; in >> a;)
            out.push_back(a);
    }
    return out;
}

// Runs fn on a thread that has entered the device namespace, so sockets it
// makes belong there (a socket keeps its namespace for good). False when the
// namespace cannot be entered.
template <typename Fn> bool inDeviceNamespace(Fn fn)
{
    const char* pid = std::getenv("UPDATER_NETNS_DEVICE_PID");
    if (!pid)
        return false;
    bool entered = false;
    std::thread worker([&] {
        const int ns = open(("/proc/" + std::string(pid) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
        if (ns < 0)
            return;
        entered = setns(ns, CLONE_NEWNET) == 0;
        close(ns);
        if (entered)
            fn();
    });
    worker.join();
    return entered;
}

} // namespace netnstest
