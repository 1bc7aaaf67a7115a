// The HTTP layer and the server questions against the reference update
// server: URL building, status handling, transport failures and time limits,
// the exact query of each question, faulty servers, and TLS verification.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "ReferenceServer.h"
#include "updater/HTTPRequest.h"
#include "updater/UpdateServerRequest.h"

using USR = UpdateServerRequest;

namespace {

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

// A tree with one module, 0000ABCD, that has two builds, a token and a
// recovery entry.
struct Tree {
    TempDir dir;
    Tree() {
        const std::string device = dir / "0000ABCD";
        std::filesystem::create_directory(device);
        writeFile(device + "/firmware-124", std::string("bird\x01\x01payload\0\xff", 15));
        writeFile(device + "/index",
                  "current=124\nfirmware=fw-7\ntoken=aa.bb.cc\n"
                  "build=123;1.2.3;\nbuild=124;1.10.0;firmware-124\n");
        writeFile(dir / "recovery", "00000001 ABCDEF12 00000000 FFFFFFFF 0000ABCD 0x10\n");
    }
    std::string root() const { return dir.path(); }
};

// The runtime_error text of a GET, or "" when it returned.
std::string getError(const std::string& url) {
    try {
        HTTPRequest::GET(url, {{"op", "hi"}, {"rv", "2"}});
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

class ScopedEnv {
  public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) { setenv(name, value.c_str(), 1); }
    ~ScopedEnv() { unsetenv(name_); }

  private:
    const char* name_;
};

}  // namespace

TEST(HTTPRequestURL, QueryInKeyOrderWithTrailingAmpersand) {
    EXPECT_EQ(HTTPRequest::BuildURL("http://h/cgi/u", {}), "http://h/cgi/u");
    EXPECT_EQ(HTTPRequest::BuildURL("http://h/cgi/u", {{"op", "b"}, {"bld", "7"}}), "http://h/cgi/u?bld=7&op=b&");
    // Byte order: upper case before lower case; nothing is percent-encoded.
    EXPECT_EQ(HTTPRequest::BuildURL("b", {{"sn", "0000ABCD"}, {"Z", "a b"}, {"fp", "1%202"}}),
              "b?Z=a b&fp=1%202&sn=0000ABCD&");
}

TEST(HTTPRequestGET, StatusAndBodyAreReturnedWhateverTheStatus) {
    Tree tree;
    ReferenceServer server(tree.root());
    const HTTPResponse ok = HTTPRequest::GET(server.url(), {{"op", "hi"}, {"rv", "2"}});
    EXPECT_EQ(ok.get_status(), 200);
    EXPECT_EQ(ok.get_response(), "ok\nreference update server\n");
    EXPECT_EQ(ok.get_request(), server.url() + "?op=hi&rv=2&");

    const std::string other = server.url().substr(0, server.url().rfind('/')) + "/other";
    const HTTPResponse missing = HTTPRequest::GET(other, {});
    EXPECT_EQ(missing.get_status(), 404);
    EXPECT_EQ(missing.get_response(), "not found\n");
    EXPECT_EQ(missing.get_request(), other);
}

TEST(HTTPRequestGET, TransportFailuresThrowLibcurlsText) {
    EXPECT_EQ(getError(ClosedPortUrl()), "Couldn't connect to server");
    EXPECT_EQ(getError("nosuchscheme://127.0.0.1/"), "Unsupported protocol");
    EXPECT_EQ(getError("file:///etc/hostname"), "Unsupported protocol");

    Tree tree;
    ReferenceServer cut(tree.root(), "cut");
    EXPECT_EQ(getError(cut.url()), "Transferred a partial file");
}

TEST(HTTPRequestGET, StalledServerEndsAtTheLowSpeedLimit) {
    Tree tree;
    ReferenceServer stalled(tree.root(), "stall");
    const HTTPRequest::Limits saved = HTTPRequest::GetLimits();
    HTTPRequest::SetLimits({5, 1, 2});
    const auto start = std::chrono::steady_clock::now();
    const std::string error = getError(stalled.url());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    HTTPRequest::SetLimits(saved);
    EXPECT_EQ(error, "Timeout was reached");
    EXPECT_GE(seconds, 1.5);
    EXPECT_LT(seconds, 30);  // libcurl averages the rate over a few seconds first
}

TEST(UpdateServerQuestions, EachAsksWithItsExactQueryAndReadsTheAnswer) {
    Tree tree;
    ReferenceServer server(tree.root());
    const char* url = server.url().c_str();

    EXPECT_TRUE(USR::ping(url));

    std::string build, firmware;
    EXPECT_TRUE(USR::QueryBuild(0xABCD, build, firmware, url));
    EXPECT_EQ(build, "124");
    EXPECT_EQ(firmware, "fw-7");

    std::string text;
    EXPECT_TRUE(USR::GetBuild(0xABCD, "fw-7", "124", text, url, false));
    EXPECT_EQ(text, "YmlyZAEBcGF5bG9hZAD/");

    USR::BuildList builds;
    EXPECT_TRUE(USR::GetBuildList(0xABCD, builds, url));
    EXPECT_EQ(builds, (USR::BuildList{{"123", "1.2.3"}, {"124", "1.10.0"}}));

    uint32_t serial = 0, recoveryBuild = 0;
    EXPECT_TRUE(USR::GetRecoveryInfo(Fingerprint{{1, 0xABCDEF12, 0, 0xFFFFFFFF}}, serial, recoveryBuild, url));
    EXPECT_EQ(serial, 0xABCDu);
    EXPECT_EQ(recoveryBuild, 16u);

    std::string token;
    EXPECT_TRUE(USR::GetDeviceJWT(0xABCD, token, url));
    EXPECT_EQ(token, "aa.bb.cc");

    EXPECT_TRUE(USR::GetBuild(0xABCD, "fw-7", "124", text, url, true));

    EXPECT_EQ(server.Requests(), (std::vector<std::string>{
                                     "/cgi/u?op=hi&rv=2&",
                                     "/cgi/u?op=qu&sn=0000ABCD&",
                                     "/cgi/u?bld=124&fw=fw-7&no_cal=false&op=bird&sn=0000ABCD&",
                                     "/cgi/u?op=builds&sn=0000ABCD&",
                                     "/cgi/u?brief=true&fp=00000001%20ABCDEF12%2000000000%20FFFFFFFF&op=fix&",
                                     "/cgi/u?json=false&op=ent_jwt&sn=0000ABCD&",
                                     "/cgi/u?bld=124&fw=fw-7&no_cal=true&op=bird&sn=0000ABCD&",
                                 }));
}

TEST(UpdateServerQuestions, UnknownModuleIsARefusal) {
    Tree tree;
    ReferenceServer server(tree.root());
    const char* url = server.url().c_str();
    std::string build = "keep", firmware = "keep", token = "keep";
    USR::BuildList builds = {{"1", "1.0.0"}};
    EXPECT_FALSE(USR::QueryBuild(0x1234, build, firmware, url));
    EXPECT_FALSE(USR::GetBuildList(0x1234, builds, url));
    EXPECT_FALSE(USR::GetDeviceJWT(0x1234, token, url));
    EXPECT_EQ(build, "keep");
    EXPECT_EQ(firmware, "keep");
    EXPECT_EQ(token, "keep");
    EXPECT_TRUE(builds.empty());
}

TEST(UpdateServerQuestions, FaultyServersGiveFalseNeverAnException) {
    Tree tree;
    for (const char* fault : {"refuse", "status=500", "status=404", "garbage", "cut"}) {
        ReferenceServer server(tree.root(), fault);
        const char* url = server.url().c_str();
        USR::BuildList builds;
        std::string token;
        EXPECT_FALSE(USR::ping(url)) << fault;
        EXPECT_FALSE(USR::GetBuildList(0xABCD, builds, url)) << fault;
        EXPECT_FALSE(USR::GetDeviceJWT(0xABCD, token, url)) << fault;
        EXPECT_EQ(server.Requests().size(), 3u) << fault;
    }
    EXPECT_FALSE(USR::ping(ClosedPortUrl().c_str()));
}

class HTTPS : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        trusted_ = new TestCertificates(TestCertificates::Make(dir_->path(), "trusted"));
        other_ = new TestCertificates(TestCertificates::Make(dir_->path(), "other"));
    }
    static void TearDownTestSuite() {
        delete trusted_;
        delete other_;
        delete dir_;
    }
    static TempDir* dir_;
    static TestCertificates* trusted_;
    static TestCertificates* other_;
    Tree tree_;
};
TempDir* HTTPS::dir_;
TestCertificates* HTTPS::trusted_;
TestCertificates* HTTPS::other_;

