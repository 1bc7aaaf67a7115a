// Fault injection: byte faults at output positions across writes, garbage
// once before the first query answer, going silent, closing, and the
// first-connection-only default.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/FaultInjector.h"

using namespace modsim;
using Bytes = std::vector<uint8_t>;

TEST(FaultInjector, ByteFaultsCountPositionsAcrossWrites) {
    FaultPlan plan;
    plan.dropBytes = {1};
    plan.corruptBytes = {{2, -1}, {4, 0x07}};
    plan.insertBytes = {{3, 0xEE}};
    FaultInjector f;
    f.beginConnection(plan, 1);
    std::vector<std::string> notes;
    EXPECT_EQ(f.shape({10, 11, 12}, notes), (Bytes{10, 12 ^ 0xFF}));
    EXPECT_EQ(f.shape({13, 14, 15}, notes), (Bytes{0xEE, 13, 0x07, 15}));
    EXPECT_EQ(notes, (std::vector<std::string>{"fault drop 1 11", "fault corrupt 2 12>243",
                                               "fault insert 3 238", "fault corrupt 4 14>7"}));
    EXPECT_EQ(f.shape({16}, notes), Bytes{16});
}

TEST(FaultInjector, GarbageComesOnceMuteAndCloseCountPackets) {
    FaultPlan plan;
    plan.garbage = {7, 0};
    plan.muteAfter = 2;
    FaultInjector f;
    f.beginConnection(plan, 1);
    EXPECT_EQ(f.takeGarbage(), (Bytes{7, 0}));
    EXPECT_TRUE(f.takeGarbage().empty());
    bool close = true;
    std::vector<std::string> notes;
    EXPECT_TRUE(f.onPacketReceived(close, notes));
    EXPECT_TRUE(f.onPacketReceived(close, notes));
    EXPECT_FALSE(f.onPacketReceived(close, notes));
    EXPECT_FALSE(f.onPacketReceived(close, notes));
    EXPECT_FALSE(close);
    EXPECT_EQ(notes, std::vector<std::string>{"fault mute"});

    FaultPlan closing;
    closing.closeAfter = 2;
    f.beginConnection(closing, 1);
    EXPECT_TRUE(f.onPacketReceived(close, notes));
    EXPECT_FALSE(close);
    EXPECT_TRUE(f.onPacketReceived(close, notes));
    EXPECT_TRUE(close) << "the second packet is answered, then the connection closes";
}

TEST(FaultInjector, FaultsHitOnlyTheFirstConnectionUnlessAskedForEvery) {
    FaultPlan plan;
    plan.dropBytes = {0};
    plan.garbage = {1};
    FaultInjector f;
    std::vector<std::string> notes;
    f.beginConnection(plan, 2);
    EXPECT_EQ(f.shape({5, 6}, notes), (Bytes{5, 6}));
    EXPECT_TRUE(f.takeGarbage().empty());
    plan.everyConnection = true;
    f.beginConnection(plan, 2);
    EXPECT_EQ(f.shape({5, 6}, notes), Bytes{6});
    EXPECT_EQ(f.takeGarbage(), Bytes{1});
}
