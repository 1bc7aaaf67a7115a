// UEI payload helpers: big-endian values, byte-block trailers, and the tests
// for UEI payloads and stream samples.
#include "common/aUEI.h"

#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

namespace {

struct PacketDeleter {
    void operator()(aPacket* p) const { aPacket_Destroy(&p); }
};
using PacketPtr = std::unique_ptr<aPacket, PacketDeleter>;

PacketPtr sPacket(std::vector<uint8_t> data)
{
    return PacketPtr(aPacket_CreateWithData(2, static_cast<uint8_t>(data.size()), data.data()));
}

TEST(aUEITest, ValuesAreBigEndian)
{
    uint8_t bytes[4] = {};
    aUEI_StoreShort(bytes, 0x1234);
    EXPECT_EQ(bytes[0], 0x12);
    EXPECT_EQ(bytes[1], 0x34);
    EXPECT_EQ(aUEI_RetrieveShort(bytes), 0x1234);

    aUEI_StoreInt(bytes, 0x89ABCDEF);
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 4), (std::vector<uint8_t>{0x89, 0xAB, 0xCD, 0xEF}));
    EXPECT_EQ(aUEI_RetrieveInt(bytes), 0x89ABCDEFu);

    const uint8_t high[] = {0xFF, 0xFE, 0x80, 0x01};
    EXPECT_EQ(aUEI_RetrieveShort(high), 0xFFFE);
    EXPECT_EQ(aUEI_RetrieveInt(high), 0xFFFE8001u);
}

TEST(aUEITest, ModifyIntBufferConvertsInPlace)
{
    const uint8_t wire[] = {0x00, 0x00, 0x01, 0x02, 0x0A, 0x0B, 0x0C, 0x0D, 0xFF, 0x00, 0x00, 0x00};
    uint32_t words[3];
    std::memcpy(words, wire, sizeof words);
    aUEI_ModifyIntBuffer(words, 2);
    EXPECT_EQ(words[0], 0x102u);
    EXPECT_EQ(words[1], 0x0A0B0C0Du);
    uint32_t untouched;
    std::memcpy(&untouched, wire + 8, 4);
    EXPECT_EQ(words[2], untouched);  // only n words are converted
}

TEST(aUEITest, ByteBlockTrailer)
{
    struct TrailerCase {
        uint8_t dataSize;
        uint8_t last;
        uint8_t sequence;
        bool more;
        bool full;
    };
    const TrailerCase cases[] = {
        {28, 0x85, 5, true, true},
        {27, 0x00, 0, false, true},
        {26, 0x81, 1, true, false},
        {10, 0x7F, 127, false, false},
        {4, 0xFF, 127, true, false},
    };
    for (const TrailerCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "size " << int{c.dataSize} << " last " << int{c.last});
        std::vector<uint8_t> data(c.dataSize, 0x11);
        data.back() = c.last;
        PacketPtr packet = sPacket(data);
        EXPECT_EQ(aUEI_getBytesSequence(packet.get()), c.sequence);
        EXPECT_EQ(aUEI_getBytesContinue(packet.get()), c.more);
        EXPECT_EQ(aUEI_getBytesFullPacket(packet.get()), c.full);
    }

    // No packet, or no data: no trailer to read.
    PacketPtr empty = sPacket({});
    for (const aPacket* p : {static_cast<const aPacket*>(nullptr), static_cast<const aPacket*>(empty.get())}) {
        EXPECT_EQ(aUEI_getBytesSequence(p), 0);
        EXPECT_FALSE(aUEI_getBytesContinue(p));
        EXPECT_FALSE(aUEI_getBytesFullPacket(p));
    }
}

TEST(aUEITest, PayloadKindByCommand)
{
    const uint8_t linkAndSystem[] = {0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175};
    for (uint8_t command : linkAndSystem) {
        PacketPtr packet = sPacket({command, 0x01, 0x20});
        EXPECT_TRUE(aUEI_isNotUEIPayload(packet.get())) << int{command};
        EXPECT_FALSE(aUEI_isUEIPayload(packet.get())) << int{command};
    }
    const uint8_t entities[] = {3, 5, 7, 10, 22, 25, 72, 74, 96, 174, 176, 255};
    for (uint8_t command : entities) {
        PacketPtr packet = sPacket({command, 0x01, 0x20});
        EXPECT_FALSE(aUEI_isNotUEIPayload(packet.get())) << int{command};
        EXPECT_TRUE(aUEI_isUEIPayload(packet.get())) << int{command};
    }
    EXPECT_FALSE(aUEI_isNotUEIPayload(nullptr));
    EXPECT_FALSE(aUEI_isUEIPayload(nullptr));
}

TEST(aUEITest, StreamSamples)
{
    struct StreamCase {
        const char* name;
        std::vector<uint8_t> data;
        bool stream;
    };
    const StreamCase cases[] = {
        {"int sample", {10, 0x05, 0x41, 0, 0, 0, 7}, true},
        {"byte sample", {10, 0x05, 0x41, 0, 3}, true},
        {"four bytes is too short", {10, 0x05, 0x41, 3}, false},
        {"get request bit", {10, 0x45, 0x41, 0, 3}, false},
        {"set reply bits", {10, 0xC5, 0x41, 0, 3}, false},
        {"no stream bit", {10, 0x05, 0x01, 0, 3}, false},
        {"error reply without stream bit", {10, 0x05, 0x81, 0, 3}, false},
        {"heartbeat command", {0, 0x05, 0x41, 0, 3}, false},
    };
    for (const StreamCase& c : cases) {
        PacketPtr packet = sPacket(c.data);
        EXPECT_EQ(aUEI_isStreamPacket(packet.get()), c.stream) << c.name;
    }
    EXPECT_FALSE(aUEI_isStreamPacket(nullptr));
}

} // namespace
