// The upgrade conversation of UpdaterEntity against a simulated module over
// TCP on 127.0.0.1: what goes on the wire for loader and firmware blocks,
// byte sums, resends, the UEI byte-block path, and the faults a module can
// show (short INIT reply, wrong sums, refused chunks, block size 0, no LOAD
// reply, a module that never comes back).
#include <gtest/gtest.h>

#include <algorithm>

#include "UpgradeBench.h"
#include "device_api/Link.h"
#include "updater/UpdaterEntity.h"
#include "app/UpdaterDisplayInterface.h"

namespace {

constexpr uint32_t kLoaderAddress = 0x10000000;
constexpr uint32_t kFirmwareAddress = 0x4000;

struct SilentDisplay : UpdaterDisplayInterface {
    std::vector<double> progress;
    void display_progress(bool) override {}
    void update_progress(double fraction, const char*) override { progress.push_back(fraction); }
    void update_spinner(bool, const char*) override {}
    void info_message(const char*) override {}
    void error_message(const char*) override {}
};

modsim::SimOptions Options(uint16_t blockSize = 256)
{
    modsim::SimOptions o;
    o.module.upgrade.blockSize = blockSize;
    o.module.upgrade.restartMs = 100;
    return o;
}

bool IsData(const Bytes& d) { return d.size() >= 2 && d[0] == cmdUPGRADE && d[1] == val_UPGRADE_DATA; }
bool Is(const Bytes& d, uint8_t sub) { return d.size() >= 2 && d[0] == cmdUPGRADE && d[1] == sub; }

class UpgradeEntityTest : public ::testing::Test {
  protected:
    // INIT, then a small loader into the module's memory.
    void SendLoader(UpdaterEntity& entity)
    {
        ASSERT_EQ(entity.LoaderInit(), aErrNone);
        const Bytes loader = ImageBlock(kLoaderAddress, Pattern(300, 1));
        uint16_t size = 0;
        ASSERT_EQ(entity.TransferPrepare(loader.data(), loader.size(), 0, &size), aErrNone);
        ASSERT_EQ(entity.LoaderTransfer(loader.data(), loader.size()), aErrNone);
    }
    // Sends a loader and starts it; the module then runs its loader and the
    // host has reached it again.
    void StartLoader(UpgradeBench& bench)
    {
        ASSERT_EQ(bench.Connect(), aErrNone);
        UpdaterEntity entity;
        entity.init(&bench.module, 0);
        SendLoader(entity);
        const size_t from = bench.sim.log().size();
        ASSERT_EQ(entity.LoaderStart(), aErrNone);
        ASSERT_TRUE(bench.AwaitRestarted(from));
        ASSERT_TRUE(bench.InLoader());
    }
    SilentDisplay display;
};

TEST_F(UpgradeEntityTest, FirmwareBlockGoesInPiecesOfBlockSizeAsDataChunksThenSumAndWrite)
{
    UpgradeBench bench(Options(256));
    StartLoader(bench);
    const size_t from = bench.sim.log().size();

    UpdaterEntity entity;
    entity.init(&bench.module, 0);
    const Bytes image = Pattern(1000, 7);
    const Bytes block = ImageBlock(kFirmwareAddress, image);
    uint16_t size = 0;
    ASSERT_EQ(entity.TransferPrepare(block.data(), block.size(), 0, &size), aErrNone);
    EXPECT_EQ(size, 256);
    ASSERT_EQ(entity.FirmwareTransfer(block.data(), block.size(), size, display), aErrNone);

    // Per piece: its DATA chunk sizes, then SUM, then WRITE with the piece size.
    std::vector<std::vector<size_t>> pieces(1);
    std::vector<unsigned> writes;
    size_t sums = 0;
    for (const Bytes& d : ReceivedData(bench.sim, from)) {
        if (IsData(d)) {
            pieces.back().push_back(d.size() - 2);
        } else if (Is(d, val_UPGRADE_SUM)) {
            ++sums;
            EXPECT_EQ(sums, pieces.size()) << "one SUM after each piece";
        } else if (Is(d, val_UPGRADE_WRITE)) {
            ASSERT_EQ(d.size(), 4u);
            writes.push_back(d[2] << 8 | d[3]);
            pieces.emplace_back();
        }
    }
    pieces.pop_back();
    ASSERT_EQ(pieces.size(), 4u);
    EXPECT_EQ(writes, (std::vector<unsigned>{256, 256, 256, 232}));
    std::vector<size_t> full(9, 26);
    full.push_back(22);
    EXPECT_EQ(pieces[0], full);
    std::vector<size_t> last(8, 26);
    last.push_back(24);
    EXPECT_EQ(pieces[3], last);
    EXPECT_EQ(bench.Flash(kFirmwareAddress, image.size()), image);
    ASSERT_FALSE(display.progress.empty());
    EXPECT_DOUBLE_EQ(display.progress.back(), 1.0);
}

TEST_F(UpgradeEntityTest, ShortCountResendsTheSameChunkAndTheSumCountsItOnce)
{
    modsim::SimOptions o = Options();
    o.module.upgrade.shortData = 1;
    UpgradeBench bench(o);
    ASSERT_EQ(bench.Connect(), aErrNone);
    UpdaterEntity entity;
    entity.init(&bench.module, 0);
    ASSERT_EQ(entity.LoaderInit(), aErrNone);
    const Bytes block = ImageBlock(kLoaderAddress, Pattern(100, 3));
    uint16_t size = 0;
    ASSERT_EQ(entity.TransferPrepare(block.data(), block.size(), 0, &size), aErrNone);
    const size_t from = bench.sim.log().size();
    // The module sums what it accepted: a chunk counted twice fails the SUM.
    ASSERT_EQ(entity.LoaderTransfer(block.data(), block.size()), aErrNone);

    std::vector<Bytes> data;
    for (const Bytes& d : ReceivedData(bench.sim, from))
        if (IsData(d))
            data.push_back(d);
    ASSERT_EQ(data.size(), 5u); // 26, the same 26 again, 26, 26, 22
    EXPECT_EQ(data[0], data[1]);
    EXPECT_EQ(entity.BlockCounter(), 4u);
}

TEST_F(UpgradeEntityTest, ChunkRefusedEveryTimeFailsTheBlockAfterBoundedResends)
{
    modsim::SimOptions o = Options();
    o.module.upgrade.shortData = 1000000;
    UpgradeBench bench(o);
    ASSERT_EQ(bench.Connect(), aErrNone);
    UpdaterEntity entity;
    entity.init(&bench.module, 0);
    ASSERT_EQ(entity.LoaderInit(), aErrNone);
    const Bytes block = ImageBlock(kLoaderAddress, Pattern(100, 3));
    uint16_t size = 0;
    ASSERT_EQ(entity.TransferPrepare(block.data(), block.size(), 0, &size), aErrNone);
    const size_t from = bench.sim.log().size();
    EXPECT_EQ(entity.LoaderTransfer(block.data(), block.size()), aErrPacket);

    size_t data = 0, sums = 0;
    for (const Bytes& d : ReceivedData(bench.sim, from)) {
        data += IsData(d);
        sums += Is(d, val_UPGRADE_SUM);
    }
    EXPECT_EQ(data, UPGRADE_DATA_MAX_SENDS);
    EXPECT_EQ(sums, 0u);
}

TEST_F(UpgradeEntityTest, WrongModuleSumFailsWithBothSumsInTheLog)
{
    modsim::SimOptions o = Options();
    o.module.upgrade.badSum = 1;
    UpgradeBench bench(o);
    ASSERT_EQ(bench.Connect(), aErrNone);
    TraceCapture trace(0);
    UpdaterEntity entity;
    entity.init(&bench.module, 0);
    ASSERT_EQ(entity.LoaderInit(), aErrNone);
    const Bytes image = Pattern(60, 9);
    const Bytes block = ImageBlock(kLoaderAddress, image);
    uint32_t sum = 0;
    for (uint8_t b : image)
        sum += b;
    uint16_t size = 0;
    ASSERT_EQ(entity.TransferPrepare(block.data(), block.size(), 0, &size), aErrNone);
    EXPECT_EQ(entity.LoaderTransfer(block.data(), block.size()), aErrInvalidOption);
    char expected[96];
    std::snprintf(expected, sizeof expected, "Unable to validate transfer [00] [%08X != %08X]", sum,
                  sum ^ 0x00010000);
    EXPECT_NE(trace.Text().find(expected), std::string::npos) << trace.Text();

    // Sent again after a new PREPARE, the block goes through.
    ASSERT_EQ(entity.TransferPrepare(block.data(), block.size(), 0, &size), aErrNone);
    EXPECT_EQ(entity.LoaderTransfer(block.data(), block.size()), aErrNone);
}

TEST_F(UpgradeEntityTest, PrepareOutsideTheFlashIsRefused)
{
    UpgradeBench bench(Options(256));
    StartLoader(bench);
    UpdaterEntity entity;
    entity.init(&bench.module, 0);
    const Bytes block = ImageBlock(0x7FFFFFF0, Pattern(100, 5));
    uint16_t size = 0;
    EXPECT_EQ(entity.TransferPrepare(block.data(), block.size(), 0, &size), aErrInvalidOption);
}

TEST_F(UpgradeEntityTest, LinkDropInsideAPieceFailsItWithoutWritingFlash)
{
    modsim::SimOptions o = Options(256);
    o.module.upgrade.dropAtData = 12 + 3; // the loader takes 12 chunks
    UpgradeBench bench(o);
    StartLoader(bench);
    TraceCapture trace(0);
    UpdaterEntity entity;
    entity.init(&bench.module, 0);
    const Bytes block = ImageBlock(kFirmwareAddress, Pattern(200, 5));
    uint16_t size = 0;
    ASSERT_EQ(entity.TransferPrepare(block.data(), block.size(), 0, &size), aErrNone);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(entity.FirmwareTransfer(block.data(), block.size(), size, display), aErrPacket);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_NE(trace.Text().find("NETWORK: Failed to transfer firmware"), std::string::npos);
    EXPECT_EQ(bench.Flash(kFirmwareAddress, 200), Bytes(200, 0xFF));
}

TEST_F(UpgradeEntityTest, WithoutValidationNoSumIsAsked)
{
    UpgradeBench bench(Options(256));
    StartLoader(bench);
    const size_t from = bench.sim.log().size();

    UpdaterEntity entity;
    entity.init(&bench.module, 0, false);
    const Bytes image = Pattern(300, 4);
    const Bytes block = ImageBlock(kFirmwareAddress, image);
    uint16_t size = 0;
    ASSERT_EQ(entity.TransferPrepare(block.data(), block.size(), 0, &size), aErrNone);
    ASSERT_EQ(entity.FirmwareTransfer(block.data(), block.size(), size, display), aErrNone);
    for (const Bytes& d : ReceivedData(bench.sim, from))
        EXPECT_FALSE(Is(d, val_UPGRADE_SUM));
    EXPECT_EQ(bench.Flash(kFirmwareAddress, image.size()), image);
}

TEST_F(UpgradeEntityTest, BlockSizeZeroFailsWithoutSendingData)
{
    UpgradeBench bench(Options(0));
    StartLoader(bench);
    const size_t from = bench.sim.log().size();

    UpdaterEntity entity;
    entity.init(&bench.module, 0);
    const Bytes block = ImageBlock(kFirmwareAddress, Pattern(100, 3));
    uint16_t size = 99;
    ASSERT_EQ(entity.TransferPrepare(block.data(), block.size(), 0, &size), aErrNone);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(entity.FirmwareTransfer(block.data(), block.size(), size, display), aErrSize);
    for (const Bytes& d : ReceivedData(bench.sim, from))
        EXPECT_FALSE(IsData(d));
}

TEST_F(UpgradeEntityTest, InitReplyOfFiveBytesIsRefused)
{
    modsim::SimOptions o = Options();
    o.module.upgrade.initReplySize = 5;
    UpgradeBench bench(o);
    ASSERT_EQ(bench.Connect(), aErrNone);
    UpdaterEntity entity;
    entity.init(&bench.module, 0);
    EXPECT_EQ(entity.LoaderInit(), aErrPacket);
}

TEST_F(UpgradeEntityTest, UeiBytesSendEachPieceAsOneBlockOverPooledPackets)
{
    UpgradeBench bench(Options(1024));
    StartLoader(bench);
    const size_t from = bench.sim.log().size();

    UpdaterEntity entity;
    entity.init(&bench.module, 0);
    ASSERT_EQ(entity.CheckUEIDataSupport(), aErrNone);
    EXPECT_TRUE(entity.UsesUEIData());
    ASSERT_EQ(entity.CheckPooledPacketsSupport(), aErrNone);

    const Bytes image = Pattern(2500, 11);
    const Bytes block = ImageBlock(kFirmwareAddress, image);
    uint16_t size = 0;
    ASSERT_EQ(entity.TransferPrepare(block.data(), block.size(), 0, &size), aErrNone);
    ASSERT_EQ(entity.FirmwareTransfer(block.data(), block.size(), size, display), aErrNone)
        << bench.LogTail();

    size_t sums = 0, writes = 0;
    for (const Bytes& d : ReceivedData(bench.sim, from)) {
        EXPECT_FALSE(IsData(d));
        sums += Is(d, val_UPGRADE_SUM);
        writes += Is(d, val_UPGRADE_WRITE);
    }
    EXPECT_EQ(sums, 3u); // 1024 + 1024 + 452
    EXPECT_EQ(writes, 3u);
    EXPECT_EQ(bench.Flash(kFirmwareAddress, image.size()), image);
}

TEST_F(UpgradeEntityTest, LoadWithoutReplyReconnectsAndTimesOut)
{
    modsim::SimOptions o = Options();
    o.module.upgrade.noLoadReply = true;
    UpgradeBench bench(o);
    ASSERT_EQ(bench.Connect(), aErrNone);
    TraceCapture trace(DEBUG_Network | DEBUG_Network_FIRM);
    UpdaterEntity entity;
    entity.init(&bench.module, 0);
    SendLoader(entity);
    EXPECT_EQ(entity.LoaderStart(), aErrTimeout);
    EXPECT_GE(trace.Count("NETWORK: Attempting to reconnect. Attempt: "), 1u);
    EXPECT_EQ(trace.Count("NETWORK: Reconnected to device"), 1u) << trace.Text();
    EXPECT_TRUE(bench.InLoader());
}

TEST_F(UpgradeEntityTest, ModuleThatNeverComesBackEndsAfterFiveReconnectAttempts)
{
    modsim::SimOptions o = Options();
    o.module.upgrade.noLoadReply = true;
    o.module.upgrade.neverReturn = modsim::NeverReturn::AfterLoad;
    UpgradeBench bench(o);
    ASSERT_EQ(bench.Connect(), aErrNone);
    TraceCapture trace(DEBUG_Network | DEBUG_Network_FIRM);
    UpdaterEntity entity;
    entity.init(&bench.module, 0);
    SendLoader(entity);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(entity.LoaderStart(), aErrTimeout);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_EQ(trace.Count("NETWORK: Attempting to reconnect. Attempt: "), UPGRADE_RECONNECT_ATTEMPTS);
    EXPECT_EQ(trace.Count("NETWORK: Attempting to reconnect. Attempt: 5 of 5"), 1u);
    EXPECT_EQ(trace.Count("NETWORK: Reconnected to device"), 0u);
}

TEST(UpgradeEntityUnbound, EveryStepRefusesWithoutAModule)
{
    UpdaterEntity entity;
    SilentDisplay display;
    const Bytes block = ImageBlock(kFirmwareAddress, Pattern(10, 1));
    uint16_t size = 0;
    EXPECT_EQ(entity.LoaderInit(), aErrResource);
    EXPECT_EQ(entity.TransferPrepare(block.data(), block.size(), 0, &size), aErrResource);
    EXPECT_EQ(entity.LoaderTransfer(block.data(), block.size()), aErrResource);
    EXPECT_EQ(entity.CheckUEIDataSupport(), aErrResource);
    EXPECT_EQ(entity.TransferPrepare(block.data(), 3, 0, &size), aErrParam);
}

} // namespace
