// Simulator settings: command line, settings file, precedence and refusals.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "sim/SimOptions.h"

using namespace modsim;

namespace {

std::string tempFile(const std::string& text) {
    char path[] = "/tmp/modsim-settings-XXXXXX";
    int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    if (fd >= 0) close(fd);
    std::ofstream(path) << text;
    return path;
}

} // namespace

TEST(SimOptions, CommandLineSetsEveryKind) {
    SimOptions o;
    ASSERT_TRUE(parseCommandLine(o, {"--transport",
                                     "pty-cobs",
                                     "--serial=00C0FFEE",
                                     "--model",
                                     "17",
                                     "--address",
                                     "0x0A",
                                     "--version",
                                     "2.15.7",
                                     "--build",
                                     "4242",
                                     "--name",
                                     "Bench hub",
                                     "--heartbeat-ms",
                                     "250",
                                     "--drop-byte",
                                     "3,9",
                                     "--drop-byte",
                                     "12",
                                     "--corrupt-byte",
                                     "4,5:0x07",
                                     "--insert-byte",
                                     "0:173",
                                     "--garbage",
                                     "de ad:01",
                                     "--mute-after",
                                     "5",
                                     "--close-after",
                                     "2",
                                     "--fault-every-connection",
                                     "1"}));
    EXPECT_EQ(o.transport, TransportKind::PtyCobs);
    EXPECT_EQ(o.module.serial, 0x00C0FFEEu);
    EXPECT_EQ(o.module.model, 17);
    EXPECT_EQ(o.module.address, 10);
    EXPECT_EQ(o.module.version, 0x2F020F07u);
    EXPECT_EQ(o.module.build, 4242u);
    EXPECT_EQ(o.module.name, "Bench hub");
    EXPECT_EQ(o.module.heartbeatMs, 250u);
    EXPECT_EQ(o.faults.dropBytes, (std::vector<uint64_t>{3, 9, 12}));
    EXPECT_EQ(o.faults.corruptBytes, (std::vector<std::pair<uint64_t, int>>{{4, -1}, {5, 7}}));
    EXPECT_EQ(o.faults.insertBytes, (std::vector<std::pair<uint64_t, uint8_t>>{{0, 173}}));
    EXPECT_EQ(o.faults.garbage, (std::vector<uint8_t>{0xDE, 0xAD, 0x01}));
    EXPECT_EQ(o.faults.muteAfter, std::optional<uint64_t>(5));
    EXPECT_EQ(o.faults.closeAfter, std::optional<uint64_t>(2));
    EXPECT_TRUE(o.faults.everyConnection);
    EXPECT_FALSE(parseCommandLine(o, {"--help"}));
}

TEST(SimOptions, SettingsFileAppliesWhereItStands) {
    std::string path = tempFile("# a hub\n"
                                "serial  = 0x00C0FFEE   # trailing comment\n"
                                "\n"
                                "address = 4\n"
                                "name = Two words\n");
    SimOptions o;
    ASSERT_TRUE(parseCommandLine(o, {"--address", "8", "--config", path, "--serial", "BEEF"}));
    EXPECT_EQ(o.module.address, 4) << "the file overrides what came before it";
    EXPECT_EQ(o.module.serial, 0xBEEFu) << "and what follows overrides the file";
    EXPECT_EQ(o.module.name, "Two words");
    remove(path.c_str());
}

TEST(SimOptions, RefusesWhatCannotBeAModule) {
    const std::vector<std::vector<std::string>> bad = {
        {"--address", "5"},
        {"--address", "0"},
        {"--address", "256"},
        {"--serial", "0"},
        {"--serial", "xyz"},
        {"--serial", "123456789"},
        {"--model", "300"},
        {"--version", "2.15"},
        {"--version", "2.300.1"},
        {"--transport", "usb"},
        {"--port", "70000"},
        {"--port", "-1"},
        {"--heartbeat-code", "2"},
        {"--garbage", "abc"},
        {"--insert-byte", "4"},
        {"--close-after", "0"},
        {"--no-such-key", "1"},
        {"--address"},
        {"stray"},
        {"--drop-byte", "1x"},
    };
    for (auto& args : bad) {
        SimOptions o;
        EXPECT_THROW(parseCommandLine(o, args), SettingError)
            << args[0] << " " << (args.size() > 1 ? args[1] : "");
    }
}

TEST(SimOptions, FileErrorsNameTheLine) {
    std::string path = tempFile("model = 3\naddress = 7\n");
    SimOptions o;
    try {
        loadSettingsFile(o, path);
        FAIL() << "odd address accepted";
    } catch (const SettingError& e) {
        EXPECT_NE(std::string(e.what()).find(path + ":2: "), std::string::npos) << e.what();
    }
    remove(path.c_str());
    EXPECT_THROW(loadSettingsFile(o, "/nonexistent/modsim.conf"), SettingError);
    std::string noEq = tempFile("address 4\n");
    EXPECT_THROW(loadSettingsFile(o, noEq), SettingError);
    remove(noEq.c_str());
}

TEST(SimNetworkOptions, SectionsShareTheDefaultsAndCheckTheNetwork) {
    const std::string path = tempFile("discovery = 1\n"
                                      "build = 7\n"
                                      "[module]\n"
                                      "listen = 10.77.0.2\n"
                                      "address = 4\n"
                                      "router = 1\n"
                                      "[module]\n"
                                      "behind = 1\n"
                                      "address = 8\n"
                                      "[module]\n"
                                      "listen = 10.77.0.3\n"
                                      "never-return = reboot\n"
                                      "block-size = 0\n");
    SimNetwork n;
    ASSERT_TRUE(parseNetworkCommandLine(n, {"--config", path, "--build", "9"}));
    ASSERT_EQ(n.modules.size(), 3u);
    EXPECT_EQ(n.modules[0].listen, 0x0A4D0002u);
    EXPECT_TRUE(n.modules[0].discovery);
    EXPECT_TRUE(n.modules[0].module.router);
    EXPECT_EQ(n.modules[0].module.build, 7u);
    EXPECT_TRUE(n.modules[1].behind);
    EXPECT_EQ(n.modules[1].module.address, 8);
    EXPECT_EQ(n.modules[2].module.build, 9u) << "later keys go to the last module";
    EXPECT_EQ(n.modules[2].module.upgrade.neverReturn, NeverReturn::AfterReboot);
    EXPECT_EQ(n.modules[2].module.upgrade.blockSize, 0);
    remove(path.c_str());

    SimNetwork one;
    ASSERT_TRUE(parseNetworkCommandLine(one, {"--address", "10"}));
    ASSERT_EQ(one.modules.size(), 1u) << "no sections: one module";
    EXPECT_EQ(one.modules[0].module.address, 10);

    const std::vector<std::vector<std::string>> refused = {
        {"--module", "--behind", "1"}, // no router before it
        {"--module", "--router", "1", "--address", "4", "--module", "--behind", "1", "--address",
         "4"},                                                        // address taken
        {"--module", "--port", "9000", "--module", "--port", "9000"}, // same listener
        {"--listen", "10.77.0.300"},
        {"--never-return", "later"},
    };
    for (auto& args : refused) {
        SimNetwork bad;
        EXPECT_THROW(parseNetworkCommandLine(bad, args), SettingError) << args[1];
    }
}
