// The i.MX loader against the simulated boot ROM: over the serial transport
// on a pseudo-terminal, and through the ROM's USB-HID report framing held in
// memory. A recording transport notes every write the loader makes.
#include <gtest/gtest.h>

#include <deque>
#include <fcntl.h>
#include <memory>
#include <numeric>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "recovery/SDPLoader.h"
#include "recovery/SDPLoader_Protocol.h"
#include "recovery/Serial_SDPLoader.h"
#include "sim/imx/PtyRom.h"
#include "sim/imx/SdpHidLink.h"

namespace P = SDPLoader_Protocol;
using Bytes = std::vector<uint8_t>;

namespace {

using Writes = std::vector<Bytes>;

// Forwards to a real transport and records what the loader writes. A line
// time makes each write last as long as a real UART would need, so that the
// ROM's answer to one chunk is there before the loader sends the next.
class Recording : public SDPLoader_Interface {
  public:
    Recording(std::unique_ptr<SDPLoader_Interface> inner, std::shared_ptr<Writes> writes, int lineTimeMs = 0)
        : inner_(std::move(inner)), writes_(std::move(writes)), lineTimeMs_(lineTimeMs) {}
    bool init() override { return inner_->init(); }
    ssize_t writeData(const Bytes& b) override
    {
        writes_->push_back(b);
        const ssize_t n = inner_->writeData(b);
        if (lineTimeMs_ > 0)
            usleep(static_cast<useconds_t>(lineTimeMs_) * 1000);
        return n;
    }
    ssize_t readData(Bytes& out, int ms) override { return inner_->readData(out, ms); }
    bool getDataFromBuffer(const Bytes& b, size_t o, uint32_t& v) override { return inner_->getDataFromBuffer(b, o, v); }

  private:
    std::unique_ptr<SDPLoader_Interface> inner_;
    std::shared_ptr<Writes> writes_;
    int lineTimeMs_;
};

// USB-HID as the boot ROM frames it, without a device: reports go straight
// into the simulator's HID side; `trim` cuts every reply short.
class HidInMemory : public SDPLoader_Interface {
  public:
    HidInMemory(imxsim::SdpRom& rom, size_t trim = 0) : link_(rom), trim_(trim) {}
    bool init() override { return true; }
    ssize_t writeData(const Bytes& b) override
    {
        for (Bytes& r : link_.receive(b.data(), b.size()))
            queued_.push_back(std::move(r));
        return static_cast<ssize_t>(b.size());
    }
    ssize_t readData(Bytes& out, int) override
    {
        ssize_t total = 0;
        while (!queued_.empty()) {
            const Bytes r = queued_.front();
            queued_.pop_front();
            total += static_cast<ssize_t>(P::AppendHIDReport(out, r.data(), r.size()));
        }
        if (total > 0 && trim_ > 0) {
            out.resize(out.size() - trim_);
            total -= static_cast<ssize_t>(trim_);
        }
        return total;
    }
    bool getDataFromBuffer(const Bytes& b, size_t o, uint32_t& v) override
    {
        return P::HIDReplyValue(b.data(), b.size(), o, v);
    }

  private:
    imxsim::SdpHidLink link_;
    std::deque<Bytes> queued_;
    size_t trim_;
};

Bytes sImage(size_t size, uint32_t seed)
{
    Bytes b(size);
    for (size_t i = 0; i < size; ++i) {
        seed = seed * 1103515245u + 12345u;
        b[i] = static_cast<uint8_t>(seed >> 16);
    }
    return b;
}

// An image whose first bytes are an image vector table naming `entry`.
Bytes sBootable(size_t size, uint32_t entry)
{
    Bytes b = sImage(size, 7);
    const uint8_t ivt[8] = {0xD1, 0x00, 0x20, 0x40, static_cast<uint8_t>(entry), static_cast<uint8_t>(entry >> 8),
                            static_cast<uint8_t>(entry >> 16), static_cast<uint8_t>(entry >> 24)};
    std::copy(ivt, ivt + 8, b.begin());
    return b;
}

size_t sCount(const Writes& writes, uint8_t type)
{
    return static_cast<size_t>(std::count_if(writes.begin(), writes.end(), [&](const Bytes& w) {
        return w.size() == 17 && w[0] == P::REPORT_COMMAND && w[1] == type;
    }));
}

// The loader on the serial transport, talking to a simulated ROM on a pty.
struct SerialBench {
    imxsim::PtyRom rom;
    std::shared_ptr<Writes> writes = std::make_shared<Writes>();
    SDPLoader loader;

    explicit SerialBench(imxsim::SdpConfig config = {}) : rom(config) {}

