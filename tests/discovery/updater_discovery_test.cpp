// Updater::Discover_Devices below the command line: both transports searched
// for type 0, and a module that answers discovery but cannot be reached stays
// in the list with its error instead of failing the discovery.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "tests/app/RecordingDisplay.h"
#include "tests/discovery/FakeModules.h"
#include "updater/Updater.h"

namespace {

using namespace netnstest;

TEST(UpdaterDiscovery, TypeZeroSearchesUsbThenTcpipAndFindsNothingQuietly)
{
    REQUIRE_PRIVATE_NETNS();
    RecordingDisplay display;
    Updater updater("http://127.0.0.1:1", std::filesystem::temp_directory_path().c_str(), display);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(updater.Discover_Devices(INVALID).empty());
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1900)) << "TCP/IP not searched";
    EXPECT_TRUE(display.lines.empty());
}

TEST(UpdaterDiscovery, UnreachableModuleStaysListedWithItsError)
{
    REQUIRE_PRIVATE_NETNS();
    FakeModules modules;
    // Answers discovery, but nothing listens on the port it names.
    modules.add("10.77.0.2", {reply(4, 1, 0x0000BEEF, 17)});
    modules.start();
    RecordingDisplay display;
    Updater updater("http://127.0.0.1:1", std::filesystem::temp_directory_path().c_str(), display);
    const auto list = updater.Discover_Devices(TCPIP);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].spec.serialNumber, 0x0000BEEFu);
    EXPECT_EQ(list[0].modelName, "Fesmir");
    EXPECT_EQ(list[0].error, static_cast<uint32_t>(aErrConnection));
    EXPECT_EQ(list[0].build, 0u);
    EXPECT_TRUE(display.lines.empty());
}

} // namespace
