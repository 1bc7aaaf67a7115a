// ReferenceServer: runs the reference update server (sim/update_server) as a
// child process on 127.0.0.1 for one test, with a private tree, request log
// and optional TLS certificates, and stops it when the object goes. Also the
// small process helpers the server tests share: a temporary directory, a
// throw-away CA, and running a command with a time limit.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "tests/support/TempDir.h"

using testsupport::TempDir;

// Result of a finished command.
struct ProcessResult {
    int exitCode = -1;   // -1 when killed by a signal or timed out
    bool timedOut = false;
    std::string out;     // standard output
    std::string err;     // standard error
};

// Runs argv with extra environment variables, standard input from /dev/null,
// killing it after timeoutSeconds. With onTerminal, standard output and
// standard error are one pseudo-terminal, returned in out.
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {},
                         double timeoutSeconds = 30, bool onTerminal = false);

// A CA and a server certificate signed by it for the names in san (an
// openssl subjectAltName value), made with the openssl command in dir.
// Throws when openssl fails.
struct TestCertificates {
    std::string caFile, certFile, keyFile;
    static TestCertificates Make(const std::string& dir, const std::string& prefix,
                                 const std::string& san = "IP:127.0.0.1,DNS:localhost");
};

class ReferenceServer {
  public:
    // Serves root; fault and faultOp as the server's --fault and --fault-op;
    // with tls, HTTPS with that server certificate.
    explicit ReferenceServer(const std::string& root, const std::string& fault = "",
                             const std::string& faultOp = "", const TestCertificates* tls = nullptr);
    ~ReferenceServer();
    ReferenceServer(const ReferenceServer&) = delete;
    ReferenceServer& operator=(const ReferenceServer&) = delete;

    // Base URL to pass to the updater, e.g. http://127.0.0.1:PORT/cgi/u.
    const std::string& url() const { return url_; }
    // Every request target received so far, in order.
    std::vector<std::string> Requests() const;

  private:
    void Stop();
    TempDir dir_;
    pid_t pid_ = -1;
    int stdinWrite_ = -1;
    std::string url_;
};

// A URL on 127.0.0.1 where nothing listens.
std::string ClosedPortUrl();
