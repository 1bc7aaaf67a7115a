// The build flows of Updater against the reference server, in process:
// Download_Firmware (worker thread, spinner, store file and settings),
// _valid_build, Get_BuildList and Get_JWT, with their failure paths.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ReferenceServer.h"
#include "ServerTree.h"
#include "updater/KeyValueStore.h"
#include "updater/Updater.h"

namespace {

// Records what the flows show; all calls come from the flow's own thread.
class RecordingDisplay : public UpdaterDisplayInterface {
  public:
    struct Spin {
        bool active;
        std::string label;
    };
    std::vector<std::string> infos, errors;
    std::vector<Spin> spins;

    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool active, const char* label) override { spins.push_back({active, label ? label : ""}); }
    void info_message(const char* text) override { infos.push_back(text); }
    void error_message(const char* text) override { errors.push_back(text); }
};

using Lines = std::vector<std::string>;

class BuildFlows : public ::testing::Test {
  protected:
    ServerTree tree;
    TempDir store;
    RecordingDisplay display;

    std::string storeRoot() const { return store / "updater"; }
    std::string stored(const std::string& name) const { return storeRoot() + "/0000ABCD/" + name; }
    KeyValueStore settings() const { return KeyValueStore(stored(".settings").c_str()); }
};

}  // namespace

TEST_F(BuildFlows, DownloadsTheCurrentBuildIntoTheStoreAndRecordsIt) {
    ReferenceServer server(tree.root());
    Updater updater(server.url().c_str(), storeRoot().c_str(), display);

    EXPECT_EQ(updater.Download_Firmware(ServerTree::SERIAL, "", false, false), 124u);
    EXPECT_EQ(display.errors, Lines{});
    EXPECT_EQ(display.infos, (Lines{"Retrieving build 124", "Validating build 124 with server", "Build 124 is valid"}));
    EXPECT_EQ(ServerTree::Read(stored("124.bird")), tree.ServedFile("124.bird"));
    KeyValueStore s = settings();
    EXPECT_EQ(s.GetString("LATEST_DOWNLOAD"), "124.bird");
    EXPECT_EQ(s.GetInt("LATEST_DOWNLOAD"), 124);
    // ctime form without its newline: "Fri Dec 11 12:39:24 2026".
    EXPECT_EQ(s.GetString("LAST_DOWNLOAD_DATE").size(), 24u) << s.GetString("LAST_DOWNLOAD_DATE");

    ASSERT_FALSE(display.spins.empty());
    EXPECT_TRUE(display.spins.front().active);
    EXPECT_FALSE(display.spins.back().active);
    for (const auto& spin : display.spins) EXPECT_EQ(spin.label, "Downloading");

    EXPECT_EQ(server.Requests(), (Lines{"/cgi/u?op=hi&rv=2&", "/cgi/u?op=qu&sn=0000ABCD&",
                                        "/cgi/u?op=builds&sn=0000ABCD&",
                                        "/cgi/u?bld=124&fw=fw-0000ABCD&no_cal=false&op=bird&sn=0000ABCD&"}));
}

TEST_F(BuildFlows, DownloadsAGivenBuildAndBuildZeroMeansTheCurrentOne) {
    ReferenceServer server(tree.root());
    Updater updater(server.url().c_str(), storeRoot().c_str(), display);
    EXPECT_EQ(updater.Download_Firmware(ServerTree::SERIAL, "123", false, false), 123u);
    EXPECT_EQ(ServerTree::Read(stored("123.bird")), tree.ServedFile("123.bird"));
    EXPECT_EQ(settings().GetString("LATEST_DOWNLOAD"), "123.bird");

    EXPECT_EQ(updater.Download_Firmware(ServerTree::SERIAL, "0", false, false), 124u);
    EXPECT_EQ(settings().GetString("LATEST_DOWNLOAD"), "124.bird");
    EXPECT_EQ(display.errors, Lines{});
}

