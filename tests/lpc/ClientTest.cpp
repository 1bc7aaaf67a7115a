// The LPC serial ISP client against the simulated boot ROM on a
// pseudo-terminal: handshake, identity, the recovery sequence with flash
// read back, refusals with their codes and traces, checksum re-sends, and
// bounded waits on a chip that does not answer.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "app/Log.h"
#include "recovery/NXPSerialClass.h"
#include "sim/lpc/LpcPtyServer.h"

namespace {

using lpcsim::LpcConfig;
using lpcsim::LpcPtyServer;
using Clock = std::chrono::steady_clock;

std::vector<uint8_t> randomImage(size_t size, unsigned seed)
{
    std::mt19937 random(seed);
    std::vector<uint8_t> image(size);
    for (auto& b : image)
        b = static_cast<uint8_t>(random());
    return image;
}

class LpcClient : public ::testing::Test {
  protected:
    void TearDown() override
    {
        client.Disconnect();
        if (server)
            server->stop();
        Log::SetOutput(nullptr);
        Log::DeactivatePackage(DEBUG_NXPSerial);
        if (trace)
            std::fclose(trace);
    }

    void start(const LpcConfig& config = LpcConfig{})
    {
        server = std::make_unique<LpcPtyServer>(config);
        ASSERT_TRUE(server->start()) << server->error();
        ASSERT_EQ(client.Connect(server->slavePath().c_str(), 115200), aErrNone);
    }

    void startSynced(const LpcConfig& config = LpcConfig{})
    {
        start(config);
        ASSERT_EQ(client.Sync(), aErrNone);
    }

    void captureTrace()
    {
        trace = std::tmpfile();
        ASSERT_NE(trace, nullptr);
        Log::SetOutput(trace);
        Log::ActivatePackage(DEBUG_NXPSerial);
    }

    std::string traced()
    {
        std::fflush(trace);
        std::rewind(trace);
        std::string text;
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof(buffer), trace)) > 0)
            text.append(buffer, n);
        return text;
    }

    size_t commandsSeen()
    {
        size_t n = 0;
        server->withRom([&](lpcsim::LpcBootRom& rom) { n = rom.commands().size(); });
        return n;
    }

    // The recovery sequence: erase everything, then each piece of at most
    // 4096 bytes through RAM into flash.
    void program(const std::vector<uint8_t>& image, uint32_t target)
    {
        ASSERT_EQ(client.Unlock(), aErrNone);
        ASSERT_EQ(client.Prepare(0, 29), aErrNone);
        ASSERT_EQ(client.Erase(0, 29), aErrNone);
        for (size_t offset = 0; offset < image.size(); offset += 4096) {
            const uint32_t piece = static_cast<uint32_t>(std::min<size_t>(4096, image.size() - offset));
            const uint32_t at = target + static_cast<uint32_t>(offset);
            ASSERT_EQ(client.Write(NXPSerialClass::WRITE_ADDRESS, piece, image.data() + offset), aErrNone);
            ASSERT_EQ(client.Prepare(NXPSerialClass::SectorFromAddress(at),
                                     NXPSerialClass::SectorFromAddress(at + piece - 1)),
                      aErrNone);
            ASSERT_EQ(client.CopyToFlash(at, NXPSerialClass::WRITE_ADDRESS, NXPSerialClass::CopyLength(piece)),
                      aErrNone);
        }
    }

    NXPSerialClass client;
    std::unique_ptr<LpcPtyServer> server;
    FILE* trace = nullptr;
};

TEST_F(LpcClient, ConnectPicksTheRate)
{
    const std::pair<uint32_t, uint32_t> rates[] = {
        {0, 2400}, {9600, 9600}, {100000, 115200}, {115200, 115200}, {230400, 230400}, {230401, 9600}, {921600, 9600},
    };
    server = std::make_unique<LpcPtyServer>(LpcConfig{});
    ASSERT_TRUE(server->start()) << server->error();
    for (auto [asked, opened] : rates) {
        ASSERT_EQ(client.Connect(server->slavePath().c_str(), asked), aErrNone) << asked;
        EXPECT_EQ(client.BaudRate(), opened) << asked;
        EXPECT_EQ(std::string(client.PortName()), server->slavePath());
    }
    EXPECT_EQ(client.Disconnect(), aErrNone);
    EXPECT_EQ(client.Connect("/dev/no-such-serial-port", 115200), aErrNotFound);
    EXPECT_EQ(client.Unlock(), aErrConnection);
}

