// Tests of the command dispatch against a recording double of the flows, and
// of the printed device table, build list, fingerprint and token.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "RecordingDisplay.h"
#include "app/CommandDispatch.h"
#include "app/Printers.h"

namespace {

// Records every flow call as text and answers with preset results.
struct RecordingUpdater : UpdaterApi {
    std::vector<std::string> calls;
    std::vector<DeviceInfo> devices;
    uint32_t downloadResult = 0;
    bool updateResult = false;
    bool recoverResult = false;
    bool fingerprintResult = false;
    BuildList builds;
    std::string token;

    std::vector<DeviceInfo> Discover_Devices(linkType type) override
    {
        calls.push_back("Discover_Devices " + std::to_string(type));
        return devices;
    }
    std::vector<DeviceInfo> Discover_CVNetwork_Devices(uint32_t router, linkType type) override
    {
        calls.push_back("Discover_CVNetwork_Devices " + Hex(router) + " " + std::to_string(type));
        return devices;
    }
    uint32_t Download_Firmware(uint32_t serial, std::string build, bool override, bool noCal) override
    {
        calls.push_back("Download_Firmware " + Hex(serial) + " '" + build + "' " + Flag(override) + " " + Flag(noCal));
        return downloadResult;
    }
    bool Update_Firmware(uint32_t serial, uint32_t build, std::string bird, uint8_t module, uint32_t router,
                         bool override) override
    {
        calls.push_back("Update_Firmware " + Hex(serial) + " " + std::to_string(build) + " '" + bird + "' " +
                        std::to_string(module) + " " + Hex(router) + " " + Flag(override));
        return updateResult;
    }
    bool Recover_Firmware(std::string port, uint32_t build, uint32_t baud, uint32_t serial, std::string bird,
                          bool override) override
    {
        calls.push_back("Recover_Firmware " + port + " " + std::to_string(build) + " " + std::to_string(baud) + " " +
                        Hex(serial) + " '" + bird + "' " + Flag(override));
        return recoverResult;
    }
    bool Get_Fingerprint(Fingerprint& out, std::string port, uint32_t serial, std::string bird, uint32_t baud,
                         bool resetAfter) override
    {
        calls.push_back("Get_Fingerprint " + port + " " + Hex(serial) + " '" + bird + "' " + std::to_string(baud) +
                        " " + Flag(resetAfter));
        if (fingerprintResult)
            out = Fingerprint{{0x1, 0x2345678, 0x9ABCDEF0, 0xFFFFFFFF}};
        return fingerprintResult;
    }
    BuildList Get_BuildList(uint32_t serial) override
    {
        calls.push_back("Get_BuildList " + Hex(serial));
        return builds;
    }
    BuildList Get_BuildListLocal(uint32_t serial) override
    {
        calls.push_back("Get_BuildListLocal " + Hex(serial));
        return builds;
    }
    std::string Get_JWT(uint32_t serial) override
    {
        calls.push_back("Get_JWT " + Hex(serial));
        return token;
    }
    void Set_UEIBytes_Load(bool use) override { calls.push_back("Set_UEIBytes_Load " + Flag(use)); }

