// The simulated i.MX boot ROM is strict: it refuses malformed commands, data
// it was not promised and writes outside RAM, echoes the UART handshake, and
// falls silent once an image runs.
#include <gtest/gtest.h>

#include <vector>

#include "sim/imx/SdpHidLink.h"
#include "sim/imx/SdpRom.h"
#include "sim/imx/SdpSerialLink.h"

using Bytes = std::vector<uint8_t>;
using namespace imxsim;

namespace {

Bytes sCommand(uint8_t t0, uint8_t t1, uint32_t address, uint8_t format, uint32_t count)
{
    Bytes b{t0,
            t1,
            static_cast<uint8_t>(address >> 24),
            static_cast<uint8_t>(address >> 16),
            static_cast<uint8_t>(address >> 8),
            static_cast<uint8_t>(address),
            format,
            static_cast<uint8_t>(count >> 24),
            static_cast<uint8_t>(count >> 16),
            static_cast<uint8_t>(count >> 8),
            static_cast<uint8_t>(count),
            0,
            0,
            0,
            0,
            0};
    return b;
}

Bytes sWithByte(Bytes b, size_t at, uint8_t value)
{
    b[at] = value;
    return b;
}

const Bytes HAB{0x56, 0x78, 0x78, 0x56};

} // namespace

TEST(ImxSimSerial, RefusesMalformedCommandsWithoutAnswering)
{
    struct Case {
        const char* name;
        Bytes command;
    } cases[] = {
        {"type bytes differ", sCommand(0x04, 0x05, 0x20000000, 0x20, 4)},
        {"unknown type", sCommand(0x09, 0x09, 0, 0, 0)},
        {"status with an address", sCommand(0x05, 0x05, 0x20000000, 0, 0)},
        {"register read of 24-bit words", sCommand(0x01, 0x01, 0x401F4410, 0x18, 4)},
        {"write file with a reserved byte set", sWithByte(sCommand(0x04, 0x04, 0x20000000, 0x20, 4), 12, 1)},
        {"jump with a count", sCommand(0x0B, 0x0B, 0x20000000, 0, 4)},
    };
    for (const Case& c : cases) {
        SdpRom rom;
        SdpSerialLink link(rom);
        const Bytes out = link.receive(c.command.data(), c.command.size());
        EXPECT_TRUE(out.empty()) << c.name;
        EXPECT_EQ(rom.errors().size(), 1u) << c.name;
        EXPECT_TRUE(rom.commands().empty()) << c.name;
    }
}

TEST(ImxSimSerial, HandshakeCommandAndDataInOneStream)
{
    SdpRom rom;
    SdpSerialLink link(rom);
    Bytes stream{'#', 'E', 'E', '#'};
    const Bytes write = sCommand(0x04, 0x04, 0x20200010, 0x20, 6);
    stream.insert(stream.end(), write.begin(), write.end());
    const Bytes data{'#', 'E', 'E', '#', 0, 9}; // data is never a handshake
    stream.insert(stream.end(), data.begin(), data.end());
    const Bytes status = sCommand(0x05, 0x05, 0, 0, 0);
    stream.insert(stream.end(), status.begin(), status.end());

    // Byte by byte, as a slow line delivers it.
    Bytes out;
    for (uint8_t b : stream) {
        const Bytes piece = link.receive(&b, 1);
        out.insert(out.end(), piece.begin(), piece.end());
    }
    const Bytes expected{'#', 'E', 'E', '#', 0x56, 0x78, 0x78, 0x56, 0x88, 0x88, 0x88, 0x88,
                         0x56, 0x78, 0x78, 0x56, 0x88, 0x88, 0x88, 0x88};
    EXPECT_EQ(out, expected);
    EXPECT_EQ(rom.ram().read(0x20200010, 6), data);
    EXPECT_TRUE(rom.errors().empty());
}

