// UEI request encoding, reply matching and decoding, and the transport
// fallback decision: the byte-level rules every entity request relies on.
#include <gtest/gtest.h>

#include <numeric>

#include "device_api/LinkFallback.h"
#include "device_api/UEICodec.h"

namespace {

using namespace Veltrane::Corvantis;
using Bytes = std::vector<uint8_t>;

uei sRequest(uint32_t type)
{
    uei u{};
    u.module = 4;
    u.command = 3;
    u.option = 0x84;
    u.specifier = 0x20;
    u.type = type;
    return u;
}

aPacket sPacket(uint8_t address, const Bytes& data)
{
    aPacket p{};
    p.check = aPACKET_CHECK;
    p.address = address;
    p.dataSize = static_cast<uint8_t>(data.size());
    std::copy(data.begin(), data.end(), p.data);
    return p;
}

TEST(UEIRequest, ScalarValuesAreBigEndianAfterTheHeader)
{
    struct Case {
        uint32_t type;
        uint32_t value;
        Bytes expected;
    } cases[] = {
        {aUEI_VOID, 0, {3, 0x84, 0x20}},
        {aUEI_BYTE, 0xA5, {3, 0x84, 0x20, 0xA5}},
        {aUEI_SHORT, 0x1234, {3, 0x84, 0x20, 0x12, 0x34}},
        {aUEI_INT, 0x01020304, {3, 0x84, 0x20, 1, 2, 3, 4}},
    };
    for (const Case& c : cases) {
        uei u = sRequest(c.type);
        if (c.type == aUEI_BYTE)
            u.byteVal = static_cast<uint8_t>(c.value);
        else if (c.type == aUEI_SHORT)
            u.shortVal = static_cast<uint16_t>(c.value);
        else
            u.intVal = c.value;
        std::vector<Bytes> packets;
        ASSERT_EQ(ueiRequestData(u, &packets), aErrNone);
        ASSERT_EQ(packets.size(), 1u);
        EXPECT_EQ(packets[0], c.expected) << "type " << c.type;

        Bytes sub;
        ASSERT_EQ(ueiSubindexRequestData(u, 7, &sub), aErrNone);
        Bytes expectedSub = c.expected;
        expectedSub.insert(expectedSub.begin() + 3, 7);
        EXPECT_EQ(sub, expectedSub) << "type " << c.type;
    }
}

TEST(UEIRequest, ByteBlocksGoInChunksOf24WithTrailers)
{
    Bytes block(50);
    std::iota(block.begin(), block.end(), 1);
    uei u = sRequest(aUEI_BYTES);
    u.bytes = block.data();
    u.bytesSize = block.size();
    std::vector<Bytes> packets;
    ASSERT_EQ(ueiRequestData(u, &packets), aErrNone);
    ASSERT_EQ(packets.size(), 3u);
    const size_t chunks[] = {24, 24, 2};
    const uint8_t trailers[] = {0x80, 0x81, 0x02};
    size_t offset = 0;
    for (size_t i = 0; i < 3; ++i) {
        ASSERT_EQ(packets[i].size(), chunks[i] + 4);
        EXPECT_EQ(Bytes(packets[i].begin(), packets[i].begin() + 3), (Bytes{3, 0x84, 0x20}));
        EXPECT_EQ(Bytes(packets[i].begin() + 3, packets[i].end() - 1),
                  Bytes(block.begin() + offset, block.begin() + offset + chunks[i]));
        EXPECT_EQ(packets[i].back(), trailers[i]);
        offset += chunks[i];
    }
}

TEST(UEIRequest, SequenceCountsModulo128AndEdgesOfTheChunkSize)
{
    Bytes block(24 * 130);
    uei u = sRequest(aUEI_BYTES);
    u.bytes = block.data();
    u.bytesSize = block.size();
    std::vector<Bytes> packets;
    ASSERT_EQ(ueiRequestData(u, &packets), aErrNone);
    ASSERT_EQ(packets.size(), 130u);
    EXPECT_EQ(packets[127].back(), 0x80 | 127);
    EXPECT_EQ(packets[128].back(), 0x80 | 0);
    EXPECT_EQ(packets[129].back(), 1); // last: no continue bit

    u.bytesSize = 24; // exactly one chunk: one packet, nothing more announced
    ASSERT_EQ(ueiRequestData(u, &packets), aErrNone);
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].size(), 28u);
    EXPECT_EQ(packets[0].back(), 0);

    u.bytesSize = 0; // an empty block still says so in one packet
    ASSERT_EQ(ueiRequestData(u, &packets), aErrNone);
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0], (Bytes{3, 0x84, 0x20, 0}));
}