TEST_F(LpcClient, IdentityWithEchoOnAndOff)
{
    LpcConfig config;
    config.partId = 0x26113F37;
    config.serial = {0x00000001u, 0xFFFFFFFFu, 0x80000000u, 0x1234ABCDu};
    config.bootMajor = 5;
    config.bootMinor = 2;
    startSynced(config);
    for (bool echo : {true, false}) {
        ASSERT_EQ(client.SetEcho(echo), aErrNone);
        EXPECT_EQ(client.Echo(), echo);
        int64_t part = 0;
        ASSERT_EQ(client.GetPartNumber(part), aErrNone);
        EXPECT_EQ(part, 0x26113F37);
        int major = 0, minor = 0;
        ASSERT_EQ(client.GetBootLoaderVersion(major, minor), aErrNone);
        EXPECT_EQ(major, 5);
        EXPECT_EQ(minor, 2);
        ASSERT_EQ(client.GetDeviceID(), aErrNone);
        const uint32_t* words = client.DeviceSerialNumber();
        EXPECT_EQ(std::vector<uint32_t>(words, words + 4), std::vector<uint32_t>(config.serial.begin(), config.serial.end()));
    }
}

TEST_F(LpcClient, RecoverySequenceWritesFlashByteForByte)
{
    // 10000 bytes: pieces of 4096, 4096 and 1808, the last copied as 4096.
    const auto image = randomImage(10000, 1);
    // As in a recovery: the fingerprint on one connection, the programming on
    // a second one to the chip that stayed synchronised.
    startSynced();
    ASSERT_EQ(client.GetDeviceID(), aErrNone);
    ASSERT_EQ(client.Disconnect(), aErrNone);
    ASSERT_EQ(client.Connect(server->slavePath().c_str(), 115200), aErrNone);
    program(image, 0);
    const auto flash = server->flash();
    ASSERT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
    // Erased, and nothing beyond the last copy touched.
    EXPECT_TRUE(std::all_of(flash.begin() + 3 * 4096, flash.end(), [](uint8_t b) { return b == 0xFF; }));

    // Read back through the client, with echo on and off.
    for (bool echo : {true, false}) {
        ASSERT_EQ(client.SetEcho(echo), aErrNone);
        std::vector<uint8_t> back(image.size(), 0);
        ASSERT_EQ(client.Read(0, static_cast<uint32_t>(back.size()), back.data()), aErrNone) << echo;
        EXPECT_EQ(back, image) << echo;
    }
}

TEST_F(LpcClient, WriteWithEchoOffAndIntoUpperSectors)
{
    const auto image = randomImage(4096 + 1000, 2);
    startSynced();
    ASSERT_EQ(client.SetEcho(false), aErrNone);
    program(image, 0x78000); // the last 32 KB sector
    const auto flash = server->flash();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin() + 0x78000));
    EXPECT_EQ(flash[0], 0xFF);
}

TEST_F(LpcClient, CheckedArgumentsSendNothing)
{
    startSynced();
    const size_t before = commandsSeen();
    const uint8_t data[8] = {};
    EXPECT_EQ(client.Prepare(5, 3), aErrParam);
    EXPECT_EQ(client.Erase(5, 3), aErrParam);
    EXPECT_EQ(client.CopyToFlash(0x1080, NXPSerialClass::WRITE_ADDRESS, 256), aErrParam);
    EXPECT_EQ(client.CopyToFlash(0x1000, NXPSerialClass::WRITE_ADDRESS, 2048), aErrParam);
    EXPECT_EQ(client.Write(NXPSerialClass::WRITE_ADDRESS, 6, data), aErrParam);
    EXPECT_EQ(client.Write(NXPSerialClass::WRITE_ADDRESS, 0, data), aErrParam);
    uint8_t out[8];
    EXPECT_EQ(client.Read(0, 6, out), aErrParam);
    EXPECT_EQ(commandsSeen(), before);
}

