// The simulated module's behaviour at packet level: link control, heartbeat
// answer checks, system-entity gets and sets, error replies and byte blocks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/ModuleModel.h"

using namespace modsim;

namespace {

class ModelTest : public ::testing::Test {
protected:
    ModelTest() {
        ModuleConfig c;
        c.serial = 0x1234ABCD;
        c.model = 17;
        c.address = 4;
        c.version = packVersion(2, 15, 7);
        c.build = 4242;
        c.name = "Bench hub";
        model = makeStandardModule(c, log);
    }

    // Replies to one packet, as "A S D..." joined by "; ".
    std::string ask(std::initializer_list<uint8_t> wire) {
        std::vector<uint8_t> w(wire);
        Packet in = Packet::make(w[0], w.data() + 2, w[1]);
        std::vector<Packet> out;
        model->receive(in, out);
        std::string s;
        for (auto& p : out)
            s += (s.empty() ? "" : "; ") + p.text();
        return s;
    }

    EventLog log;
    std::unique_ptr<ModuleModel> model;
};

} // namespace

TEST(ModuleConfigTest, VersionPackingFollowsBothFormats) {
    EXPECT_EQ(packVersion(2, 14, 3), 0x2E000003u);
    EXPECT_EQ(packVersion(2, 15, 3), 0x2F020F03u);
    EXPECT_EQ(packVersion(3, 0, 1), 0x2F030001u);
    EXPECT_EQ(packVersion(1, 2, 255), 0x120000FFu);
}

TEST_F(ModelTest, LinkControl) {
    EXPECT_EQ(ask({173, 0}), "4 0");
    EXPECT_FALSE(model->route().has_value());
    EXPECT_EQ(ask({175, 1, 1}), "");
    EXPECT_EQ(model->route(), std::optional<bool>(true));
    EXPECT_EQ(ask({175, 1, 0}), "");
    EXPECT_EQ(model->route(), std::optional<bool>(false));
    EXPECT_EQ(log.matching("route "), (std::vector<std::string>{"route on", "route off"}));
}

TEST_F(ModelTest, SystemEntityGets) {
    struct Case {
        uint8_t option;
        std::string reply;
    } cases[] = {
        {1, "4 4 3 1 0 4"},             // module address
        {7, "4 7 3 7 0 47 2 15 7"},     // version 0x2F020F07
        {8, "4 4 3 8 0 17"},            // model
        {9, "4 7 3 9 0 18 52 171 205"}, // serial 0x1234ABCD, big-endian
        {43, "4 7 3 43 0 0 0 16 146"},  // build 4242
    };
    for (auto& c : cases) {
        std::vector<Packet> out;
        model->receive(Packet::make(4, {3, static_cast<uint8_t>(c.option | 0x40), 0x20}), out);
        ASSERT_EQ(out.size(), 1u) << int(c.option);
        EXPECT_EQ(out[0].text(), c.reply) << int(c.option);
    }
}

TEST_F(ModelTest, ErrorRepliesNameTheModulesError) {
    struct Case {
        std::vector<uint8_t> data;
        std::string reply;
    } cases[] = {
        {{3, 0x40 | 63, 0x20}, "4 4 3 63 128 29"},         // unknown option
        {{3, 0x49, 0x21}, "4 4 3 9 129 26"},               // index 1 of the system entity
        {{3, 0x89, 0x20, 0, 0, 0, 1}, "4 4 3 201 128 12"}, // set of the read-only serial
        {{3, 0x49, 0x20, 1, 2}, "4 4 3 9 128 14"},         // get carrying two extra bytes
        {{3, 0x84, 0x20}, "4 4 3 196 128 14"},             // byte set without a value
        {{3, 0x49, 0x20, 5}, "4 4 3 9 128 2"},             // subindex on an option without one
        {{40, 0x41, 0x20}, "4 4 40 1 128 28"},             // unknown entity class
    };
    for (auto& c : cases) {
        std::vector<Packet> out;
        model->receive(Packet::make(4, c.data.data(), c.data.size()), out);
        ASSERT_EQ(out.size(), 1u) << bytesText(c.data);
        EXPECT_EQ(out[0].text(), c.reply) << bytesText(c.data);
    }
}