TEST(UEIRequest, UnsendableRecordsAreRefused)
{
    std::vector<Bytes> packets;
    Bytes sub;
    uei odd = sRequest(3); // no such value type
    EXPECT_EQ(ueiRequestData(odd, &packets), aErrParam);
    EXPECT_TRUE(packets.empty());
    uei nullBlock = sRequest(aUEI_BYTES);
    nullBlock.bytes = nullptr;
    nullBlock.bytesSize = 5;
    EXPECT_EQ(ueiRequestData(nullBlock, &packets), aErrParam);
    EXPECT_EQ(ueiSubindexRequestData(nullBlock, 1, &sub), aErrParam);
}

TEST(UEIReply, MatchingUsesAddressCommandFullOptionAndIndexBits)
{
    uei key{};
    key.module = 4;
    key.command = 3;
    key.option = 0xC4;
    key.specifier = 2;
    struct Case {
        uint8_t address;
        Bytes data;
        bool matches;
    } cases[] = {
        {4, {3, 0xC4, 2}, true},
        {4, {3, 0xC4, 0x22}, true},   // flag bits above the index are ignored
        {4, {3, 0xC4, 0x82, 29}, true}, // error reply
        {6, {3, 0xC4, 2}, false},     // another module
        {4, {3, 0x44, 2}, false},     // all 8 option bits count
        {4, {3, 0xC4, 3}, false},     // another index
        {4, {8, 0xC4, 2}, false},     // another entity class
        {4, {3, 0xC4}, false},        // too short to be a reply
    };
    for (const Case& c : cases) {
        aPacket p = sPacket(c.address, c.data);
        EXPECT_EQ(ueiReplyMatches(&p, key), c.matches) << testing::PrintToString(c.data);
    }
}

TEST(UEIReply, DecodingFollowsTheDataSize)
{
    struct Case {
        Bytes data;
        uint32_t type;
        uint32_t value;
    } cases[] = {
        {{3, 9, 0}, aUEI_VOID, 0},
        {{3, 9, 0, 0x7E}, aUEI_BYTE, 0x7E},
        {{3, 9, 0, 0x12, 0x34}, aUEI_SHORT, 0x1234},
        {{3, 9, 0, 0x00, 0xC0, 0xFF, 0xEE}, aUEI_INT, 0x00C0FFEE},
        {{3, 9, 0, 1, 2, 3}, 99, 0x55555555}, // size 6: neither type nor value change
    };
    for (const Case& c : cases) {
        uei reply{};
        reply.type = 99;
        reply.intVal = 0x55555555;
        aPacket p = sPacket(4, c.data);
        ueiDecodeReply(&p, &reply);
        EXPECT_EQ(reply.type, c.type);
        const uint32_t value = c.type == aUEI_BYTE ? reply.byteVal : c.type == aUEI_SHORT ? reply.shortVal
                                                                                          : reply.intVal;
        if (c.type != aUEI_VOID) {
            EXPECT_EQ(value, c.value) << testing::PrintToString(c.data);
        }
    }
}

TEST(UEIReply, ErrorReplyKeepsTheFlagAndTheModulesCode)
{
    uei reply{};
    reply.specifier = 0;
    aPacket p = sPacket(4, {3, 0x09, 0x80, 29});
    ueiDecodeReply(&p, &reply);
    EXPECT_EQ(reply.specifier, 0x80);
    EXPECT_EQ(reply.byteVal, aErrInvalidOption);

    // An error reply that lost its code must not read as success.
    uei bare{};
    aPacket shortError = sPacket(4, {3, 0x09, 0x80});
    ueiDecodeReply(&shortError, &bare);
    EXPECT_NE(bare.byteVal, aErrNone);
    EXPECT_TRUE(bare.specifier & 0x80);
}

TEST(LinkFallback, DecisionByTypeResultAndConfiguration)
{
    aWeaveConfig on;
    aWeaveConfig off;
    off.fallback = false;
    struct Case {
        linkType tried;
        aErr result;
        const aWeaveConfig* config;
        linkType next;
    } cases[] = {
        {USB, aErrNotFound, &on, AWEAVE},
        {TCPIP, aErrConnection, &on, AWEAVE},
        {USB, aErrInitialization, &on, AWEAVE},
        {AWEAVE, aErrNotFound, &on, USB},
        {AWEAVE_TCPIP, aErrConnection, &on, USB},
        {AWEAVE, aErrConfiguration, &on, USB}, // sharing off: reach it directly
        {USB, aErrNotFound, &off, INVALID},
        {AWEAVE, aErrConfiguration, &off, INVALID},
        {USB, aErrNone, &on, INVALID},
        {USB, aErrTimeout, &on, INVALID},
        {USB, aErrConfiguration, &on, INVALID},
        {SERIAL, aErrNotFound, &on, INVALID},
    };
    for (const Case& c : cases)
        EXPECT_EQ(linkFallbackType(c.tried, c.result, *c.config), c.next)
            << "type " << c.tried << " result " << c.result << " fallback " << c.config->fallback;
}

} // namespace
