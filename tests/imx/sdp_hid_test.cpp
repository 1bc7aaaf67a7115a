// The i.MX loader's USB-HID transport through the real hidapi (hidraw back
// end) against the simulated boot ROM on a umockdev hidraw node. Runs under
// umockdev's preload; skips without it.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "recovery/HID_SDPLoader.h"
#include "recovery/SDPLoader.h"
#include "sim/imx/HidrawRom.h"

using Bytes = std::vector<uint8_t>;

namespace {

// One simulated ROM for the whole process: umockdev allows one testbed.
imxsim::HidrawRom* sRom = nullptr;

class HidEnvironment : public ::testing::Environment {
  public:
    void SetUp() override
    {
        if (imxsim::HidrawRom::preloaded())
            sRom = new imxsim::HidrawRom();
    }
    void TearDown() override
    {
        delete sRom;
        sRom = nullptr;
    }
};

const auto* const sEnvironment = ::testing::AddGlobalTestEnvironment(new HidEnvironment);

Bytes sImage(size_t size)
{
    Bytes b(size);
    for (size_t i = 0; i < size; ++i)
        b[i] = static_cast<uint8_t>(i * 7 + 3);
    b[0] = 0xD1;
    b[1] = 0x00;
    b[2] = 0x20;
    b[3] = 0x40;
    return b;
}

} // namespace

TEST(SdpLoaderHidraw, LoadsReadsFusesAndStartsThroughHidapi)
{
    if (sRom == nullptr)
        GTEST_SKIP() << "needs umockdev's preload";
    SDPLoader loader;
    ASSERT_TRUE(loader.setLoader(std::make_unique<HID_SDPLoader>(IMX1050::VID, IMX1050::PID)));
    ASSERT_EQ(loader.init(), SDPLoader::SDP_OK);

    uint64_t fingerprint = 0;
    ASSERT_EQ(loader.getFingerprint(fingerprint), SDPLoader::SDP_OK);
    const auto config = sRom->inspect([](imxsim::SdpRom& r) { return r.config(); });
    EXPECT_EQ(fingerprint, static_cast<uint64_t>(config.uid1) << 32 | config.uid0);

    const Bytes image = sImage(2500);
    ASSERT_EQ(loader.writeLoader(image, 0x20000400), SDPLoader::SDP_OK);
    EXPECT_EQ(sRom->inspect([&](imxsim::SdpRom& r) { return r.ram().read(0x20000400, image.size()); }), image);
    const auto pieces = sRom->inspect([](imxsim::SdpRom& r) { return r.dataPieces(); });
    EXPECT_EQ(pieces, (std::vector<size_t>{1024, 1024, 452}));

    EXPECT_EQ(loader.startLoader(0x20000400), SDPLoader::SDP_OK);
    const auto jumps = sRom->inspect([](imxsim::SdpRom& r) { return r.jumps(); });
    ASSERT_EQ(jumps.size(), 1u);
    EXPECT_EQ(jumps[0].address, 0x20000400u);
    EXPECT_TRUE(sRom->inspect([](imxsim::SdpRom& r) { return r.errors(); }).empty());
}

TEST(SdpLoaderHidraw, NoDeviceWithAnotherProductId)
{
    if (sRom == nullptr)
        GTEST_SKIP() << "needs umockdev's preload";
    SDPLoader loader;
    ASSERT_TRUE(loader.setLoader(std::make_unique<HID_SDPLoader>(IMX1050::VID, 0x0135)));
    EXPECT_EQ(loader.init(), SDPLoader::SDP_INIT_FAILED);
}

TEST(SdpLoaderHidraw, ReportsEachFailureWithItsCode)
{
    if (sRom == nullptr)
        GTEST_SKIP() << "needs umockdev's preload";
    struct Case {
        const char* name;
        imxsim::SdpFaults faults;
        bool write; // else read the fingerprint
        int expected;
    } cases[] = {
        {"silent ROM", {.silent = true}, false, SDPLoader::SDP_NO_ANSWER},
        {"short register reply", {.shortRegisterReply = true}, false, SDPLoader::SDP_INCOMPLETE_REPLY},
        {"reply during write", {.replyDuringWrite = true}, true, SDPLoader::SDP_TRANSFER_ABORTED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        imxsim::SdpConfig config;
        config.faults = c.faults;
        sRom->reset(config);
        SDPLoader loader;
        ASSERT_TRUE(loader.setLoader(std::make_unique<HID_SDPLoader>(IMX1050::VID, IMX1050::PID)));
        ASSERT_EQ(loader.init(), SDPLoader::SDP_OK);
        uint64_t fingerprint = 0;
        const int code = c.write ? loader.writeLoader(sImage(2500), 0x20000000) : loader.getFingerprint(fingerprint);
        EXPECT_EQ(code, c.expected);
        if (c.write) {
            EXPECT_EQ(sRom->inspect([](imxsim::SdpRom& r) { return r.dataPieces(); }), std::vector<size_t>{1024})
                << "the loader stops sending once the ROM has spoken";
        }
    }
    sRom->reset({});
}
