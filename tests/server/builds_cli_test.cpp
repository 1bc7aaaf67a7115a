// The build commands of the Updater program end to end against the reference
// server: -B, -G (alone and followed by -L), -J, a download on a terminal with
// its spinner, and HTTPS with trusted and untrusted certificates.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "ReferenceServer.h"
#include "ServerTree.h"
#include "updater/KeyValueStore.h"

namespace {

using Lines = std::vector<std::string>;

class UpdaterCommand : public ::testing::Test {
  protected:
    ServerTree tree;
    TempDir home;

    // Runs the program with the store under home and the given server URL.
    ProcessResult Run(const std::string& url, Lines args, const std::map<std::string, std::string>& env = {},
                      bool onTerminal = false) {
        Lines argv = {UPDATER_BINARY_DIR "/Updater", "-i", home.path(), "-u", url};
        argv.insert(argv.end(), args.begin(), args.end());
        std::map<std::string, std::string> environment = {{"HOME", home.path()}};
        environment.insert(env.begin(), env.end());
        ProcessResult r = RunProcess(argv, environment, 60, onTerminal);
        EXPECT_FALSE(r.timedOut);
        return r;
    }
    std::string stored(const std::string& name) const { return home / ("updater/0000ABCD/" + name); }
};

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The rows of the build table printed for a serial, header excluded.
Lines tableRows(const std::string& out, const std::string& serial) {
    const std::string title = "Build List for device [" + serial + "]:\n";
    size_t at = out.find(title);
    if (at == std::string::npos) return {};
    Lines rows;
    std::istringstream in(out.substr(at + title.size()));
    for (std::string line; std::getline(in, line);) {
        if (line.empty() && rows.empty()) continue;  // the title's own newline
        if (line.empty()) break;
        rows.push_back(line);
    }
    if (!rows.empty() && rows[0].rfind("Build", 0) == 0) rows.erase(rows.begin());  // header
    return rows;
}

}  // namespace

