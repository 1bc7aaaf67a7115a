// Packets: assembly from wire bytes, creation from data, field getters, the
// wire form, copying and destruction.
#include "common/aPacket.h"

#include <gtest/gtest.h>
#include <memory>
#include <vector>

namespace {

struct PacketDeleter {
    void operator()(aPacket* p) const { aPacket_Destroy(&p); }
};
using PacketPtr = std::unique_ptr<aPacket, PacketDeleter>;

struct AssemblyCase {
    const char* name;
    std::vector<uint8_t> bytes;
    std::vector<aErr> results;  // one per byte
    bool complete;
    uint8_t address;
    std::vector<uint8_t> data;  // expected data when complete
};

TEST(aPacketTest, AssemblesFromWireBytes)
{
    std::vector<uint8_t> full = {0x02, 28};
    std::vector<aErr> fullResults(30, aErrNone);
    std::vector<uint8_t> fullData;
    for (uint8_t i = 0; i < 28; ++i) {
        full.push_back(static_cast<uint8_t>(0xA0 + i));
        fullData.push_back(static_cast<uint8_t>(0xA0 + i));
    }
    std::vector<uint8_t> overrun = full;
    overrun.push_back(0x55);
    std::vector<aErr> overrunResults = fullResults;
    overrunResults.push_back(aErrOverrun);

    const AssemblyCase cases[] = {
        {"empty packet", {0x06, 0x00}, {aErrNone, aErrNone}, true, 6, {}},
        {"three data bytes", {0x08, 0x03, 0x11, 0x22, 0x33}, {aErrNone, aErrNone, aErrNone, aErrNone, aErrNone},
         true, 8, {0x11, 0x22, 0x33}},
        {"zero address", {0x00}, {aErrPacket}, false, 0, {}},
        {"length above 28", {0x06, 0x1D}, {aErrNone, aErrPacket}, false, 6, {}},
        {"byte past the length", {0x08, 0x01, 0x11, 0x22}, {aErrNone, aErrNone, aErrNone, aErrPacket}, false, 8, {}},
        {"largest packet", full, fullResults, true, 2, fullData},
        {"31st byte without reset", overrun, overrunResults, false, 2, {}},
    };
    for (const AssemblyCase& c : cases) {
        SCOPED_TRACE(c.name);
        PacketPtr packet(aPacket_Create());
        ASSERT_TRUE(aVALIDPACKET(packet.get()));
        ASSERT_EQ(c.bytes.size(), c.results.size());
        for (size_t i = 0; i < c.bytes.size(); ++i)
            EXPECT_EQ(aPacket_AddByte(packet.get(), c.bytes[i]), c.results[i]) << "byte " << i;
        EXPECT_EQ(aPacket_IsComplete(packet.get()), c.complete);
        EXPECT_EQ(packet->address, c.address);
        if (c.complete) {
            ASSERT_EQ(packet->dataSize, c.data.size());
            EXPECT_EQ(std::vector<uint8_t>(packet->data, packet->data + packet->dataSize), c.data);
        }
    }
}

TEST(aPacketTest, ResetStartsAssemblyAfresh)
{
    PacketPtr packet(aPacket_Create());
    for (uint8_t b : {0x04, 0x02, 0x7E, 0x7F})
        ASSERT_EQ(aPacket_AddByte(packet.get(), b), aErrNone);
    ASSERT_TRUE(aPacket_IsComplete(packet.get()));

    ASSERT_EQ(aPacket_Reset(packet.get()), aErrNone);
    EXPECT_EQ(packet->count, 0);
    EXPECT_EQ(packet->address, 0);
    EXPECT_EQ(packet->dataSize, 0);
    EXPECT_EQ(packet->data[0], 0);
    EXPECT_EQ(packet->data[1], 0);
    EXPECT_FALSE(aPacket_IsComplete(packet.get()));
    for (uint8_t b : {0x0A, 0x01, 0x33})
        ASSERT_EQ(aPacket_AddByte(packet.get(), b), aErrNone);
    EXPECT_TRUE(aPacket_IsComplete(packet.get()));
    EXPECT_EQ(packet->address, 0x0A);
    EXPECT_EQ(packet->data[0], 0x33);
}

TEST(aPacketTest, EndlessInputStaysOverrun)
{
    // However many bytes arrive without a reset, the byte counter must not
    // wrap round and start a packet again.
    const uint8_t header[] = {0x02, 0x02};
    PacketPtr packet(aPacket_Create());
    for (uint8_t b : header)
        ASSERT_EQ(aPacket_AddByte(packet.get(), b), aErrNone);
    int overruns = 0;
    for (int i = 2; i < 600; ++i) {
        const aErr result = aPacket_AddByte(packet.get(), 0x02);
        if (i >= 30) {
            overruns += result == aErrOverrun;
            EXPECT_FALSE(aPacket_IsComplete(packet.get())) << "byte " << i;
        }
    }
    EXPECT_EQ(overruns, 600 - 30);
    EXPECT_EQ(packet->address, 0x02);
    EXPECT_EQ(packet->dataSize, 0x02);
}

TEST(aPacketTest, CreateWithData)
{
    const uint8_t data[29] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15,
                              16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29};
    EXPECT_EQ(aPacket_CreateWithData(2, 29, data), nullptr);
    EXPECT_EQ(aPacket_CreateWithData(2, 3, nullptr), nullptr);

    PacketPtr largest(aPacket_CreateWithData(2, 28, data));
    ASSERT_TRUE(aVALIDPACKET(largest.get()));
    EXPECT_TRUE(aPacket_IsComplete(largest.get()));
    EXPECT_EQ(largest->count, 30);
    EXPECT_EQ(largest->data[27], 28);

