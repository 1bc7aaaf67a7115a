// Updater -L end to end: the built program lists a store laid out with the
// birdpack tool, with a temporary HOME and the store under -i.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <sys/wait.h>

#include "StoreTestSupport.h"

using namespace storetest;

namespace {

struct RunResult {
    int status;
    std::string out;
    std::string err;
};

std::string quote(const std::string& s) { return "'" + s + "'"; }

RunResult run(const std::string& command, const TempDir& scratch)
{
    std::string outPath = scratch / "stdout", errPath = scratch / "stderr";
    std::string full = "HOME=" + quote(scratch.path()) + " " + command + " >" + quote(outPath) +
                       " 2>" + quote(errPath) + " </dev/null";
    int rc = std::system(full.c_str());
    return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, readText(outPath), readText(errPath)};
}

const std::string UPDATER = UPDATER_BINARY_DIR "/Updater";
const std::string BIRDPACK = UPDATER_BINARY_DIR "/tools/birdpack/birdpack";

void pack(const TempDir& scratch, const std::string& args)
{
    RunResult r = run(BIRDPACK + " " + args, scratch);
    ASSERT_EQ(r.status, 0) << args << "\n" << r.err;
}

std::string row(const std::string& build, const std::string& version)
{
    char line[64];
    std::snprintf(line, sizeof line, "%-15.15s\t%-15.15s\n", build.c_str(), version.c_str());
    return line;
}

} // namespace

TEST(LocalBuildsCli, ListsStoredBuildsNewestVersionFirst)
{
    TempDir home, scratch;
    std::string dev = home / "updater/40F5849A";
    fs::create_directories(dev);
    const std::string fw = " --synthetic-firmware 0x4000 2048 ";
    // Versions chosen so that text order and numeric order differ.
    pack(scratch, "-o " + quote(dev + "/100.bird") + " --identity 100 1.2.3 40F5849A Zorbel" + fw);
    pack(scratch, "-o " + quote(dev + "/200.bird") + " --identity 200 1.10.0 40F5849A Zorbel" + fw);
    pack(scratch, "-o " + quote(dev + "/150.bird") + " --identity 150 '1.9.2 rc1' 40F5849A Zorbel" + fw);
    pack(scratch, "-o " + quote(dev + "/90.bird") + " --identity 90 0.99.7 40F5849A Zorbel" +
                      " --signature BIRD");
    writeText(dev + "/notes.txt", "kept by hand");
    writeText(dev + "/.settings", "LATEST_DOWNLOAD=200.bird\n");

    RunResult r = run(UPDATER + " -L -d 40F5849A -i " + quote(home.path()), scratch);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string head = "Updater (Version: 2.12.2 Mar 13 2026)\n"
                             "Build List for device [40F5849A]:\n\n" +
                             row("Build", "Version");
    ASSERT_EQ(r.out.rfind(head, 0), 0u) << r.out;

    const std::string rows = r.out.substr(head.size());
    size_t at200 = rows.find(row("200", "1.10.0"));
    size_t at150 = rows.find(row("150", "1.9.2"));
    size_t at100 = rows.find(row("100", "1.2.3"));
    EXPECT_NE(rows.find(row("notes.txt", "")), std::string::npos) << rows;
    EXPECT_NE(rows.find(row("90", "")), std::string::npos) << "a file failing the header check has no version\n"
                                                           << rows;
    ASSERT_NE(at200, std::string::npos) << rows;
    ASSERT_NE(at150, std::string::npos) << rows;
    ASSERT_NE(at100, std::string::npos) << rows;
    EXPECT_LT(at200, at150);
    EXPECT_LT(at150, at100);
    EXPECT_EQ(std::count(rows.begin(), rows.end(), '\n'), 5) << rows;
}

TEST(LocalBuildsCli, UnknownDeviceHasNoBuilds)
{
    TempDir home, scratch;
    fs::create_directories(home / "updater/40F5849A");
    RunResult r = run(UPDATER + " -L -d 0x1234 -i " + quote(home.path()), scratch);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Updater (Version: 2.12.2 Mar 13 2026)\nNo builds found for device [00001234]\n");
    EXPECT_FALSE(fs::exists(home / "updater/00001234")) << "listing creates no device directory";
}
