// Byte layout of the i.MX loader's commands, the parsers of the boot ROM's
// replies, and the loader's handling of its transport slot.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "recovery/SDPLoader.h"
#include "recovery/SDPLoader_Protocol.h"
#include "recovery/Serial_SDPLoader.h"

namespace P = SDPLoader_Protocol;
using Bytes = std::vector<uint8_t>;

TEST(SdpCommand, LayoutOfEachCommand)
{
    struct Case {
        const char* name;
        Bytes built;
        Bytes expected;
    } cases[] = {
        {"status", P::BuildCommand(P::ERROR_STATUS, 0, 0, 0), {1, 5, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"read fuse", P::BuildCommand(P::READ_REGISTER, 0x401F4410, 0x20, 4),
         {1, 1, 1, 0x40, 0x1F, 0x44, 0x10, 0x20, 0, 0, 0, 4, 0, 0, 0, 0, 0}},
        {"write file", P::BuildCommand(P::WRITE_FILE, 0x20000000, 0x20, 256),
         {0x01, 0x04, 0x04, 0x20, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
        {"jump", P::BuildCommand(P::JUMP_ADDRESS, 0x20000400, 0, 0),
         {1, 0x0B, 0x0B, 0x20, 0x00, 0x04, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.built, c.expected) << c.name;
}

TEST(SdpReply, SerialValueNeedsStatusAndResponseWords)
{
    const Bytes reply{0x56, 0x78, 0x78, 0x56, 0x88, 0x88, 0x88, 0x88, 0x11, 0x22, 0x33, 0x44};
    uint32_t value = 0;
    EXPECT_TRUE(P::SerialReplyValue(reply.data(), 8, 0, value));
    EXPECT_EQ(value, 0x88888888u);

    value = 0;
    EXPECT_FALSE(P::SerialReplyValue(reply.data(), 7, 0, value)) << "status and half a response";
    EXPECT_FALSE(P::SerialReplyValue(reply.data(), 4, 0, value)) << "security status alone";
    EXPECT_FALSE(P::SerialReplyValue(reply.data(), reply.size(), 16, value));
    EXPECT_EQ(value, 0u) << "a refused reply leaves the value alone";

    // The value is OR-ed into what the caller holds.
    value = 0x00000001;
    const Bytes other{0, 0, 0, 0, 0x10, 0, 0, 0};
    ASSERT_TRUE(P::SerialReplyValue(other.data(), other.size(), 0, value));
    EXPECT_EQ(value, 0x11u);
}

TEST(SdpReply, HidValueOnlyFromAWholeReply)
{
    Bytes reply(70, 0);
    reply[0] = 3;
    reply[5] = 4;
    reply[6] = 0x12;
    reply[7] = 0x34;
    reply[8] = 0x56;
    reply[9] = 0x78;
    uint32_t value = 0;
    ASSERT_TRUE(P::HIDReplyValue(reply.data(), reply.size(), 0, value));
    EXPECT_EQ(value, 0x78563412u);
    for (size_t length : {size_t{5}, size_t{69}, size_t{71}, size_t{135}}) {
        Bytes other(length, 0xFF);
        uint32_t v = 0;
        EXPECT_FALSE(P::HIDReplyValue(other.data(), other.size(), 0, v)) << length << " bytes";
    }
    EXPECT_FALSE(P::HIDReplyValue(reply.data(), reply.size(), 16, value));
}

TEST(SdpReply, HidReportsAssembleIntoSeventyBytes)
{
    Bytes reply;
    Bytes hab(65, 0);
    hab[0] = 3;
    hab[1] = 0x56;
    Bytes response(65, 0);
    response[0] = 4;
    response[1] = 0x88;
    EXPECT_EQ(P::AppendHIDReport(reply, hab.data(), hab.size()), 5u) << "report 3 keeps its id and 4 status bytes";
    EXPECT_EQ(P::AppendHIDReport(reply, response.data(), response.size()), 65u);
    ASSERT_EQ(reply.size(), P::HID_REPLY_SIZE);
    EXPECT_EQ(reply[1], 0x56);
    EXPECT_EQ(reply[6], 0x88);
    EXPECT_EQ(P::AppendHIDReport(reply, nullptr, 10), 0u);
}

namespace {

struct Counter : SDPLoader_Interface {
    int* inits;
    explicit Counter(int* n) : inits(n) {}
    bool init() override { return ++*inits, true; }
    ssize_t writeData(const Bytes& b) override { return static_cast<ssize_t>(b.size()); }
    ssize_t readData(Bytes&, int) override { return 0; }
    bool getDataFromBuffer(const Bytes&, size_t, uint32_t&) override { return false; }
};

} // namespace

TEST(SdpLoaderSlot, KeepsTheFirstTransportAndReportsMissingOnes)
{
    SDPLoader empty;
    EXPECT_EQ(empty.init(), SDPLoader::SDP_NO_TRANSPORT);
    uint64_t fp = 0;
    EXPECT_EQ(empty.getFingerprint(fp), SDPLoader::SDP_NO_TRANSPORT);
    EXPECT_EQ(empty.writeLoader(Bytes(4), 0x20000000), SDPLoader::SDP_NO_TRANSPORT);

    int first = 0;
    int second = 0;
    SDPLoader loader;
    std::unique_ptr<SDPLoader_Interface> null;
    EXPECT_FALSE(loader.setLoader(std::move(null)));
    ASSERT_TRUE(loader.setLoader(std::make_unique<Counter>(&first)));
    std::unique_ptr<SDPLoader_Interface> other = std::make_unique<Counter>(&second);
    EXPECT_FALSE(loader.setLoader(std::move(other)));
    EXPECT_NE(other, nullptr) << "a refused transport stays with the caller";
    EXPECT_EQ(loader.init(), SDPLoader::SDP_OK);
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 0);
}

TEST(SdpLoaderSlot, InitFailsForDevicesThatAreNotTerminals)
{
    for (const char* path : {"/nonexistent/ttyIMX", "/dev/null"}) {
        SDPLoader loader;
        ASSERT_TRUE(loader.setLoader(std::make_unique<Serial_SDPLoader>(path, 0)));
        EXPECT_EQ(loader.init(), SDPLoader::SDP_INIT_FAILED) << path;
    }
}