    PacketPtr empty(aPacket_CreateWithData(4, 0, data));
    ASSERT_TRUE(aVALIDPACKET(empty.get()));
    EXPECT_TRUE(aPacket_IsComplete(empty.get()));
    EXPECT_EQ(empty->dataSize, 0);
    EXPECT_EQ(empty->data[0], 0);  // nothing copied past the length
}

TEST(aPacketTest, Getters)
{
    const uint8_t data[] = {0x55, 0xC7, 0xE3};
    using Getter = aErr (*)(const aPacket*, uint8_t*);
    struct GetterCase {
        const char* name;
        Getter get;
        uint8_t length;     // data bytes in the packet
        aErr result;
        uint8_t value;
    };
    const GetterCase cases[] = {
        {"command", aPacket_GetCmd, 3, aErrNone, 0x55},
        {"option masked", aPacket_GetOption, 3, aErrNone, 0x07},
        {"index masked", aPacket_GetIndex, 3, aErrNone, 0x03},
        {"command of empty packet", aPacket_GetCmd, 0, aErrPacket, 0},
        {"option of one-byte packet", aPacket_GetOption, 1, aErrPacket, 0},
        {"index of two-byte packet", aPacket_GetIndex, 2, aErrPacket, 0},
    };
    for (const GetterCase& c : cases) {
        SCOPED_TRACE(c.name);
        PacketPtr packet(aPacket_CreateWithData(2, c.length, data));
        uint8_t out = 0;
        EXPECT_EQ(c.get(packet.get(), &out), c.result);
        EXPECT_EQ(out, c.value);
        EXPECT_EQ(c.get(packet.get(), nullptr), aErrParam);
        EXPECT_EQ(c.get(nullptr, &out), aErrPacket);
    }
}

TEST(aPacketTest, WireForm)
{
    const uint8_t data[] = {0x10, 0x20, 0x30};
    PacketPtr packet(aPacket_CreateWithData(0x0C, 3, data));

    uint8_t buffer[8];
    size_t written = 99;
    ASSERT_EQ(aPacket_GetBytes(packet.get(), buffer, 5, &written), aErrNone);
    EXPECT_EQ(written, 5u);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 5), (std::vector<uint8_t>{0x0C, 3, 0x10, 0x20, 0x30}));
    EXPECT_EQ(aPacket_GetBytes(packet.get(), buffer, 5, nullptr), aErrNone);

    // One byte short: refused, and the buffer is left alone.
    std::fill(std::begin(buffer), std::end(buffer), 0xEE);
    EXPECT_EQ(aPacket_GetBytes(packet.get(), buffer, 4, &written), aErrOverrun);
    for (uint8_t b : buffer)
        EXPECT_EQ(b, 0xEE);

    EXPECT_EQ(aPacket_GetBytes(packet.get(), nullptr, 5, nullptr), aErrParam);
    EXPECT_EQ(aPacket_GetBytes(nullptr, buffer, 5, nullptr), aErrParam);

    // A packet whose length byte was refused has no wire form; it must not
    // be read past its data.
    PacketPtr bad(aPacket_Create());
    aPacket_AddByte(bad.get(), 0x06);
    aPacket_AddByte(bad.get(), 0xFF);
    uint8_t big[300];
    EXPECT_NE(aPacket_GetBytes(bad.get(), big, sizeof big, nullptr), aErrNone);
}

TEST(aPacketTest, CopyIsIndependentAndComplete)
{
    const uint8_t data[] = {9, 8, 7};
    PacketPtr original(aPacket_CreateWithData(0x0E, 3, data));
    PacketPtr copy(aPacket_Copy(original.get()));
    ASSERT_TRUE(aVALIDPACKET(copy.get()));
    EXPECT_NE(copy.get(), original.get());
    EXPECT_EQ(copy->address, 0x0E);
    EXPECT_EQ(copy->dataSize, 3);
    EXPECT_TRUE(aPacket_IsComplete(copy.get()));
    original->data[0] = 0;
    EXPECT_EQ(copy->data[0], 9);

    aPacket invalid = *original;
    invalid.check = 0;
    EXPECT_EQ(aPacket_Copy(&invalid), nullptr);
    EXPECT_EQ(aPacket_Copy(nullptr), nullptr);
}

TEST(aPacketTest, InvalidRecordsAreRefused)
{
    aPacket stale = {0, 0, 0, 0, {}};
    EXPECT_FALSE(aVALIDPACKET(&stale));
    EXPECT_EQ(aPacket_AddByte(&stale, 2), aErrParam);
    EXPECT_EQ(aPacket_Reset(&stale), aErrParam);
    EXPECT_FALSE(aPacket_IsComplete(&stale));
    EXPECT_EQ(stale.count, 0);

    // Destroying a record without the tag neither frees it nor keeps the
    // caller's pointer.
    aPacket* pointer = &stale;
    EXPECT_EQ(aPacket_Destroy(&pointer), aErrParam);
    EXPECT_EQ(pointer, nullptr);
}

TEST(aPacketTest, DestroyClearsTheCallersPointer)
{
    aPacket* packet = aPacket_Create();
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(aPacket_Destroy(&packet), aErrNone);
    EXPECT_EQ(packet, nullptr);
    EXPECT_EQ(aPacket_Destroy(&packet), aErrParam);
    EXPECT_EQ(aPacket_Destroy(nullptr), aErrParam);
}

} // namespace