TEST_F(LpcClient, RefusalsAreParamErrorsAndNamed)
{
    struct Case {
        const char* what;
        std::function<aErr(NXPSerialClass&)> call;
        const char* trace;
    } cases[] = {
        {"erase while locked", [](NXPSerialClass& c) { return c.Erase(0, 0); }, "Error response ==>[CMD_LOCKED]"},
        {"copy unprepared",
         [](NXPSerialClass& c) {
             c.Unlock();
             return c.CopyToFlash(0, NXPSerialClass::WRITE_ADDRESS, 256);
         },
         "Error response ==>[SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION]"},
        {"prepare past the flash", [](NXPSerialClass& c) { return c.Prepare(0, 30); }, "[INVALID_SECTOR]"},
        {"wrong baud", [](NXPSerialClass& c) { return c.SetBaudRate(12345); }, "[INVALID_BAUD_RATE]"},
        {"write outside RAM",
         [](NXPSerialClass& c) {
             const uint8_t d[4] = {};
             return c.Write(0x20000000, 4, d);
         },
         "Write() Error response ==>[ADDR_NOT_MAPPED]"},
        {"read unaligned",
         [](NXPSerialClass& c) {
             uint8_t d[4];
             return c.Read(2, 4, d);
         },
         "[ADDR_ERROR]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        trace = nullptr;
        startSynced();
        captureTrace();
        EXPECT_EQ(c.call(client), aErrParam);
        EXPECT_NE(traced().find(c.trace), std::string::npos) << traced();
    }
}

TEST_F(LpcClient, RefusedQueriesAndTwoDigitCodes)
{
    LpcConfig config;
    config.faults.refuseCommand = 'N';
    config.faults.refuseCode = 19;
    startSynced(config);
    captureTrace();
    EXPECT_EQ(client.GetDeviceID(), aErrParam);
    EXPECT_NE(traced().find("[CODE_READ_PROTECTION_ENABLED]"), std::string::npos);
    EXPECT_EQ(client.DeviceSerialNumber()[0], 0u);

    // A code ending in 0 is still a refusal with echo on.
    TearDown();
    trace = nullptr;
    config.faults.refuseCommand = 'U';
    config.faults.refuseCode = 10;
    startSynced(config);
    ASSERT_TRUE(client.Echo());
    EXPECT_EQ(client.Unlock(), aErrParam);
}

TEST_F(LpcClient, ChecksumResends)
{
    const auto data = randomImage(1000, 3); // two checksum groups: 900 and 100 bytes
    for (int resends : {0, 2, 3}) {
        SCOPED_TRACE(resends);
        TearDown();
        trace = nullptr;
        LpcConfig config;
        config.faults.resendCount = resends;
        startSynced(config);
        const aErr err = client.Write(NXPSerialClass::WRITE_ADDRESS, 1000, data.data());
        int seen = 0;
        std::vector<uint8_t> ram;
        server->withRom([&](lpcsim::LpcBootRom& rom) {
            seen = rom.resends();
            ram.assign(rom.ram().begin() + 0x1000, rom.ram().begin() + 0x1000 + 1000);
        });
        if (resends < 3) {
            EXPECT_EQ(err, aErrNone);
            EXPECT_EQ(ram, data);
            EXPECT_EQ(seen, resends);
        } else {
            EXPECT_EQ(err, aErrTimeout);
            EXPECT_EQ(seen, 3);
        }
    }
}

TEST_F(LpcClient, HandshakeFailuresEndQuickly)
{
    struct Case {
        const char* what;
        lpcsim::LpcFaults faults;
    } cases[] = {
        {"silent", {.silent = true}},
        {"no sync", {.noSync = true}},
        {"garbage", {.garbage = true}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        trace = nullptr;
        LpcConfig config;
        config.faults = c.faults;
        start(config);
        const auto begin = Clock::now();
        EXPECT_NE(client.Sync(), aErrNone);
        EXPECT_LT(Clock::now() - begin, std::chrono::seconds(2));
    }
}

TEST_F(LpcClient, ChipThatStopsAnsweringTimesOut)
{
    startSynced();
    ASSERT_EQ(client.SetEcho(false), aErrNone);
    ASSERT_EQ(client.Unlock(), aErrNone);
    ASSERT_EQ(client.ExecuteFrom(0), aErrNone);
    // The chip now runs user code and says nothing more.
    const auto begin = Clock::now();
    int64_t part = 0;
    EXPECT_EQ(client.GetPartNumber(part), aErrTimeout);
    EXPECT_LT(Clock::now() - begin, std::chrono::seconds(7));
    uint32_t go = 1;
    server->withRom([&](lpcsim::LpcBootRom& rom) { go = rom.goAddress(); });
    EXPECT_EQ(go, 0u);
}

} // namespace
