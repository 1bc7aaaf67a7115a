// Test support for the device API: a simulated module on TCP loopback, a
// Module connected to it directly (sharing off, as the updater connects),
// and scripted command handlers that let a test decide a module's replies.
#pragma once

#include <arpa/inet.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "device_api/Module.h"
#include "sim/Simulator.h"

namespace devapitest {

using Veltrane::Corvantis::aWeaveConfig;
using Veltrane::Corvantis::Module;

constexpr uint32_t kSerial = 0x00C0FFEE;
constexpr uint8_t kAddress = 4;
constexpr uint8_t kModel = 17;

inline linkSpec loopbackSpec(uint32_t serial, uint16_t port)
{
    linkSpec spec{};
    spec.type = TCPIP;
    spec.serialNumber = serial;
    spec.t.ip.ipAddress = htonl(INADDR_LOOPBACK);
    spec.t.ip.ipPort = port;
    return spec;
}

inline aWeaveConfig directConfig()
{
    aWeaveConfig config;
    config.enabled = false;
    config.fallback = false;
    return config;
}

// Answers one command byte with whatever the test's function appends.
class ScriptedHandler : public modsim::CommandHandler {
  public:
    using Reply = std::function<void(const modsim::Packet&, std::vector<modsim::Packet>&)>;
    ScriptedHandler(uint8_t command, Reply reply) : command_(command), reply_(std::move(reply)) {}
    uint8_t command() const override { return command_; }
    void handle(const modsim::Packet& in, modsim::ModuleModel&, std::vector<modsim::Packet>& out) override
    {
        reply_(in, out);
    }

  private:
    uint8_t command_;
    Reply reply_;
};

struct SimModule {
    modsim::Simulator sim;
    Module module;

    explicit SimModule(const std::string& name = "Simulated module", uint8_t constructedAddress = 2,
                       bool networking = true)
        : sim(options(name)), module(constructedAddress, networking, 0)
    {
        sim.start();
    }

    static modsim::SimOptions options(const std::string& name)
    {
        modsim::SimOptions o;
        o.module.serial = kSerial;
        o.module.address = kAddress;
        o.module.model = kModel;
        o.module.name = name;
        o.module.version = modsim::packVersion(2, 15, 3);
        o.module.build = 4242;
        return o;
    }

    linkSpec spec() const { return loopbackSpec(kSerial, sim.port()); }

    aErr connect()
    {
        module.setConfig(directConfig());
        return module.connectFromSpec(spec());
    }

    void script(uint8_t command, ScriptedHandler::Reply reply)
    {
        sim.withModel([&](modsim::ModuleModel& m) {
            m.addHandler(std::make_unique<ScriptedHandler>(command, std::move(reply)));
        });
    }

    // Every packet the module received from index `from` of its log on, in
    // its log form "rx A S D...".
    std::vector<std::string> received(size_t from = 0) { return sim.log().matching("rx 4 ", from); }
    size_t mark() { return sim.log().size(); }
};

} // namespace devapitest
