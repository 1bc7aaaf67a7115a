// The module side of a firmware update: the running firmware taking a loader,
// the loader taking firmware pieces into the simulated flash, the restarts,
// the new firmware's identity, and every injected fault of the conversation.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "sim/ModuleModel.h"

using namespace modsim;
using Bytes = std::vector<uint8_t>;

namespace {

class UpgradeTest : public ::testing::Test {
protected:
    UpgradeTest() {
        c.address = 6;
        c.build = 1000;
        c.upgrade.blockSize = 64;
        c.upgrade.flashBase = 0x4000;
        c.upgrade.flashSize = 0x10000;
        c.upgrade.newBuild = 2001;
        c.upgrade.newVersion = packVersion(2, 16, 1);
    }
    void make() { m = makeStandardModule(c, log); }
    std::string ask(const Bytes& data) {
        std::vector<Packet> out;
        m->receive(Packet::make(6, data.data(), data.size()), out);
        std::string s;
        for (auto& p : out)
            s += (s.empty() ? "" : "; ") + p.text();
        return s;
    }
    static Bytes prepare(uint32_t a) {
        return {95, 3, 0, uint8_t(a >> 24), uint8_t(a >> 16), uint8_t(a >> 8), uint8_t(a)};
    }
    static Bytes data(const Bytes& image, size_t from, size_t n) {
        Bytes d = {95, 1};
        d.insert(d.end(), image.begin() + long(from), image.begin() + long(from + n));
        return d;
    }
    static std::string sumReply(const Bytes& image, size_t from, size_t n) {
        uint32_t s = 0;
        for (size_t i = from; i < from + n; ++i)
            s += image[i];
        return "6 7 95 7 0 " +
               bytesText(Bytes{uint8_t(s >> 24), uint8_t(s >> 16), uint8_t(s >> 8), uint8_t(s)});
    }
    // Loader into RAM and LOAD, as the running firmware sees it.
    void startLoader() {
        ASSERT_EQ(ask({95, 0}), "6 6 95 0 16 0 0 0");
        ASSERT_EQ(ask(prepare(0x10000000)), "6 5 95 7 0 0 64");
        const Bytes loader(30, 0x5A);
        ASSERT_EQ(ask(data(loader, 0, 26)), "6 3 95 1 26");
        ASSERT_EQ(ask(data(loader, 26, 4)), "6 3 95 1 4");
        ASSERT_EQ(ask({95, 4}), sumReply(loader, 0, 30));
        ASSERT_EQ(ask({95, 2}), "6 2 95 2");
        auto r = m->takeRestart();
        ASSERT_TRUE(r);
        EXPECT_EQ(r->reason, "load");
        m->connectionReset(); // the new connection to the loader
        ASSERT_TRUE(m->inLoader());
    }

    ModuleConfig c;
    EventLog log;
    std::unique_ptr<ModuleModel> m;
};

Bytes image(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = uint8_t(i * 7 + 3);
    return b;
}

} // namespace

