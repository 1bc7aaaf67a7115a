// The simulated boot ROM on its own: it must refuse what a chip refuses, with
// the chip's return code, so that the client tests mean something.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/lpc/LpcBootRom.h"
#include "sim/lpc/LpcUU.h"

namespace {

using lpcsim::LpcBootRom;
using lpcsim::LpcConfig;

std::string feed(LpcBootRom& rom, const std::string& bytes)
{
    std::string out;
    for (char c : bytes)
        rom.receive(static_cast<uint8_t>(c), out);
    return out;
}

// A chip past the handshake with echo off, so each answer is just the reply.
LpcConfig quiet()
{
    LpcConfig config;
    config.echo = false;
    return config;
}

void sync(LpcBootRom& rom)
{
    ASSERT_EQ(feed(rom, "?"), "Synchronized\r\n");
    ASSERT_EQ(feed(rom, "Synchronized\r\n"), "OK\r\n");
    ASSERT_EQ(feed(rom, "14746\r\n"), "OK\r\n");
}

TEST(LpcBootRom, HandshakeEchoesWhenEchoIsOn)
{
    LpcBootRom rom{LpcConfig{}};
    EXPECT_EQ(feed(rom, "x?"), "Synchronized\r\n");
    EXPECT_EQ(feed(rom, "Synchronized\r\n"), "Synchronized\r\nOK\r\n");
    EXPECT_EQ(feed(rom, "14746\r\n"), "14746\r\nOK\r\n");
    EXPECT_EQ(feed(rom, "J\r\n"), "J\r\n0\r\n637615927\r\n");
    EXPECT_EQ(feed(rom, "A 0\r\n"), "A 0\r\n0\r\n");
    EXPECT_EQ(feed(rom, "K\r\n"), "0\r\n4\r\n1\r\n");
}

TEST(LpcBootRom, WrongSyncWordGoesBackToAutobaud)
{
    LpcBootRom rom{quiet()};
    feed(rom, "?");
    EXPECT_EQ(feed(rom, "Synchronised\r\n"), "");
    EXPECT_EQ(rom.mode(), LpcBootRom::Mode::AutoBaud);
    EXPECT_EQ(feed(rom, "?"), "Synchronized\r\n");
}

TEST(LpcBootRom, RefusesLikeAChip)
{
    struct Case {
        std::vector<std::string> before;
        std::string command;
        int code;
    } cases[] = {
        {{}, "X 1", 1},
        {{}, "U 1234", 16},
        {{}, "U", 12},
        {{}, "A 2", 12},
        {{}, "B 12345 1", 17},
        {{}, "B 115200 3", 18},
        {{}, "P 5 3", 7},
        {{}, "P 0 30", 7},
        {{}, "P 0 x", 12},
        {{}, "E 0 0", 15},
        {{"U 23130"}, "E 0 0", 9},
        {{"U 23130", "P 1 1"}, "E 0 1", 9},
        {{"U 23130", "P 0 29"}, "E 0 29", 0},
        {{}, "W 268439554 4", 13},
        {{}, "W 268439552 6", 6},
        {{}, "W 268435456 4", 14},
        {{}, "W 0 4", 14},
        {{}, "W 268468224 4", 14},
        {{}, "R 2 4", 13},
        {{}, "R 524288 4", 14},
        {{}, "C 0 268439552 256", 15},
        {{"U 23130", "P 0 0"}, "C 0 268439554 256", 2},
        {{"U 23130", "P 0 0"}, "C 4224 268439552 256", 3},
        {{"U 23130", "P 0 0"}, "C 0 268439552 2048", 6},
        {{"U 23130", "P 0 0"}, "C 0 4096 256", 4},
        {{"U 23130", "P 29 29"}, "C 524032 268439552 512", 5},
        {{"U 23130"}, "C 0 268439552 256", 9},
        {{"U 23130", "P 0 0"}, "C 3840 268439552 512", 9},
        {{"U 23130", "P 0 0"}, "C 0 268439552 256", 0},
        {{"U 23130", "P 0 0", "C 0 268439552 256"}, "C 256 268439552 256", 9},
        {{}, "G 0 T", 15},
        {{"U 23130"}, "G 0 A", 12},
        {{"U 23130"}, "G 4026531840 T", 14},
        {{}, "M 0 268439552 6", 6},
    };
    for (const Case& c : cases) {
        LpcBootRom rom{quiet()};
        sync(rom);
        for (const std::string& line : c.before)
            ASSERT_EQ(feed(rom, line + "\r\n"), "0\r\n") << line;
        EXPECT_EQ(feed(rom, c.command + "\r\n"), std::to_string(c.code) + "\r\n") << c.command;
    }
}

TEST(LpcBootRom, RamWriteChecksumsAndResend)
{
    LpcBootRom rom{quiet()};
    sync(rom);
    std::vector<uint8_t> data(48);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7 + 1);
    uint32_t sum = 0;
    for (uint8_t b : data)
        sum += b;
    const std::string lines = lpcsim::uuEncodeLine(data.data(), 45) + "\r\n"
                              + lpcsim::uuEncodeLine(data.data() + 45, 3) + "\r\n";