TEST_F(HTTPS, CertificateFromTheTrustedCAIsAccepted) {
    ReferenceServer server(tree_.root(), "", "", trusted_);
    ASSERT_EQ(server.url().rfind("https://127.0.0.1:", 0), 0u) << server.url();
    {
        ScopedEnv ca("CURL_CA_BUNDLE", trusted_->caFile);
        EXPECT_TRUE(USR::ping(server.url().c_str()));
        USR::BuildList builds;
        EXPECT_TRUE(USR::GetBuildList(0xABCD, builds, server.url().c_str()));
        EXPECT_EQ(builds.size(), 2u);
    }
    {
        ScopedEnv ca("SSL_CERT_FILE", trusted_->caFile);
        EXPECT_TRUE(USR::ping(server.url().c_str()));
    }
    {
        // A hashed certificate directory.
        const std::string certs = *dir_ / "certs";
        std::filesystem::create_directory(certs);
        std::filesystem::copy_file(trusted_->caFile, certs + "/ca.pem");
        ASSERT_EQ(RunProcess({"openssl", "rehash", certs}).exitCode, 0);
        ScopedEnv ca("SSL_CERT_DIR", certs);
        EXPECT_TRUE(USR::ping(server.url().c_str()));
    }
    EXPECT_FALSE(USR::ping(server.url().c_str()));  // and trust ends with the variables
}

TEST_F(HTTPS, UntrustedCertificateIsRefused) {
    ReferenceServer server(tree_.root(), "", "", other_);
    // Neither the system store nor another CA vouches for it.
    EXPECT_EQ(getError(server.url()), "SSL peer certificate or SSH remote key was not OK");
    ScopedEnv ca("CURL_CA_BUNDLE", trusted_->caFile);
    EXPECT_EQ(getError(server.url()), "SSL peer certificate or SSH remote key was not OK");
    EXPECT_FALSE(USR::ping(server.url().c_str()));
}

TEST_F(HTTPS, HostNameMustMatchTheCertificate) {
    // Signed by a trusted CA, but for another name than the one asked for.
    const TestCertificates named = TestCertificates::Make(dir_->path(), "named", "DNS:elsewhere.example");
    ReferenceServer server(tree_.root(), "", "", &named);
    ScopedEnv ca("CURL_CA_BUNDLE", named.caFile);
    EXPECT_EQ(getError(server.url()), "SSL peer certificate or SSH remote key was not OK");
}