TEST_F(UpgradeTest, LoaderThenFirmwareIntoFlashThenNewFirmware) {
    c.upgrade.flashDump = testing::TempDir() + "modsim-flash-" + std::to_string(getpid());
    make();
    EXPECT_EQ(ask({73, 1, 95, 10, 0, 0x80}), "6 6 73 1 95 10 0 29") << "firmware: no option 10";
    EXPECT_EQ(ask({95, 2}), "") << "LOAD without a loader is refused";
    EXPECT_FALSE(m->takeRestart());
    startLoader();
    EXPECT_EQ(ask({73, 1, 95, 10, 0, 0x80}), "6 6 73 1 95 10 0 0") << "the loader offers it";
    EXPECT_EQ(ask({73, 1, 95, 10, 0, 0x40}), "6 6 73 1 95 10 0 12") << "set only";

    // 150 bytes at 0x4000: pieces of 64, 64 (DATA packets) and 22 (one byte block).
    const Bytes fw = image(150);
    EXPECT_EQ(ask(prepare(0x4000)), "6 5 95 7 0 0 64");
    for (size_t piece : {0, 64}) {
        EXPECT_EQ(ask(data(fw, piece, 26)), "6 3 95 1 26");
        EXPECT_EQ(ask(data(fw, piece + 26, 26)), "6 3 95 1 26");
        EXPECT_EQ(ask(data(fw, piece + 52, 12)), "6 3 95 1 12");
        EXPECT_EQ(ask({95, 4}), sumReply(fw, piece, 64));
        EXPECT_EQ(ask({95, 5, 0, 64}), "6 3 95 7 0");
    }
    Bytes block = {95, 0x8A, 0x20};
    block.insert(block.end(), fw.begin() + 128, fw.end());
    block.push_back(0x00);
    EXPECT_EQ(ask(block), "6 3 95 202 0");
    EXPECT_EQ(ask({95, 4}), sumReply(fw, 128, 22));
    EXPECT_EQ(ask({95, 5, 0, 22}), "6 3 95 7 0");
    EXPECT_EQ(m->flash().read(0x4000, 150), fw);
    EXPECT_EQ(m->flash().read(0x4000 + 150, 2), (Bytes{0xFF, 0xFF})) << "erased beyond";

    EXPECT_EQ(ask({95, 6}), "") << "REBOOT is not answered";
    auto r = m->takeRestart();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->reason, "reboot");
    EXPECT_FALSE(m->inLoader());
    EXPECT_EQ(ask({73, 0xFF}), "6 6 73 255 0 0 7 209") << "build 2001";
    EXPECT_EQ(ask({3, 0x47, 0x20}), "6 7 3 7 0 47 2 16 1");

    std::ifstream in(c.upgrade.flashDump, std::ios::binary);
    Bytes dumped((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(dumped, fw) << "the dump starts at the flash base";
    remove(c.upgrade.flashDump.c_str());
}

TEST_F(UpgradeTest, LoaderRefusesWhatDoesNotFit) {
    make();
    startLoader();
    EXPECT_EQ(ask({95, 5, 0, 0}), "6 3 95 7 14") << "WRITE before PREPARE";
    EXPECT_EQ(ask(data(image(26), 0, 26)), "6 3 95 1 0") << "DATA before PREPARE";
    EXPECT_EQ(ask(prepare(0x3FFF)), "6 3 95 7 13") << "below the flash";
    EXPECT_EQ(ask(prepare(0x14000)), "6 3 95 7 13") << "beyond the flash";
    EXPECT_EQ(ask(prepare(0x4000)), "6 5 95 7 0 0 64");
    const Bytes fw = image(78);
    EXPECT_EQ(ask(data(fw, 0, 26)), "6 3 95 1 26");
    EXPECT_EQ(ask(data(fw, 26, 26)), "6 3 95 1 26");
    EXPECT_EQ(ask(data(fw, 52, 26)), "6 3 95 1 0") << "over the block size";
    EXPECT_EQ(ask({95, 5, 0, 50}), "6 3 95 7 14") << "count differs from the bytes held";
    EXPECT_EQ(m->flash().writeCount(), 0u);
    // A byte block over the block size is refused with an error reply.
    Bytes big = {95, 0x8A, 0x20};
    big.insert(big.end(), 24, 1);
    big.push_back(0x80);
    ask(big);
    Bytes more = {95, 0x8A, 0x20};
    more.insert(more.end(), 24, 1);
    more.push_back(0x81);
    ask(more);
    Bytes last = {95, 0x8A, 0x20};
    last.insert(last.end(), 24, 1);
    last.push_back(0x02);
    EXPECT_EQ(ask(last), "6 4 95 202 128 14");
}

TEST_F(UpgradeTest, FirmwareTakesNoFlashWrites) {
    make();
    EXPECT_EQ(ask(prepare(0x4000)), "6 5 95 7 0 0 64");
    EXPECT_EQ(ask({95, 5, 0, 0}), "6 3 95 7 7");
    Bytes block = {95, 0x8A, 0x20, 1, 2, 0x00};
    EXPECT_EQ(ask(block), "6 4 95 202 128 7");
}

TEST_F(UpgradeTest, InjectedFaults) {
    c.upgrade.initReplySize = 5;
    c.upgrade.shortData = 1;
    c.upgrade.badSum = 1;
    c.upgrade.noLoadReply = true;
    c.upgrade.neverReturn = NeverReturn::AfterLoad;
    make();
    EXPECT_EQ(ask({95, 0}), "6 5 95 0 16 0 0");
    ask(prepare(0x10000000));
    const Bytes loader = image(26);
    EXPECT_EQ(ask(data(loader, 0, 26)), "6 3 95 1 20") << "short count, chunk dropped";
    EXPECT_EQ(ask(data(loader, 0, 26)), "6 3 95 1 26") << "the resend is taken";
    const std::string right = sumReply(loader, 0, 26);
    const std::string first = ask({95, 4});
    EXPECT_NE(first, right) << "the first sum is wrong";
    EXPECT_EQ(first.size(), right.size());
    EXPECT_EQ(ask({95, 4}), right) << "the chunk counted once";
    EXPECT_EQ(ask({95, 2}), "") << "no LOAD reply";
    auto r = m->takeRestart();
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->comesBack);
}

TEST_F(UpgradeTest, BlockSizeZeroAndLinkDrop) {
    c.upgrade.blockSize = 0;
    c.upgrade.dropAtData = 3;
    make();
    ask(prepare(0x10000000));
    const Bytes loader = image(52);
    EXPECT_EQ(ask(data(loader, 0, 26)), "6 3 95 1 26");
    EXPECT_EQ(ask({95, 2}), "6 2 95 2");
    m->takeRestart();
    EXPECT_EQ(ask(prepare(0x4000)), "6 5 95 7 0 0 0");
    EXPECT_EQ(ask(data(loader, 0, 26)), "6 3 95 1 0") << "nothing fits a block of 0";
    EXPECT_EQ(ask(data(loader, 0, 26)), "") << "chunk 3: the link drops";
    auto r = m->takeRestart();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->reason, "drop");
    EXPECT_TRUE(m->inLoader()) << "a link drop does not restart the module";
}

TEST(UpgradeBehindRouter, ModuleRestartsInPlace) {
    EventLog log;
    ModuleConfig rc;
    rc.address = 4;
    rc.router = true;
    auto router = makeStandardModule(rc, log);
    ModuleConfig bc;
    bc.address = 8;
    bc.upgrade.neverReturn = NeverReturn::AfterReboot;
    router->attach(makeStandardModule(bc, log));
    std::vector<Packet> out;
    auto send = [&](Bytes d) {
        out.clear();
        router->receive(Packet::make(8, d.data(), d.size()), out);
    };
    send({95, 3, 0, 0x10, 0, 0, 0});
    send({95, 1, 1, 2, 3});
    send({95, 2});
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].text(), "8 2 95 2");
    EXPECT_FALSE(router->takeRestart()) << "the router's link stays up";
    EXPECT_TRUE(router->behindAt(8)->inLoader());
    send({95, 6});
    EXPECT_EQ(router->behindAt(8), nullptr) << "a module that never returns leaves the network";
    send({3, 0x49, 0x20});
    EXPECT_TRUE(out.empty());
}