TEST_F(BuildFlows, SecondDownloadOverwritesTheFileAndMovesTheDate) {
    ReferenceServer server(tree.root());
    Updater updater(server.url().c_str(), storeRoot().c_str(), display);
    ASSERT_EQ(updater.Download_Firmware(ServerTree::SERIAL, "124", false, false), 124u);
    {
        KeyValueStore s = settings();
        s.Add("LAST_DOWNLOAD_DATE", "Thu Jan  1 00:00:00 1970");
        s.Save();
    }
    std::ofstream(stored("124.bird"), std::ios::trunc) << "stale";
    ASSERT_EQ(updater.Download_Firmware(ServerTree::SERIAL, "124", false, false), 124u);
    EXPECT_EQ(ServerTree::Read(stored("124.bird")), tree.ServedFile("124.bird"));
    EXPECT_NE(settings().GetString("LAST_DOWNLOAD_DATE"), "Thu Jan  1 00:00:00 1970");
}

TEST_F(BuildFlows, BuildTheServerDoesNotListFailsUnlessOverridden) {
    ReferenceServer server(tree.root());
    Updater updater(server.url().c_str(), storeRoot().c_str(), display);
    EXPECT_EQ(updater.Download_Firmware(ServerTree::SERIAL, "999", false, false), 0u);
    EXPECT_EQ(display.errors, Lines{"No valid build 999"});
    EXPECT_FALSE(std::filesystem::exists(stored("999.bird")));
    for (const auto& request : server.Requests()) EXPECT_EQ(request.find("op=bird"), std::string::npos);

    // Override: no list request, straight to the file.
    display = RecordingDisplay();
    const size_t before = server.Requests().size();
    EXPECT_EQ(updater.Download_Firmware(ServerTree::SERIAL, "123", true, false), 123u);
    EXPECT_EQ(display.infos, (Lines{"Retrieving build 123", "Override specified, skipping validation of build 123"}));
    const Lines all = server.Requests();
    const Lines after(all.begin() + before, all.end());
    EXPECT_EQ(after, (Lines{"/cgi/u?op=hi&rv=2&", "/cgi/u?op=qu&sn=0000ABCD&",
                            "/cgi/u?bld=123&fw=fw-0000ABCD&no_cal=false&op=bird&sn=0000ABCD&"}));

    // Override of a build the server has no file for: the download fails.
    display = RecordingDisplay();
    EXPECT_EQ(updater.Download_Firmware(ServerTree::SERIAL, "999", true, false), 0u);
    EXPECT_EQ(display.errors, (Lines{"Download failed", "Failed to retrieve a valid BIRD file"}));
}

TEST_F(BuildFlows, BadArgumentsAndUnreachableServerFailBeforeTheStoreIsTouched) {
    struct Case {
        uint32_t serial;
        const char* build;
        bool serverUp;
        std::string error;
    } cases[] = {
        {ServerTree::SERIAL, "12ab", true, "Build number '12ab' must be an number"},
        {ServerTree::SERIAL, "4294967296", true, "Build number '4294967296' must be an number"},
        {0, "", true, "Serial Number must be non-zero"},
        {ServerTree::SERIAL, "", false, "Server request failed for "},
    };
    for (const auto& c : cases) {
        RecordingDisplay d;
        const std::string url = c.serverUp ? "unused" : ClosedPortUrl();
        Updater updater(url.c_str(), storeRoot().c_str(), d);
        EXPECT_EQ(updater.Download_Firmware(c.serial, c.build, false, false), 0u) << c.error;
        ASSERT_EQ(d.errors.size(), 1u) << c.error;
        EXPECT_EQ(d.errors[0], c.serverUp ? c.error : c.error + url);
        EXPECT_FALSE(std::filesystem::exists(storeRoot())) << c.error;
    }
}

TEST_F(BuildFlows, UnusableAnswersStoreAndRecordNothing) {
    struct Case {
        const char* fault;
        const char* op;
        const char* index;
        Lines errors;
    } cases[] = {
        {"refuse", "qu", "", {"No build information for device"}},
        {"", "", "current=latest\n", {"No build information for device"}},
        {"short-base64", "bird", "", {"Failed to retrieve a valid BIRD file"}},
        {"garbage", "bird", "", {"Download failed", "Failed to retrieve a valid BIRD file"}},
        {"cut", "bird", "", {"Download failed", "Failed to retrieve a valid BIRD file"}},
        {"status=500", "builds", "", {"No valid build 124"}},
    };
    for (const auto& c : cases) {
        ServerTree t;
        if (*c.index) t.Index(c.index);
        TempDir s;
        RecordingDisplay d;
        ReferenceServer server(t.root(), c.fault, c.op);
        Updater updater(server.url().c_str(), (s / "updater").c_str(), d);
        EXPECT_EQ(updater.Download_Firmware(ServerTree::SERIAL, "", false, false), 0u) << c.fault << c.index;
        EXPECT_EQ(d.errors, c.errors) << c.fault << c.index;
        // The device directory exists, but holds only its settings, and
        // those record no download.
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(s / "updater/0000ABCD"))
            names.push_back(e.path().filename().string());
        EXPECT_EQ(names, Lines{".settings"}) << c.fault << c.index;
        EXPECT_EQ(KeyValueStore((s / "updater/0000ABCD/.settings").c_str())["LATEST_DOWNLOAD"], nullptr);
    }
}

