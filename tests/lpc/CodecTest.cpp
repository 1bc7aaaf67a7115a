// The LPC client's pure helpers: UU lines checked against the simulator's
// independent codec, return-code lines, the sector table and copy lengths.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "recovery/ISPReply.h"
#include "recovery/NXPSerialClass.h"
#include "recovery/UUEncoding.h"
#include "sim/lpc/LpcUU.h"

namespace {

TEST(LpcUULines, ThreeZeroBytesUseBackquotes)
{
    const uint8_t zeros[3] = {0, 0, 0};
    char line[uu::LINE_BUFFER];
    EXPECT_EQ(NXPSerialClass::uuencode(line, zeros, 3), 5u);
    EXPECT_STREQ(line, "#````");
}

TEST(LpcUULines, AgreeWithTheSimulatorBothWays)
{
    std::mt19937 random(7);
    for (size_t n = 1; n <= 45; ++n) {
        std::vector<uint8_t> data(n);
        for (auto& b : data)
            b = static_cast<uint8_t>(random());
        char line[uu::LINE_BUFFER];
        NXPSerialClass::uuencode(line, data.data(), n);
        const auto theirs = lpcsim::uuDecodeLine(line);
        ASSERT_TRUE(theirs) << n;
        EXPECT_EQ(*theirs, data) << n;

        // Their encoding, with spaces for zero as older parts send it, back through ours.
        std::string sent = lpcsim::uuEncodeLine(data.data(), n);
        for (size_t i = 1; i < sent.size(); i += 2)
            if (sent[i] == '`')
                sent[i] = ' ';
        std::vector<uint8_t> back(n, 0xEE);
        EXPECT_EQ(NXPSerialClass::uudecode(back.data(), back.size(), sent.c_str()), n);
        EXPECT_EQ(back, data) << n;
    }
}

TEST(LpcUULines, DecodingRespectsRoomAndShortLines)
{
    std::vector<uint8_t> out(8, 0xEE);
    // 'M' announces 45 bytes: more than the room, so nothing is touched.
    EXPECT_EQ(NXPSerialClass::uudecode(out.data(), out.size(), "M````"), 0u);
    EXPECT_EQ(out, std::vector<uint8_t>(8, 0xEE));
    // '(' announces 8 bytes but carries one group: 3 decoded, the rest left.
    bool overrun = false;
    EXPECT_EQ(uu::uudecode(out.data(), out.size(), "(!!!!", &overrun), 8u);
    EXPECT_TRUE(overrun);
    EXPECT_EQ(out[3], 0xEE);
    // Never more than the count, even when the last group carries padding.
    std::vector<uint8_t> two(4, 0xEE);
    EXPECT_EQ(uu::uudecode(two.data(), 2, "\"!!!!"), 2u);
    EXPECT_EQ(two[2], 0xEE);
}

TEST(LpcReturnCodes, StatusLinesWithAndWithoutEcho)
{
    struct Case {
        const char* line;
        bool echo;
        long code;
    } cases[] = {
        {"0\r\n", true, 0},      {"0\r\n", false, 0},     {"19\r\n", true, 19},    {"19\r\n", false, 19},
        {"10\r\n", true, 10},    {"20\r\n", true, 20},    {"\r0\r\n", true, 0},    {"OK\r\n", true, -1},
        {"", true, -1},          {"7", false, 7},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ispreply::statusCode(c.line, std::strlen(c.line), c.echo), c.code) << c.line << " echo " << c.echo;
}

TEST(LpcReturnCodes, Names)
{
    EXPECT_STREQ(NXPSerialClass::GetErrorText("19\r\n"), "CODE_READ_PROTECTION_ENABLED");
    EXPECT_STREQ(NXPSerialClass::GetErrorText("0x9"), "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION");
    EXPECT_STREQ(NXPSerialClass::GetErrorText("0"), "CMD_SUCCESS");
    EXPECT_STREQ(NXPSerialClass::GetErrorText("21"), "Unknown error");
    EXPECT_STREQ(NXPSerialClass::GetErrorText("-1"), "Unknown error");
}

TEST(LpcFlashLayout, SectorsAndCopyLengths)
{
    const std::pair<uint32_t, int> sectors[] = {
        {0, 0}, {0xFFF, 0}, {0xF000, 15}, {0x10000, 16}, {0x17FFF, 16}, {0x7FFFF, 29}, {0x80000, 30}, {0xFFFFFFFF, 30},
    };
    for (auto [address, sector] : sectors)
        EXPECT_EQ(NXPSerialClass::SectorFromAddress(address), sector) << std::hex << address;

    const std::pair<uint32_t, uint32_t> lengths[] = {
        {1, 256}, {256, 256}, {257, 512}, {300, 512}, {1024, 1024}, {1808, 4096}, {4096, 4096}, {5000, 5000},
    };
    for (auto [count, length] : lengths)
        EXPECT_EQ(NXPSerialClass::CopyLength(count), length) << count;
}

} // namespace
