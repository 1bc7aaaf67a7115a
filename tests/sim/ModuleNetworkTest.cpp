// A simulated module's system options, its module queries (command 73), its
// I2C bus and the router role: packets for modules on its module network.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/ModuleModel.h"

using namespace modsim;

namespace {

ModuleConfig config(uint8_t address, uint32_t serial) {
    ModuleConfig c;
    c.address = address;
    c.serial = serial;
    c.model = 17;
    c.build = 4242;
    return c;
}

// Replies to one packet, as "A S D..." joined by "; ".
std::string ask(ModuleModel& m, uint8_t address, std::vector<uint8_t> data) {
    std::vector<Packet> out;
    m.receive(Packet::make(address, data.data(), data.size()), out);
    std::string s;
    for (auto& p : out)
        s += (s.empty() ? "" : "; ") + p.text();
    return s;
}

struct Case {
    std::vector<uint8_t> request;
    std::string reply;
};

void expectAll(ModuleModel& m, uint8_t address, const std::vector<Case>& cases) {
    for (auto& c : cases)
        EXPECT_EQ(ask(m, address, c.request), c.reply) << bytesText(c.request);
}

} // namespace

TEST(SystemOptions, ReadingsSettingsAndCalls) {
    EventLog log;
    auto m = makeStandardModule(config(4, 0x1234ABCD), log);
    expectAll(*m, 4,
              {
                  {{3, 0x42, 0x20}, "4 4 3 2 0 4"},                        // router: itself
                  {{3, 0x4D, 0x20}, "4 4 3 13 0 1"},                       // hardware offset
                  {{3, 0x4E, 0x20}, "4 4 3 14 0 2"},                       // base address
                  {{3, 0x4C, 0x20}, "4 7 3 12 0 0 76 153 96"},             // 5.02 V in µV
                  {{3, 0x5B, 0x20}, "4 7 3 27 0 2 75 118 160"},            // 38.5 °C
                  {{3, 0x5C, 0x20}, "4 7 3 28 0 255 183 133 80"},          // -4.75 °C, signed
                  {{3, 0x6D, 0x20}, "4 7 3 45 0 128 0 0 0"},               // pooled packets offered
                  {{3, 0x5F, 0x20}, "4 12 3 31 0 0 0 0 1 0 0 0 0 0"},      // two words, one block
                  {{3, 0x8A, 0x20}, "4 3 3 202 0"},                        // save: a call
                  {{3, 0x4A, 0x20}, "4 4 3 10 128 12"},                    // a call cannot be read
                  {{3, 0x54, 0x20}, "4 4 3 20 128 12"},                    // routeToMe is set only
                  {{3, 0x94, 0x20, 2}, "4 4 3 212 128 13"},                // routeToMe takes 0 or 1
                  {{3, 0x9F, 0x20, 1, 2, 3, 4, 5, 0}, "4 4 3 223 128 14"}, // not whole words
                  {{3, 0x86, 0x20, 1}, "4 4 3 198 0 1"},                   // boot slot
                  {{3, 0x46, 0x20}, "4 4 3 6 0 1"},
                  {{3, 0x84, 0x20, 1}, "4 4 3 196 0 1"}, // LED on
                  {{3, 0xA5, 0x20}, "4 3 3 229 0"},      // factory defaults
                  {{3, 0x44, 0x20}, "4 4 3 4 0 0"},      // LED back off
                  {{3, 0x46, 0x20}, "4 4 3 6 0 0"},
                  {{3, 0x7F, 0x20}, "4 4 3 63 128 29"}, // no such option
              });
    EXPECT_FALSE(m->takeRestart());
    EXPECT_EQ(ask(*m, 4, {3, 0x8B, 0x20}), "4 3 3 203 0"); // reset: answered, then restarts
    auto r = m->takeRestart();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->reason, "reset");
    EXPECT_TRUE(r->comesBack);
}

TEST(ModuleQueries, BuildCapabilitiesAndInventory) {
    EventLog log;
    auto m = makeStandardModule(config(4, 1), log);
    expectAll(
        *m, 4,
        {
            {{73, 0xFF}, "4 6 73 255 0 0 16 146"},
            {{73, 1, 3, 9, 0, 0x40}, "4 6 73 1 3 9 0 0"},      // serial can be read
            {{73, 1, 3, 9, 0, 0x80}, "4 6 73 1 3 9 0 12"},     // but not set
            {{73, 1, 3, 63, 0, 0}, "4 6 73 1 3 63 0 29"},      // no such option
            {{73, 1, 3, 9, 1, 0}, "4 6 73 1 3 9 1 26"},        // one system entity
            {{73, 1, 40, 1, 0, 0}, "4 6 73 1 40 1 0 28"},      // no such class
            {{73, 1, 95, 10, 0, 0x80}, "4 6 73 1 95 10 0 29"}, // running firmware: no option 10
            {{73, 4, 3}, "4 4 73 4 3 1"},
            {{73, 4, 8}, "4 4 73 4 8 1"},
            {{73, 4, 40}, "4 4 73 4 40 0"},
            {{73, 5, 3, 0}, "4 5 73 5 3 0 0"},
            {{73, 6, 3, 0}, "4 5 73 6 3 0 0"},
            {{73, 4}, ""}, // malformed: refused
            {{73, 0xFF, 0}, ""},
        });
    EXPECT_EQ(log.matching("reject module-query").size(), 2u);

    auto shortBuild = config(4, 1);
    shortBuild.buildReplySize = 5;
    auto m5 = makeStandardModule(shortBuild, log);
    EXPECT_EQ(ask(*m5, 4, {73, 0xFF}), "4 5 73 255 0 0 16");
}