    static std::string Hex(uint32_t v)
    {
        char text[16];
        snprintf(text, sizeof text, "%08X", v);
        return text;
    }
    static std::string Flag(bool b) { return b ? "true" : "false"; }
};

Parameters With(uint32_t commands)
{
    Parameters p;
    p.commands.Set(commands);
    return p;
}

// Reverses key order, to show that the printer uses the order it is given.
BuildOrder Reversed(const BuildList& builds)
{
    return BuildOrder(builds.rbegin(), builds.rend());
}

struct Dispatch : ::testing::Test {
    int Run(Parameters p) { return _run_commands(p, updater, display, Reversed); }
    RecordingUpdater updater;
    RecordingDisplay display;
};

TEST_F(Dispatch, FixedOrderAndExitStatus)
{
    struct Case {
        const char* name;
        Parameters params;
        // preset results
        uint32_t download;
        bool update, recover, fingerprint;
        int status;
        std::vector<std::string> calls;
    };
    auto p = [](uint32_t commands, auto&& tweak) {
        Parameters params = With(commands);
        tweak(params);
        return params;
    };
    auto serial = [](Parameters& q) { q.deviceSerial = 0x40F5849A; };
    auto port = [](Parameters& q) { q.serialPort = "/dev/ttyS1"; };
    const Case cases[] = {
        {"no command runs nothing", p(CMD_INFO | CMD_CHECK_BIRD | CMD_Z, serial), 0, false, false, false, 0, {}},
        {"-G then -U updates to the build just stored",
         p(CMD_GET_BUILD | CMD_UPDATE, serial), 1234, true, false, false, 0,
         {"Download_Firmware 40F5849A '' false false", "Set_UEIBytes_Load true",
          "Update_Firmware 40F5849A 1234 '' 0 00000000 false"}},
        {"failed -G leaves the build to the update, whose result decides",
         p(CMD_GET_BUILD | CMD_UPDATE, serial), 0, true, false, false, 0,
         {"Download_Firmware 40F5849A '' false false", "Set_UEIBytes_Load true",
          "Update_Firmware 40F5849A 0 '' 0 00000000 false"}},
        {"failed update exits 1", p(CMD_UPDATE, serial), 0, false, false, false, 1,
         {"Set_UEIBytes_Load true", "Update_Firmware 40F5849A 0 '' 0 00000000 false"}},
        {"-G alone failing exits 1", p(CMD_GET_BUILD, serial), 0, false, false, false, 1,
         {"Download_Firmware 40F5849A '' false false"}},
        {"-G alone succeeding exits 0", p(CMD_GET_BUILD, serial), 7, false, false, false, 0,
         {"Download_Firmware 40F5849A '' false false"}},
        {"-N runs first; a failed -N does not stop -D, which exits 0",
         p(CMD_DISCOVER | CMD_FINGERPRINT, port), 0, false, false, false, 0,
         {"Get_Fingerprint /dev/ttyS1 BDDEADFA '' 115200 true", "Discover_Devices 1"}},
        {"a failed -N alone exits 1", p(CMD_FINGERPRINT, port), 0, false, false, false, 1,
         {"Get_Fingerprint /dev/ttyS1 BDDEADFA '' 115200 true"}},
        {"a failed -N then a good -G exits 0", p(CMD_FINGERPRINT | CMD_GET_BUILD, [&](Parameters& q) { port(q); serial(q); }),
         5, false, false, false, 0,
         {"Get_Fingerprint /dev/ttyS1 BDDEADFA '' 115200 true", "Download_Firmware 40F5849A '' false false"}},
        {"a good -N then a failed -G exits 1", p(CMD_FINGERPRINT | CMD_GET_BUILD, [&](Parameters& q) { port(q); serial(q); }),
         0, false, false, true, 1,
         {"Get_Fingerprint /dev/ttyS1 BDDEADFA '' 115200 true", "Download_Firmware 40F5849A '' false false"}},
        {"a failed -G does not change the exit of -B", p(CMD_GET_BUILD | CMD_LIST_BUILDS, serial), 0, false, false, false, 0,
         {"Download_Firmware 40F5849A '' false false", "Get_BuildList 40F5849A"}},
        {"-D beats -U", p(CMD_DISCOVER | CMD_UPDATE, serial), 0, false, false, false, 0, {"Discover_Devices 1"}},
        {"-B beats -L", p(CMD_LIST_BUILDS | CMD_LIST_LOCAL_BUILDS, serial), 0, false, false, false, 0,
         {"Get_BuildList 40F5849A"}},
        {"-U beats -B", p(CMD_LIST_BUILDS | CMD_UPDATE, serial), 0, true, false, false, 0,
         {"Set_UEIBytes_Load true", "Update_Firmware 40F5849A 0 '' 0 00000000 false"}},
        {"-L beats -J", p(CMD_LIST_LOCAL_BUILDS | CMD_GET_JWT, serial), 0, false, false, false, 0,
         {"Get_BuildListLocal 40F5849A"}},
        {"-J alone", p(CMD_GET_JWT, serial), 0, false, false, false, 0, {"Get_JWT 40F5849A"}},
        {"recovery needs no device and passes the serial options",
         p(CMD_UPDATE,
           [](Parameters& q) {
               q.transport = TRANSPORT_RECOVER;
               q.serialPort = "/dev/ttyUSB0";
               q.baudRate = 9600;
               q.buildNumber = "77";
               q.birdFile = "r.bird";
               q.useUEIBytes = false;
               q.override = true;
           }),
         0, false, true, false, 0,
         {"Set_UEIBytes_Load false", "Recover_Firmware /dev/ttyUSB0 77 9600 00000000 'r.bird' true"}},
        {"failed recovery exits 1", p(CMD_UPDATE, [](Parameters& q) { q.transport = TRANSPORT_RECOVER; }), 0, false,
         false, false, 1, {"Set_UEIBytes_Load true", "Recover_Firmware  0 115200 00000000 '' false"}},
        {"update passes build, file, router and override",
         p(CMD_UPDATE,
           [](Parameters& q) {
               q.deviceSerial = 0x2181F0EE;
               q.routerSerial = 0xD272031D;
               q.buildNumber = "99528558";
               q.birdFile = "f.bird";
               q.override = true;
           }),
         0, true, false, false, 0,
         {"Set_UEIBytes_Load true", "Update_Firmware 2181F0EE 99528558 'f.bird' 0 D272031D true"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        updater = RecordingUpdater{};
        updater.downloadResult = c.download;
        updater.updateResult = c.update;
        updater.recoverResult = c.recover;
        updater.fingerprintResult = c.fingerprint;
        EXPECT_EQ(Run(c.params), c.status);
        EXPECT_EQ(updater.calls, c.calls);
    }
}

TEST_F(Dispatch, MissingDeviceOrPortStopsAtOnce)
{
    struct Case {
        uint32_t commands;
        std::vector<std::string> errors;
    };
    const Case cases[] = {
        {CMD_FINGERPRINT | CMD_GET_BUILD | CMD_DISCOVER, {"Must specify the serial port used for connecting"}},
        {CMD_GET_BUILD | CMD_DISCOVER, {"-G must specify a specific device via -d", "--help for usage information"}},
        {CMD_UPDATE, {"Must specify the specific device to be updated"}},
        {CMD_LIST_BUILDS, {"Error must supply a serial number for the List Builds command"}},
        {CMD_LIST_LOCAL_BUILDS, {"Error must supply a serial number for the List Local Builds command"}},
        {CMD_GET_JWT, {"Error must supply a serial number for the Get JWT command"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.errors[0]);
        updater = RecordingUpdater{};
        display = RecordingDisplay{};
        EXPECT_EQ(Run(With(c.commands)), 1);
        std::vector<std::string> errors;
        for (const auto& line : display.lines)
            if (line.error)
                errors.push_back(line.text);
        EXPECT_EQ(errors, c.errors);
        for (const std::string& call : updater.calls)
            EXPECT_EQ(call.rfind("Set_UEIBytes_Load", 0), 0u) << "no flow may run: " << call;
    }
}

TEST_F(Dispatch, GetMessagesAndFingerprintOutput)
{
    Parameters p = With(CMD_GET_BUILD | CMD_FINGERPRINT);
    p.deviceSerial = 0xABCD;
    p.buildNumber = "99528558";
    p.serialPort = "/dev/ttyS0";
    updater.fingerprintResult = true;
    updater.downloadResult = 99528558;
    EXPECT_EQ(Run(p), 0);
    std::vector<RecordingDisplay::Line> expected = {
        {false, "[ 00000001 02345678 9ABCDEF0 FFFFFFFF ]"},
        {false, "Retrieving firmware for device with serial number 0000ABCD"},
        {false, "Retrieving firmware build 99528558"},
    };
    EXPECT_EQ(display.lines, expected);

    display = RecordingDisplay{};
    p = With(CMD_GET_BUILD | CMD_FINGERPRINT);
    p.deviceSerial = 0xABCD;
    p.serialPort = "/dev/ttyS0";
    updater.fingerprintResult = false;
    EXPECT_EQ(Run(p), 0);
    expected = {
        {true, "Got no response from chip"},
        {false, "Retrieving firmware for device with serial number 0000ABCD"},
        {false, "No build specified"},
        {false, "Using Latest build"},
    };
    EXPECT_EQ(display.lines, expected);
}

TEST_F(Dispatch, DiscoveryChoosesLinkTypeAndTableTitle)
{
    struct Case {
        bool transportGiven;
        uint32_t transport;
        uint32_t router;
        std::string call;
        std::string search;
        std::string title;
    };
    const Case cases[] = {
        {false, 1, 0, "Discover_Devices 1", "Searching for Corvantis devices", "Discovered Devices: (USB)"},
        {true, TRANSPORT_RECOVER, 0, "Discover_Devices 1", "Searching for Corvantis devices", "Discovered Devices: (USB)"},
        {true, TRANSPORT_TCPIP, 0, "Discover_Devices 2", "Searching for Corvantis devices", "Discovered Devices: (TCPIP)"},
        {false, 1, 0xD272031D, "Discover_CVNetwork_Devices D272031D 0",
         "Searching for Corvantis Network devices connected to D272031D", "Discovered Devices: (Unknown)"},
        {true, TRANSPORT_USB, 0xD272031D, "Discover_CVNetwork_Devices D272031D 1",
         "Searching for Corvantis Network devices connected to D272031D", "Discovered Devices: (USB)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.call);
        updater = RecordingUpdater{};
        display = RecordingDisplay{};
        Parameters p = With(CMD_DISCOVER);
        p.transportGiven = c.transportGiven;
        p.transport = c.transport;
        p.routerSerial = c.router;
        EXPECT_EQ(Run(p), 0);
        EXPECT_EQ(updater.calls, std::vector<std::string>{c.call});
        EXPECT_EQ(display.Texts(), (std::vector<std::string>{c.search, c.title, "    No devices found."}));
    }
}

DeviceInfo Device(linkType type, uint32_t serial, uint32_t model)
{
    DeviceInfo d;
    d.spec.type = type;
    d.spec.serialNumber = serial;
    d.spec.module = 2;
    d.spec.router = 0x10;
    d.spec.model = model;
    d.major = 2;
    d.minor = 10;
    d.patch = 4;
    d.build = 99528558;
    d.deviceName = "lab hub";
    return d;
}

TEST(Printers, DeviceTableRowsByLinkType)
{
    std::vector<DeviceInfo> devices;
    devices.push_back(Device(USB, 0x40F5849A, 27));
    DeviceInfo broken = Device(USB, 0x1234, 27);
    broken.error = 25;
    devices.push_back(broken);
    DeviceInfo networked = Device(TCPIP, 0x2181F0EE, 6);
    const unsigned char ip[4] = {192, 168, 1, 20};
    memcpy(&networked.spec.t.ip.ipAddress, ip, 4);
    networked.error = 25; // TCP/IP rows always print as data rows
    devices.push_back(networked);

    RecordingDisplay display;
    _display_device_list(display, devices, USB);
    std::vector<std::string> expected = {
        "Discovered Devices: (USB)",
        "    Device    Module   Router  Model          Firmware Version (Build)    Device Name",
        "    40F5849A  02       10      Dalvine        2.10.4 (  99528558)         lab hub",
        "    00001234  [Error (25): Is someone else connected to this device?]",
        "    2181F0EE  02       10      Unknown        2.10.4 (  99528558)        [192.168.1.20]     lab hub",
    };
    EXPECT_EQ(display.Texts(), expected);
    for (const auto& line : display.lines)
        EXPECT_FALSE(line.error);

    display = RecordingDisplay{};
    _display_device_list(display, {Device(TCPIP, 0xA, 27)}, INVALID);
    expected = {
        "Discovered Devices: (Unknown)",
        "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]       Device Name",
        "    0000000A  02       10      Dalvine        2.10.4 (  99528558)        [0.0.0.0]          lab hub",
    };
    EXPECT_EQ(display.Texts(), expected);
}

TEST(Printers, BuildListUsesTheSortersOrderAndCutsColumns)
{
    RecordingDisplay display;
    BuildList builds = {{"100", "1.2.3"}, {"200", "1.10.0"}, {"3000000000000000000", "12.345.6789012345"}};
    _display_builds(display, builds, 0xABCD, Reversed);
    std::vector<std::string> expected = {
        "Build List for device [0000ABCD]:\n",
        "Build          \tVersion        ",
        "300000000000000\t12.345.67890123",
        "200            \t1.10.0         ",
        "100            \t1.2.3          ",
    };
    EXPECT_EQ(display.Texts(), expected);

    display = RecordingDisplay{};
    _display_builds(display, {}, 0xABCD, Reversed);
    EXPECT_EQ(display.Texts(), std::vector<std::string>{"No builds found for device [0000ABCD]"});

    display = RecordingDisplay{};
    _display_jwt(display, "");
    _display_jwt(display, "a.b%s.c");
    EXPECT_EQ(display.Texts(), (std::vector<std::string>{"", "a.b%s.c"}));
}

} // namespace