TEST_F(ModelTest, MalformedRequestsAreRefusedWithoutAnswer) {
    EXPECT_EQ(ask({4, 3, 3, 0xC9, 0x20}), ""); // both get and set bits
    EXPECT_EQ(ask({4, 3, 3, 0x09, 0x20}), ""); // neither
    EXPECT_EQ(ask({4, 3, 3, 0x49, 0xA0}), ""); // error bit in a request
    EXPECT_EQ(log.matching("reject uei-").size(), 3u);
}

TEST_F(ModelTest, SetThenGetAndSetReplyCarriesC0) {
    EXPECT_EQ(ask({4, 4, 3, 0x84, 0x20, 1}), "4 4 3 196 0 1");
    EXPECT_EQ(ask({4, 3, 3, 0x44, 0x20}), "4 4 3 4 0 1");
}

TEST_F(ModelTest, ByteBlocksTravelInSequencedChunks) {
    // The 9-byte name fits one chunk: trailer 0x00.
    EXPECT_EQ(ask({4, 3, 3, 0x60, 0x20}), "4 13 3 32 0 66 101 110 99 104 32 104 117 98 0");

    // A 30-byte name set in two chunks (24 + 6), then read back in two.
    std::vector<uint8_t> name(30);
    for (size_t i = 0; i < name.size(); ++i)
        name[i] = static_cast<uint8_t>('A' + i % 26);
    std::vector<uint8_t> c1 = {3, 0xA0, 0x20};
    c1.insert(c1.end(), name.begin(), name.begin() + 24);
    c1.push_back(0x80);
    std::vector<uint8_t> c2 = {3, 0xA0, 0x20};
    c2.insert(c2.end(), name.begin() + 24, name.end());
    c2.push_back(0x01);
    std::vector<Packet> out;
    model->receive(Packet::make(4, c1.data(), c1.size()), out);
    EXPECT_TRUE(out.empty()) << "no reply before the last chunk";
    model->receive(Packet::make(4, c2.data(), c2.size()), out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].text(), "4 3 3 224 0");
    EXPECT_EQ(model->config().name, std::string(name.begin(), name.end()));

    out.clear();
    model->receive(Packet::make(4, {3, 0x60, 0x20}), out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].size, 28);
    EXPECT_EQ(out[0].data[27], 0x80);
    EXPECT_EQ(out[1].size, 10);
    EXPECT_EQ(out[1].data[9], 0x01);

    // A chunk out of sequence aborts the block with aErrPacket.
    out.clear();
    c2.back() = 0x02;
    model->receive(Packet::make(4, c1.data(), c1.size()), out);
    model->receive(Packet::make(4, c2.data(), c2.size()), out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].text(), "4 4 3 224 128 24");
}

TEST_F(ModelTest, HeartbeatAnswersAreCheckedAndRecorded) {
    EXPECT_EQ(model->heartbeat(0).text(), "4 2 0 0");
    EXPECT_EQ(ask({4, 2, 0, 2}), "");
    EXPECT_EQ(model->heartbeat(1).text(), "4 2 0 1");
    EXPECT_EQ(ask({4, 2, 0, 2}), ""); // should have been 3
    EXPECT_EQ(ask({4, 2, 0, 3}), ""); // nothing pending any more
    EXPECT_EQ(model->heartbeatAnswers(), (std::vector<uint8_t>{2, 2, 3}));
    EXPECT_EQ(log.matching("hb-answer"),
              (std::vector<std::string>{"hb-answer 2 ok", "hb-answer 2 unexpected (expected 3)",
                                        "hb-answer 3 unsolicited"}));
}

TEST_F(ModelTest, EchoForeignAndUnhandledPackets) {
    EXPECT_EQ(ask({4, 4, 23, 1, 2, 3}), "4 4 23 1 2 3");
    EXPECT_EQ(ask({6, 3, 3, 0x49, 0x20}), "");
    EXPECT_EQ(ask({4, 2, 73, 9}), "");
    EXPECT_EQ(log.matching("foreign "), std::vector<std::string>{"foreign 6 3 3 73 32"});
    EXPECT_EQ(log.matching("unhandled "), std::vector<std::string>{"unhandled 4 2 73 9"});
}

TEST(ModuleModelConfig, RefusesOddOrZeroAddress) {
    EventLog log;
    for (uint8_t a : {0, 5, 173}) {
        ModuleConfig c;
        c.address = a;
        EXPECT_THROW(ModuleModel(c, log), std::invalid_argument) << int(a);
    }
}