    void open(int lineTimeMs = 0)
    {
        std::string error;
        ASSERT_TRUE(rom.start(error)) << error;
        auto serial = std::make_unique<Serial_SDPLoader>(rom.slavePath(), 10);
        ASSERT_TRUE(loader.setLoader(std::make_unique<Recording>(std::move(serial), writes, lineTimeMs)));
        ASSERT_EQ(loader.init(), SDPLoader::SDP_OK);
    }
    std::vector<imxsim::SdpCommand> commands()
    {
        return rom.inspect([](imxsim::SdpRom& r) { return r.commands(); });
    }
    std::vector<std::string> errors()
    {
        return rom.inspect([](imxsim::SdpRom& r) { return r.errors(); });
    }
    Bytes ram(uint32_t address, size_t n)
    {
        return rom.inspect([&](imxsim::SdpRom& r) { return r.ram().read(address, n); });
    }
};

} // namespace

TEST(SdpLoaderSerial, ReadsTheUniqueIdFuses)
{
    imxsim::SdpConfig config;
    config.uid0 = 0xA1B2C3D4;
    config.uid1 = 0x01020304;
    SerialBench bench(config);
    bench.open();
    uint64_t fingerprint = 0;
    ASSERT_EQ(bench.loader.getFingerprint(fingerprint), SDPLoader::SDP_OK);
    EXPECT_EQ(fingerprint, 0x01020304A1B2C3D4ull);

    const auto commands = bench.commands();
    ASSERT_EQ(commands.size(), 3u);
    EXPECT_EQ(commands[0].type, P::ERROR_STATUS);
    EXPECT_EQ(commands[1].type, P::READ_REGISTER);
    EXPECT_EQ(commands[1].address, 0x401F4410u);
    EXPECT_EQ(commands[1].format, 0x20);
    EXPECT_EQ(commands[1].count, 4u);
    EXPECT_EQ(commands[2].address, 0x401F4420u);
    EXPECT_TRUE(bench.errors().empty());
}

TEST(SdpLoaderSerial, WritesABlockInChunksAndStartsIt)
{
    SerialBench bench;
    bench.open();
    const Bytes image = sBootable(2500, 0x20000501);
    ASSERT_EQ(bench.loader.writeLoader(image, 0x20000400), SDPLoader::SDP_OK);
    EXPECT_EQ(bench.ram(0x20000400, image.size()), image);

    // Status check, one write-file command for all 2500 bytes, three chunks.
    const Writes& w = *bench.writes;
    ASSERT_EQ(w.size(), 5u);
    EXPECT_EQ(w[1], P::BuildCommand(P::WRITE_FILE, 0x20000400, 0x20, 2500));
    std::vector<size_t> chunks;
    for (size_t i = 2; i < w.size(); ++i) {
        EXPECT_EQ(w[i][0], P::REPORT_DATA);
        chunks.push_back(w[i].size() - 1);
    }
    EXPECT_EQ(chunks, (std::vector<size_t>{1024, 1024, 452}));

    EXPECT_EQ(bench.loader.startLoader(0x20000400), SDPLoader::SDP_OK);
    const auto jumps = bench.rom.inspect([](imxsim::SdpRom& r) { return r.jumps(); });
    ASSERT_EQ(jumps.size(), 1u);
    EXPECT_EQ(jumps[0].address, 0x20000400u);
    EXPECT_EQ(jumps[0].entry, 0x20000501u);
    EXPECT_TRUE(bench.errors().empty());
}

TEST(SdpLoaderSerial, SeveralBlocksLandWhereTheySay)
{
    SerialBench bench;
    bench.open();
    const Bytes a = sImage(1024, 1);
    const Bytes b = sImage(3000, 2);
    const Bytes none;
    ASSERT_EQ(bench.loader.writeLoader(a, 0x20200000), SDPLoader::SDP_OK);
    ASSERT_EQ(bench.loader.writeLoader(b, 0x00001000), SDPLoader::SDP_OK);
    ASSERT_EQ(bench.loader.writeLoader(none, 0x20000000), SDPLoader::SDP_OK);
    EXPECT_EQ(bench.ram(0x20200000, a.size()), a);
    EXPECT_EQ(bench.ram(0x00001000, b.size()), b);
    EXPECT_EQ(sCount(*bench.writes, 0x04), 3u);
}

