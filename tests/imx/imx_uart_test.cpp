// The simulated boot ROM against an independent serial download client
// (imx_uart): the client must load the image into simulated RAM, report
// success and jump to it. Skips when imx_uart is not installed.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

#include "sim/imx/PtyRom.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct TempDir {
    std::string path;
    TempDir()
    {
        char name[] = "/tmp/imx_uart_test.XXXXXX";
        if (mkdtemp(name) != nullptr)
            path = name;
    }
    ~TempDir()
    {
        if (!path.empty())
            std::system(("rm -rf '" + path + "'").c_str());
    }
};

void sPut32(Bytes& b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// An image that starts with an image vector table and boot data describing
// itself, loaded at `base`.
Bytes sImage(uint32_t base, size_t size)
{
    Bytes b(size);
    uint32_t seed = 99;
    for (auto& byte : b) {
        seed = seed * 1664525u + 1013904223u;
        byte = static_cast<uint8_t>(seed >> 24);
    }
    std::fill(b.begin(), b.begin() + 0x2C, 0);
    b[0] = 0xD1;
    b[1] = 0x00;
    b[2] = 0x20;
    b[3] = 0x40;
    sPut32(b, 4, base + 0x100);  // entry
    sPut32(b, 16, base + 0x20);  // boot data
    sPut32(b, 20, base);         // self
    sPut32(b, 0x20, base);       // boot data: start
    sPut32(b, 0x24, static_cast<uint32_t>(size));
    return b;
}

} // namespace

TEST(ImxUartClient, LoadsAndStartsAnImage)
{
    if (std::system("command -v imx_uart >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "imx_uart is not installed";
    TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    imxsim::PtyRom rom;
    std::string error;
    ASSERT_TRUE(rom.start(error)) << error;

    const uint32_t base = 0x20000000;
    const Bytes image = sImage(base, 6000);
    {
        std::ofstream(dir.path + "/image.bin", std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
        std::ofstream(dir.path + "/rt1050.conf")
            << "rt1050\nhid,1024,0x20000000,0x00000000,0x20000,0x20000000,0x20000,0x20200000,0x40000\n";
    }
    // After the jump the client waits for an answer a started image never
    // gives: the time limit ends it.
    const std::string command = "cd '" + dir.path + "' && timeout -k 2 5 imx_uart -n " + rom.slavePath()
        + " rt1050.conf image.bin > client.txt 2>&1";
    std::system(command.c_str());
    std::ifstream in(dir.path + "/client.txt");
    const std::string output((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

    EXPECT_NE(output.find("succeeded"), std::string::npos) << output;
    EXPECT_EQ(rom.inspect([&](imxsim::SdpRom& r) { return r.ram().read(base, image.size()); }), image);
    const auto jumps = rom.inspect([](imxsim::SdpRom& r) { return r.jumps(); });
    ASSERT_EQ(jumps.size(), 1u) << output;
    EXPECT_EQ(jumps[0].address, base);
    EXPECT_EQ(jumps[0].entry, base + 0x100);
    EXPECT_TRUE(rom.inspect([](imxsim::SdpRom& r) { return r.errors(); }).empty());
}