TEST(ImxSimSerial, RegisterReadsAnswerFusesAndRam)
{
    SdpConfig config;
    config.uid0 = 0x11223344;
    SdpRom rom(config);
    SdpSerialLink link(rom);
    const Bytes fuse = sCommand(0x01, 0x01, 0x401F4410, 0x20, 4);
    Bytes expected = HAB;
    expected.insert(expected.end(), {0x44, 0x33, 0x22, 0x11});
    EXPECT_EQ(link.receive(fuse.data(), fuse.size()), expected);

    const Bytes unmapped = sCommand(0x01, 0x01, 0x50000000, 0x20, 4);
    expected = HAB;
    expected.insert(expected.end(), {0x33, 0x33, 0x33, 0x33});
    EXPECT_EQ(link.receive(unmapped.data(), unmapped.size()), expected) << "an error status, not made-up data";
    EXPECT_EQ(rom.errors().size(), 1u);
}

TEST(ImxSimSerial, JumpNeedsAnImageVectorTableAndThenTheRomIsGone)
{
    SdpRom rom;
    SdpSerialLink link(rom);
    const Bytes jump = sCommand(0x0B, 0x0B, 0x20000000, 0, 0);
    Bytes refused = HAB;
    refused.insert(refused.end(), {0x33, 0x33, 0x33, 0x33});
    EXPECT_EQ(link.receive(jump.data(), jump.size()), refused);

    const Bytes ivt{0xD1, 0x00, 0x20, 0x41, 0x00, 0x01, 0x00, 0x20};
    ASSERT_TRUE(rom.ram().write(0x20000000, ivt.data(), ivt.size()));
    EXPECT_EQ(link.receive(jump.data(), jump.size()), HAB);
    ASSERT_EQ(rom.jumps().size(), 1u);
    EXPECT_EQ(rom.jumps()[0].entry, 0x20000100u);

    const Bytes status = sCommand(0x05, 0x05, 0, 0, 0);
    EXPECT_TRUE(link.receive(status.data(), status.size()).empty());
}

TEST(ImxSimHid, AnswersWithSecurityAndResponseReports)
{
    SdpRom rom;
    SdpHidLink link(rom);
    Bytes report{1};
    const Bytes write = sCommand(0x04, 0x04, 0x20000000, 0x20, 4);
    report.insert(report.end(), write.begin(), write.end());
    EXPECT_TRUE(link.receive(report.data(), report.size()).empty());

    const Bytes data{2, 1, 2, 3, 4};
    const auto replies = link.receive(data.data(), data.size());
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0], (Bytes{3, 0x56, 0x78, 0x78, 0x56}));
    ASSERT_EQ(replies[1].size(), 65u);
    EXPECT_EQ(Bytes(replies[1].begin(), replies[1].begin() + 5), (Bytes{4, 0x88, 0x88, 0x88, 0x88}));
    EXPECT_EQ(rom.ram().read(0x20000000, 4), (Bytes{1, 2, 3, 4}));
}

TEST(ImxSimHid, DataBeyondTheAnnouncedCountVoidsTheWrite)
{
    SdpRom rom;
    SdpHidLink link(rom);
    Bytes report{1};
    const Bytes write = sCommand(0x04, 0x04, 0x20000000, 0x20, 3);
    report.insert(report.end(), write.begin(), write.end());
    link.receive(report.data(), report.size());

    const Bytes data{2, 9, 9, 9, 9};
    const auto replies = link.receive(data.data(), data.size());
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[1][1], 0x33) << "failure status";
    EXPECT_EQ(rom.ram().read(0x20000000, 4), (Bytes{0, 0, 0, 0}));
    EXPECT_EQ(rom.errors().size(), 1u);

    const Bytes shortCommand{1, 5, 5, 0};
    EXPECT_TRUE(link.receive(shortCommand.data(), shortCommand.size()).empty());
    EXPECT_EQ(rom.errors().size(), 2u);
}
