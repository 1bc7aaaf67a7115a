// Runs the built Updater with -D against simulated USB modules: the device
// table lists each module with what it reports, and a module that another
// process holds gets the error row.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "common/aDefs.h"
#include "common/aStream.h"
#include "common/aStream_USB.h"
#include "tests/support/RunProcess.h"
#include "tests/usb/UsbTestbedEnvironment.h"

namespace fs = std::filesystem;

namespace {

using testsupport::RunResult;

class UsbCli : public UsbTest {
protected:
    void SetUp() override
    {
        UsbTest::SetUp();
        char pattern[] = "/tmp/updater-usb-cli-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        tmp = pattern;
    }
    void TearDown() override
    {
        UsbTest::TearDown();
        if (!tmp.empty())
            fs::remove_all(tmp);
    }

    // Runs the tool with HOME in the temporary directory and this process's
    // environment otherwise (umockdev's preload and testbed included).
    RunResult run(const std::vector<std::string>& args)
    {
        return testsupport::runProcess(UPDATER_BINARY_DIR "/Updater", args, tmp, tmp, std::chrono::seconds(45),
                                       std::chrono::milliseconds(20));
    }

    static bool hasLine(const std::string& text, const std::string& line)
    {
        std::istringstream in(text);
        for (std::string l; std::getline(in, l);)
            if (l == line)
                return true;
        return false;
    }

    fs::path tmp;
};

TEST_F(UsbCli, DiscoverListsEveryUsbModuleAndFlagsOneThatIsHeld)
{
    auto hub = usbModuleConfig(0x00C0FFEE, 0x0011);
    hub.module.address = 4;
    hub.module.name = "Bench hub";
    hub.module.build = 4242;
    hub.module.version = 0; // 2.15.0
    plug(hub);

    auto io = usbModuleConfig(0x0BADCAFE, 0x0013);
    io.module.address = 6;
    io.module.name = "Left rack";
    io.module.build = 77;
    plug(io);

    plug(usbModuleConfig(0x1234ABCD, 0x0013));
    // This process holds the third module, as another program would.
    aStream* held = nullptr;
    ASSERT_EQ(aStream_CreateUSB(0x1234ABCD, &held), aErrNone);

    const RunResult r = run({"-D"});
    aStream_Destroy(&held);

    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(hasLine(r.out, "Discovered Devices: (USB)")) << r.out;
    char row[200];
    std::snprintf(row, sizeof row, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)         %s",
                  0x00C0FFEEu, 4, 4, aDefs_GetModelName(0x11), 2, 15, 0, 4242u, "Bench hub");
    EXPECT_TRUE(hasLine(r.out, row)) << "missing: [" << row << "]\n" << r.out;
    std::snprintf(row, sizeof row, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)         %s",
                  0x0BADCAFEu, 6, 6, aDefs_GetModelName(0x13), 2, 15, 0, 77u, "Left rack");
    EXPECT_TRUE(hasLine(r.out, row)) << "missing: [" << row << "]\n" << r.out;
    std::snprintf(row, sizeof row, "    %08X  [Error (%d): Is someone else connected to this device?]",
                  0x1234ABCDu, static_cast<int>(aErrConnection));
    EXPECT_TRUE(hasLine(r.out, row)) << "missing: [" << row << "]\n" << r.out;
}

TEST_F(UsbCli, DiscoverWithNoModules)
{
    const RunResult r = run({"-D", "-t", "USB"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(hasLine(r.out, "    No devices found.")) << r.out;
}

} // namespace