    ASSERT_EQ(feed(rom, "W 268439552 48\r\n"), "0\r\n");
    EXPECT_EQ(feed(rom, lines), "");
    EXPECT_EQ(feed(rom, std::to_string(sum + 1) + "\r\n"), "RESEND\r\n");
    EXPECT_EQ(feed(rom, lines), "");
    EXPECT_EQ(feed(rom, std::to_string(sum) + "\r\n"), "OK\r\n");
    EXPECT_EQ(rom.mode(), LpcBootRom::Mode::Command);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), rom.ram().begin() + 0x1000));
    EXPECT_EQ(rom.resends(), 1);

    // A line longer than what is left of the count spoils its group.
    ASSERT_EQ(feed(rom, "W 268439552 4\r\n"), "0\r\n");
    feed(rom, lpcsim::uuEncodeLine(data.data(), 8) + "\r\n");
    EXPECT_EQ(feed(rom, "0\r\n"), "RESEND\r\n");
}

TEST(LpcBootRom, CopyOnlyClearsBitsAndEraseRestores)
{
    LpcBootRom rom{quiet()};
    sync(rom);
    // Programming 0x0F over 0xF0 leaves 0x00: flash bits only go from 1 to 0.
    auto program = [&](uint8_t value) {
        std::vector<uint8_t> data(256, value);
        uint32_t sum = 0;
        std::string lines;
        for (size_t at = 0; at < data.size(); at += 45) {
            const size_t n = std::min<size_t>(45, data.size() - at);
            lines += lpcsim::uuEncodeLine(data.data() + at, n) + "\r\n";
        }
        for (uint8_t b : data)
            sum += b;
        ASSERT_EQ(feed(rom, "W 268439552 256\r\n"), "0\r\n");
        ASSERT_EQ(feed(rom, lines + std::to_string(sum) + "\r\n"), "OK\r\n");
        ASSERT_EQ(feed(rom, "P 0 0\r\n"), "0\r\n");
        ASSERT_EQ(feed(rom, "C 0 268439552 256\r\n"), "0\r\n");
    };
    ASSERT_EQ(feed(rom, "U 23130\r\n"), "0\r\n");
    program(0xF0);
    program(0x0F);
    EXPECT_EQ(rom.flash()[0], 0x00);
    EXPECT_EQ(rom.flash()[256], 0xFF);
    EXPECT_EQ(feed(rom, "I 0 0\r\n"), "8\r\n0\r\n0\r\n");
    ASSERT_EQ(feed(rom, "P 0 0\r\n"), "0\r\n");
    ASSERT_EQ(feed(rom, "E 0 0\r\n"), "0\r\n");
    EXPECT_EQ(rom.flash()[0], 0xFF);
    EXPECT_EQ(feed(rom, "I 0 0\r\n"), "0\r\n");
}

TEST(LpcBootRom, ReadSendsGroupsAndResendsOnRequest)
{
    LpcConfig config = quiet();
    LpcBootRom rom{config};
    sync(rom);
    // 1000 bytes of blank flash: 20 lines and a checksum, then 3 lines and a checksum.
    std::string out = feed(rom, "R 0 1000\r\n");
    const std::string blank45 = lpcsim::uuEncodeLine(std::vector<uint8_t>(45, 0xFF).data(), 45) + "\r\n";
    std::string group;
    for (int i = 0; i < 20; ++i)
        group += blank45;
    EXPECT_EQ(out, "0\r\n" + group + std::to_string(900 * 255) + "\r\n");
    EXPECT_EQ(feed(rom, "RESEND\r\n"), group + std::to_string(900 * 255) + "\r\n");
    out = feed(rom, "OK\r\n");
    EXPECT_EQ(out.substr(out.size() - 7), "25500\r\n");
    EXPECT_EQ(feed(rom, "OK\r\n"), "");
    EXPECT_EQ(rom.mode(), LpcBootRom::Mode::Command);
}

TEST(LpcBootRom, Faults)
{
    LpcConfig silent = quiet();
    silent.faults.silent = true;
    LpcBootRom a{silent};
    EXPECT_EQ(feed(a, "?Synchronized\r\n"), "");

    LpcConfig noSync = quiet();
    noSync.faults.noSync = true;
    LpcBootRom b{noSync};
    EXPECT_EQ(feed(b, "???"), "");

    LpcConfig refuse = quiet();
    refuse.faults.refuseCommand = 'N';
    refuse.faults.refuseCode = 19;
    LpcBootRom c{refuse};
    sync(c);
    EXPECT_EQ(feed(c, "N\r\n"), "19\r\n");
    EXPECT_EQ(feed(c, "J\r\n"), "0\r\n637615927\r\n");
}

} // namespace