// Every failure the loader reports, each from the fault that causes it.
TEST(SdpLoaderSerial, ReportsEachFailureWithItsCode)
{
    enum Action { Fingerprint, Write, WriteThenJump, JumpOnly };
    struct Case {
        const char* name;
        imxsim::SdpFaults faults;
        Action action;
        uint32_t address;
        int expected;
        size_t statusCommands; // status commands the loader sent
        size_t dataChunks;     // data chunks the loader sent
    } cases[] = {
        {"silent ROM, fingerprint", {.silent = true}, Fingerprint, 0, SDPLoader::SDP_NO_ANSWER, 5, 0},
        {"silent ROM, write", {.silent = true}, Write, 0x20000000, SDPLoader::SDP_NO_ANSWER, 5, 0},
        {"short register reply", {.shortRegisterReply = true}, Fingerprint, 0, SDPLoader::SDP_INCOMPLETE_REPLY, 1, 0},
        {"reply during write", {.replyDuringWrite = true}, Write, 0x20000000, SDPLoader::SDP_TRANSFER_ABORTED, 1, 1},
        {"write outside RAM", {}, Write, 0x30000000, SDPLoader::SDP_WRITE_FAILED, 1, 3},
        {"write past the end of DTCM", {}, Write, 0x2001FF00, SDPLoader::SDP_WRITE_FAILED, 1, 3},
        {"jump refused", {.refuseJump = true}, WriteThenJump, 0x20000400, SDPLoader::SDP_JUMP_REFUSED, 1, 3},
        {"jump without an image vector table", {}, JumpOnly, 0x20000400, SDPLoader::SDP_JUMP_REFUSED, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        imxsim::SdpConfig config;
        config.faults = c.faults;
        SerialBench bench(config);
        bench.open(20);
        const Bytes image = sBootable(2500, 0x20000501);
        int code = -1;
        uint64_t fingerprint = 0;
        switch (c.action) {
        case Fingerprint:
            code = bench.loader.getFingerprint(fingerprint);
            EXPECT_EQ(fingerprint, 0u);
            break;
        case Write:
            code = bench.loader.writeLoader(image, c.address);
            break;
        case WriteThenJump:
            ASSERT_EQ(bench.loader.writeLoader(image, c.address), SDPLoader::SDP_OK);
            code = bench.loader.startLoader(c.address);
            break;
        case JumpOnly:
            code = bench.loader.startLoader(c.address);
            break;
        }
        EXPECT_EQ(code, c.expected);
        EXPECT_EQ(sCount(*bench.writes, 0x05), c.statusCommands);
        const size_t chunks = static_cast<size_t>(std::count_if(bench.writes->begin(), bench.writes->end(),
                                                                [](const Bytes& w) { return w[0] == P::REPORT_DATA; }));
        EXPECT_EQ(chunks, c.dataChunks);
        EXPECT_TRUE(bench.rom.inspect([](imxsim::SdpRom& r) { return r.jumps().empty(); }));
        if (c.action == Write && c.expected == SDPLoader::SDP_WRITE_FAILED) {
            EXPECT_FALSE(bench.errors().empty()) << "the ROM refused the range";
        }
    }
}

TEST(SdpLoaderSerial, AWriteTheLineNeverTakesFailsInsteadOfHanging)
{
    // A pseudo-terminal whose far end nobody reads fills up and stops taking bytes.
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    char name[128];
    ASSERT_EQ(ptsname_r(master, name, sizeof name), 0);
    {
        Serial_SDPLoader serial(name, 0);
        ASSERT_TRUE(serial.init());
        Bytes huge(1 << 20, 0x5A);
        EXPECT_LT(serial.writeData(huge), 0);
    }
    close(master);
}

TEST(SdpLoaderHid, WritesABlockAsReportsAndReadsTheFuses)
{
    imxsim::SdpRom rom;
    auto writes = std::make_shared<Writes>();
    SDPLoader loader;
    ASSERT_TRUE(loader.setLoader(std::make_unique<Recording>(std::make_unique<HidInMemory>(rom), writes)));
    ASSERT_EQ(loader.init(), SDPLoader::SDP_OK);

    const Bytes image = sImage(2500, 3);
    ASSERT_EQ(loader.writeLoader(image, 0x20000000), SDPLoader::SDP_OK);
    EXPECT_EQ(rom.ram().read(0x20000000, image.size()), image);
    ASSERT_EQ(writes->size(), 5u);
    EXPECT_EQ((*writes)[2].size(), 1025u);
    EXPECT_EQ((*writes)[4].size(), 453u);
    EXPECT_EQ(rom.dataPieces(), (std::vector<size_t>{1024, 1024, 452}));

    uint64_t fingerprint = 0;
    ASSERT_EQ(loader.getFingerprint(fingerprint), SDPLoader::SDP_OK);
    EXPECT_EQ(fingerprint, static_cast<uint64_t>(rom.config().uid1) << 32 | rom.config().uid0);
    EXPECT_TRUE(rom.errors().empty());
}

TEST(SdpLoaderHid, ARepliesOneByteShortIsNoAnswer)
{
    imxsim::SdpRom rom;
    auto writes = std::make_shared<Writes>();
    SDPLoader loader;
    ASSERT_TRUE(loader.setLoader(std::make_unique<Recording>(std::make_unique<HidInMemory>(rom, 1), writes)));
    uint64_t fingerprint = 0;
    EXPECT_EQ(loader.getFingerprint(fingerprint), SDPLoader::SDP_NO_ANSWER);
    EXPECT_EQ(sCount(*writes, 0x05), 5u);
    EXPECT_EQ(writes->size(), 5u) << "nothing but the five status commands";
}