TEST_F(UpdaterCommand, ListBuildsNewestVersionFirst) {
    tree.Index("build=100;1.2.3;\nbuild=101;1.10.0;\nbuild=102;2.0.0;\nbuild=103;beta;\n");
    ReferenceServer server(tree.root());
    const ProcessResult r = Run(server.url(), {"-B", "-d", "ABCD"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    // Equal versions keep build order; a version that is not three numbers goes last.
    EXPECT_EQ(tableRows(r.out, "0000ABCD"), (Lines{"102            \t2.0.0          ",
                                                   "101            \t1.10.0         ",
                                                   "124            \t1.10.0         ",
                                                   "100            \t1.2.3          ",
                                                   "123            \t1.2.3          ",
                                                   "103            \tbeta           "}))
        << r.out;
    EXPECT_EQ(server.Requests(), (Lines{"/cgi/u?op=hi&rv=2&", "/cgi/u?op=builds&sn=0000ABCD&"}));
}

TEST_F(UpdaterCommand, ListBuildsFailures) {
    ReferenceServer server(tree.root());
    ProcessResult r = Run(server.url(), {"-B", "-d", "1234"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(contains(r.err, "Failed to retrieve builds for 00001234\n")) << r.err;
    EXPECT_TRUE(contains(r.out, "No builds found for device [00001234]\n")) << r.out;

    const std::string down = ClosedPortUrl();
    r = Run(down, {"-B", "-d", "ABCD"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(contains(r.err, "Server request failed for " + down + "\n")) << r.err;

    r = Run(server.url(), {"-B"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(contains(r.err, "Error must supply a serial number for the List Builds command")) << r.err;
}

TEST_F(UpdaterCommand, GetStoresTheDecodedFileThenListsItLocally) {
    ReferenceServer server(tree.root());
    const ProcessResult r = Run(server.url(), {"-G", "-L", "-d", "0xABCD"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(contains(r.out, "Retrieving firmware for device with serial number 0000ABCD\nNo build specified\n"
                                "Using Latest build\nRetrieving build 124\nValidating build 124 with server\n"
                                "Build 124 is valid\n"))
        << r.out;
    EXPECT_TRUE(contains(r.out, "124            \t1.10.0")) << r.out;  // the -L table
    EXPECT_EQ(ServerTree::Read(stored("124.bird")), tree.ServedFile("124.bird"));
    KeyValueStore settings(stored(".settings").c_str());
    EXPECT_EQ(settings.GetString("LATEST_DOWNLOAD"), "124.bird");
    EXPECT_NE(settings["LAST_DOWNLOAD_DATE"], nullptr);
    EXPECT_EQ(server.Requests(), (Lines{"/cgi/u?op=hi&rv=2&", "/cgi/u?op=qu&sn=0000ABCD&",
                                        "/cgi/u?op=builds&sn=0000ABCD&",
                                        "/cgi/u?bld=124&fw=fw-0000ABCD&no_cal=false&op=bird&sn=0000ABCD&"}));
}

TEST_F(UpdaterCommand, GetFailures) {
    struct Case {
        const char* name;
        Lines args;
        const char* fault;
        const char* faultOp;
        std::string error;
        bool listRequested;
    } cases[] = {
        {"unlisted build", {"-G", "-d", "ABCD", "-b", "999"}, "", "", "No valid build 999\n", true},
        {"overridden, no file", {"-G", "-d", "ABCD", "-b", "999", "-OVERRIDE"}, "", "",
         "Download failed\nFailed to retrieve a valid BIRD file\n", false},
        {"bad base64 length", {"-G", "-d", "ABCD"}, "short-base64", "bird", "Failed to retrieve a valid BIRD file\n",
         true},
        {"no device", {"-G"}, "", "", "-G must specify a specific device via -d\n", false},
    };
    for (const auto& c : cases) {
        TempDir store;
        ReferenceServer server(tree.root(), c.fault, c.faultOp);
        Lines argv = {UPDATER_BINARY_DIR "/Updater", "-i", store.path(), "-u", server.url()};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const ProcessResult r = RunProcess(argv, {{"HOME", store.path()}}, 60);
        EXPECT_EQ(r.exitCode, 1) << c.name;
        EXPECT_TRUE(contains(r.err, c.error)) << c.name << ": " << r.err;
        bool listed = false;
        for (const auto& request : server.Requests()) listed |= contains(request, "op=builds");
        EXPECT_EQ(listed, c.listRequested) << c.name;
        EXPECT_FALSE(std::filesystem::exists(store / "updater/0000ABCD/124.bird")) << c.name;
        EXPECT_FALSE(std::filesystem::exists(store / "updater/0000ABCD/999.bird")) << c.name;
    }

    const std::string down = ClosedPortUrl();
    const ProcessResult r = Run(down, {"-G", "-d", "ABCD"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(contains(r.err, "Server request failed for " + down + "\n")) << r.err;
}

TEST_F(UpdaterCommand, GetWithOverrideSkipsTheListRequest) {
    ReferenceServer server(tree.root());
    const ProcessResult r = Run(server.url(), {"-G", "-OVERRIDE", "-d", "ABCD", "-b", "123"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "Retrieving firmware build 123\nRetrieving build 123\n"
                                "Override specified, skipping validation of build 123\n"))
        << r.out;
    EXPECT_EQ(ServerTree::Read(stored("123.bird")), tree.ServedFile("123.bird"));
    EXPECT_EQ(server.Requests(), (Lines{"/cgi/u?op=hi&rv=2&", "/cgi/u?op=qu&sn=0000ABCD&",
                                        "/cgi/u?bld=123&fw=fw-0000ABCD&no_cal=false&op=bird&sn=0000ABCD&"}));
}

TEST_F(UpdaterCommand, FeatureToken) {
    ReferenceServer server(tree.root());
    ProcessResult r = Run(server.url(), {"-J", "-d", "ABCD"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(contains(r.out, "\naa.bb.cc\n")) << r.out;
    EXPECT_EQ(server.Requests().back(), "/cgi/u?json=false&op=ent_jwt&sn=0000ABCD&");

    tree.Index("token=aa.bb.c\n");
    r = Run(server.url(), {"-J", "-d", "ABCD"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "Failed to retrieve jwt for 0000ABCD\n");
    EXPECT_FALSE(contains(r.out, "aa.bb")) << r.out;
}

TEST_F(UpdaterCommand, SlowDownloadOnATerminalShowsTheSpinner) {
    ReferenceServer server(tree.root(), "slow=1.5", "bird");
    const ProcessResult r = Run(server.url(), {"-G", "-d", "ABCD"}, {}, true);
    EXPECT_EQ(r.exitCode, 0) << r.out;
    // The frames in their order, each on the same line, then the line erased.
    const char* frames[] = {".", "..", "...", "....", ".....", "....", "...", "..", "."};
    size_t at = r.out.find("Build 124 is valid");
    ASSERT_NE(at, std::string::npos) << r.out;
    for (const char* frame : frames) {
        const std::string drawn = std::string("\r (Downloading) ") + frame + "      \r";
        const size_t next = r.out.find(drawn, at);
        ASSERT_NE(next, std::string::npos) << "frame " << frame << " after " << at << "\n" << r.out;
        at = next + 1;
    }
    EXPECT_NE(r.out.find("\r" + std::string(88, ' ') + "\r", at), std::string::npos);
    EXPECT_EQ(ServerTree::Read(stored("124.bird")), tree.ServedFile("124.bird"));
}

TEST_F(UpdaterCommand, HttpsTrustsOnlyWhatItIsToldToTrust) {
    TempDir pki;
    const TestCertificates trusted = TestCertificates::Make(pki.path(), "trusted");
    const TestCertificates stranger = TestCertificates::Make(pki.path(), "stranger");

    ReferenceServer good(tree.root(), "", "", &trusted);
    ProcessResult r = Run(good.url(), {"-B", "-d", "ABCD"}, {{"CURL_CA_BUNDLE", trusted.caFile}});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(contains(r.out, "124            \t1.10.0")) << r.out;

    ReferenceServer bad(tree.root(), "", "", &stranger);
    r = Run(bad.url(), {"-X", "0x20", "-G", "-d", "ABCD"}, {{"CURL_CA_BUNDLE", trusted.caFile}});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(contains(r.err, "Server request failed for " + bad.url() + "\n")) << r.err;
    EXPECT_TRUE(contains(r.err, "ping ==> [SSL peer certificate or SSH remote key was not OK]\n")) << r.err;
    EXPECT_FALSE(std::filesystem::exists(home / "updater/0000ABCD"));
}