TEST_F(BuildFlows, WriteFailureIsAFailureAndLeavesTheRecordAlone) {
    ReferenceServer server(tree.root());
    Updater updater(server.url().c_str(), storeRoot().c_str(), display);
    ASSERT_EQ(updater.Download_Firmware(ServerTree::SERIAL, "123", false, false), 123u);
    // A directory where the file should go: the write cannot replace it.
    std::filesystem::create_directories(stored("124.bird/blocker"));
    display = RecordingDisplay();
    EXPECT_EQ(updater.Download_Firmware(ServerTree::SERIAL, "124", false, false), 0u);
    ASSERT_EQ(display.errors.size(), 1u);
    EXPECT_EQ(display.errors[0].rfind("Failed to write file with ", 0), 0u) << display.errors[0];
    EXPECT_EQ(settings().GetString("LATEST_DOWNLOAD"), "123.bird");
}

TEST_F(BuildFlows, SlowDownloadKeepsTheSpinnerTurning) {
    ReferenceServer server(tree.root(), "slow=1.2", "bird");
    Updater updater(server.url().c_str(), storeRoot().c_str(), display);
    EXPECT_EQ(updater.Download_Firmware(ServerTree::SERIAL, "", false, false), 124u);
    EXPECT_EQ(ServerTree::Read(stored("124.bird")), tree.ServedFile("124.bird"));
    // One frame at the start and one per 100 ms wait while the body trickles in.
    ASSERT_GE(display.spins.size(), 8u);
    for (size_t i = 0; i + 1 < display.spins.size(); ++i) EXPECT_TRUE(display.spins[i].active);
    EXPECT_FALSE(display.spins.back().active);
}

TEST_F(BuildFlows, BuildListFromTheServer) {
    ReferenceServer server(tree.root());
    Updater updater(server.url().c_str(), storeRoot().c_str(), display);
    EXPECT_EQ(updater.Get_BuildList(ServerTree::SERIAL), (BuildList{{"123", "1.2.3"}, {"124", "1.10.0"}}));
    EXPECT_TRUE(updater.Get_BuildList(0x1234).empty());
    EXPECT_EQ(display.errors, Lines{"Failed to retrieve builds for 00001234"});
    EXPECT_EQ(server.Requests(), (Lines{"/cgi/u?op=hi&rv=2&", "/cgi/u?op=builds&sn=0000ABCD&", "/cgi/u?op=hi&rv=2&",
                                        "/cgi/u?op=builds&sn=00001234&"}));

    RecordingDisplay d;
    const std::string down = ClosedPortUrl();
    EXPECT_TRUE(Updater(down.c_str(), storeRoot().c_str(), d).Get_BuildList(ServerTree::SERIAL).empty());
    EXPECT_EQ(d.errors, Lines{"Server request failed for " + down});
}

TEST_F(BuildFlows, FeatureToken) {
    ReferenceServer server(tree.root());
    Updater updater(server.url().c_str(), storeRoot().c_str(), display);
    EXPECT_EQ(updater.Get_JWT(ServerTree::SERIAL), "aa.bb.cc");
    EXPECT_EQ(display.errors, Lines{});

    tree.Index("token=aa.b.cc\n");
    EXPECT_EQ(updater.Get_JWT(ServerTree::SERIAL), "");
    EXPECT_EQ(display.errors, Lines{"Failed to retrieve jwt for 0000ABCD"});
    EXPECT_EQ(server.Requests().back(), "/cgi/u?json=false&op=ent_jwt&sn=0000ABCD&");

    RecordingDisplay d;
    const std::string down = ClosedPortUrl();
    EXPECT_EQ(Updater(down.c_str(), storeRoot().c_str(), d).Get_JWT(ServerTree::SERIAL), "");
    EXPECT_EQ(d.errors, Lines{"Server request failed for " + down});
}
