// UpgradeBench: one simulated module on 127.0.0.1 (in this process) and a
// Module connected to it straight from its address, with no discovery, so
// the upgrade conversation can be driven step by step and checked against
// what the module received and what its flash holds. Also captures the debug
// trace so tests can look at it.
#pragma once

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/Log.h"
#include "device_api/Module.h"
#include "sim/Simulator.h"

using Bytes = std::vector<uint8_t>;

// The packets the module received, as data byte lists (address and size
// dropped), from its event log lines "rx A S D...".
inline std::vector<Bytes> ReceivedData(modsim::Simulator& sim, size_t from = 0)
{
    std::vector<Bytes> out;
    for (const std::string& line : sim.log().matching("rx ", from)) {
        std::istringstream in(line.substr(3));
        unsigned address = 0, size = 0, byte = 0;
        in >> address >> size;
        Bytes data;
        while (in >> byte)
            data.push_back(static_cast<uint8_t>(byte));
        out.push_back(data);
    }
    return out;
}

// Captures Log output for the life of the object.
class TraceCapture {
  public:
    explicit TraceCapture(uint32_t packages)
    {
        file_ = std::tmpfile();
        Log::SetOutput(file_);
        Log::ActivatePackage(packages);
        packages_ = packages;
    }
    ~TraceCapture()
    {
        Log::DeactivatePackage(packages_);
        Log::SetOutput(nullptr);
        std::fclose(file_);
    }
    std::string Text()
    {
        std::fflush(file_);
        std::rewind(file_);
        std::string text;
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0)
            text.append(buffer, n);
        std::fseek(file_, 0, SEEK_END);
        return text;
    }
    size_t Count(const std::string& needle)
    {
        const std::string text = Text();
        size_t count = 0;
        for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
            ++count;
        return count;
    }

  private:
    FILE* file_ = nullptr;
    uint32_t packages_ = 0;
};

struct UpgradeBench {
    modsim::Simulator sim;
    Veltrane::Corvantis::Module module{0, 0};

    explicit UpgradeBench(modsim::SimOptions options) : sim(std::move(options)) { sim.start(); }

    // Connects to the module's listener as the updater does: no sharing
    // server, no fallback.
    aErr Connect()
    {
        Veltrane::Corvantis::aWeaveConfig config;
        config.enabled = false;
        config.fallback = false;
        aErr err = module.setConfig(config);
        if (err != aErrNone)
            return err;
        linkSpec spec{};
        spec.type = TCPIP;
        spec.serialNumber = Serial();
        spec.t.ip.ipAddress = htonl(INADDR_LOOPBACK);
        spec.t.ip.ipPort = sim.port();
        return module.connectFromSpec(spec);
    }
    // The module's last event log lines, for failure messages.
    std::string LogTail(size_t n = 30)
    {
        const std::vector<std::string> lines = sim.log().lines();
        std::string out;
        for (size_t i = lines.size() > n ? lines.size() - n : 0; i < lines.size(); ++i)
            out += lines[i] + "\n";
        return out;
    }
    uint32_t Serial()
    {
        uint32_t serial = 0;
        sim.withModel([&](modsim::ModuleModel& m) { serial = m.config().serial; });
        return serial;
    }
    Bytes Flash(uint32_t address, size_t length)
    {
        Bytes out;
        sim.withModel([&](modsim::ModuleModel& m) { out = m.flash().read(address, length); });
        return out;
    }
    bool InLoader()
    {
        bool loader = false;
        sim.withModel([&](modsim::ModuleModel& m) { loader = m.inLoader(); });
        return loader;
    }
    // After the module announced a restart (log line "restarted ..." from
    // index `from` on), reaches it anew; bounded.
    bool AwaitRestarted(size_t from, int timeoutMs = 5000)
    {
        if (!sim.log().waitFor("restarted ", std::chrono::milliseconds(timeoutMs), from, true))
            return false;
        module.disconnect();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < deadline) {
            if (module.reconnect() == aErrNone && module.isConnected())
                return true;
            module.disconnect();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
};

// A BIRD image block: big-endian address word, then the image.
inline Bytes ImageBlock(uint32_t address, const Bytes& image)
{
    Bytes block(4 + image.size());
    for (int i = 0; i < 4; ++i)
        block[i] = static_cast<uint8_t>(address >> (24 - 8 * i));
    std::copy(image.begin(), image.end(), block.begin() + 4);
    return block;
}

// Deterministic image bytes that are not all alike.
inline Bytes Pattern(size_t size, uint32_t seed)
{
    Bytes out(size);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& b : out) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return out;
}