class RouterTest : public ::testing::Test {
protected:
    RouterTest() {
        auto c = config(4, 0x0A0A0A0A);
        c.router = true;
        router = makeStandardModule(c, log);
        router->attach(makeStandardModule(config(8, 0x11111111), log));
        router->attach(makeStandardModule(config(10, 0x22222222), log));
    }
    EventLog log;
    std::unique_ptr<ModuleModel> router;
};

TEST_F(RouterTest, BusAcknowledgesModulesAndPacketsReachThem) {
    expectAll(*router, 4,
              {
                  {{8, 0, 8, 2, 3, 0, 0}, "4 5 8 0 8 0 0"}, // module at 8: ack
                  {{8, 0, 10, 2, 3, 0, 0}, "4 5 8 0 10 0 0"},
                  {{8, 0, 12, 2, 3, 0, 0}, "4 5 8 0 12 0 134"}, // nobody: nak (IO error)
                  {{8, 0, 4, 2, 3, 0, 0}, "4 5 8 0 4 0 134"},   // the router itself
                  {{8, 0, 9, 2, 3}, "4 7 8 0 9 2 0 0 0"},       // read from the module at 8
                  {{8, 0, 8, 24, 3}, "4 5 8 0 8 0 142"},        // over 23 bytes
                  {{8, 0, 8, 2, 4, 0, 0}, "4 5 8 0 8 0 141"},   // speed code above 3
                  {{8, 0, 1, 1}, "4 5 8 0 1 0 0"},              // pull-ups on
              });
    // Requests for a module behind the router get that module's replies.
    EXPECT_EQ(ask(*router, 8, {3, 0x49, 0x20}), "8 7 3 9 0 17 17 17 17");
    EXPECT_EQ(ask(*router, 10, {3, 0x49, 0x20}), "10 7 3 9 0 34 34 34 34");
    EXPECT_EQ(ask(*router, 8, {3, 0x42, 0x20}), "8 4 3 2 0 4"); // its router
    EXPECT_EQ(ask(*router, 8, {73, 0xFF}), "8 6 73 255 0 0 16 146");
    EXPECT_EQ(ask(*router, 12, {3, 0x49, 0x20}), "");
    EXPECT_EQ(log.matching("foreign "), std::vector<std::string>{"foreign 12 3 3 73 32"});
}

TEST_F(RouterTest, RouteToMeSwitchesRouting) {
    EXPECT_EQ(ask(*router, 4, {3, 0x94, 0x20, 0}), "4 4 3 212 0 0");
    EXPECT_EQ(ask(*router, 4, {8, 0, 8, 2, 3, 0, 0}), "4 5 8 0 8 0 134");
    EXPECT_EQ(ask(*router, 8, {3, 0x49, 0x20}), "");
    EXPECT_EQ(ask(*router, 4, {3, 0x94, 0x20, 1}), "4 4 3 212 0 1");
    EXPECT_EQ(ask(*router, 4, {8, 0, 8, 2, 3, 0, 0}), "4 5 8 0 8 0 0");
    EXPECT_EQ(ask(*router, 8, {3, 0x49, 0x20}), "8 7 3 9 0 17 17 17 17");
    EXPECT_EQ(log.matching("route-to-me "),
              (std::vector<std::string>{"route-to-me off", "route-to-me on"}));

    // A router that routes only when asked; a module without a network never acks.
    auto c = config(4, 3);
    c.router = true;
    c.routeDefault = false;
    auto quiet = makeStandardModule(c, log);
    quiet->attach(makeStandardModule(config(8, 5), log));
    EXPECT_EQ(ask(*quiet, 8, {3, 0x49, 0x20}), "");
    ask(*quiet, 4, {3, 0x94, 0x20, 1});
    EXPECT_EQ(ask(*quiet, 8, {3, 0x49, 0x20}), "8 7 3 9 0 0 0 0 5");
    auto plain = makeStandardModule(config(4, 6), log);
    EXPECT_EQ(ask(*plain, 4, {8, 0, 8, 2, 3, 0, 0}), "4 5 8 0 8 0 134");
}

TEST_F(RouterTest, OneAddressPerModuleNetwork) {
    EXPECT_THROW(router->attach(makeStandardModule(config(8, 9), log)), std::invalid_argument);
    EXPECT_THROW(router->attach(makeStandardModule(config(4, 9), log)), std::invalid_argument);
}
