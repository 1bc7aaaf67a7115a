// ReferenceServer and the process helpers of the server tests. See
// ReferenceServer.h.
#include "ReferenceServer.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// The reference server is on loopback: reach it directly even where the
// environment names a proxy (the programs the tests start inherit this).
const bool sDirectLoopback = [] {
    setenv("no_proxy", "127.0.0.1,localhost", 1);
    setenv("NO_PROXY", "127.0.0.1,localhost", 1);
    return true;
}();

[[noreturn]] void execChild(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env) {
    for (const auto& [key, value] : env) setenv(key.c_str(), value.c_str(), 1);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    std::fprintf(stderr, "exec %s: %s\n", args[0], std::strerror(errno));
    _exit(127);
}

// Waits for pid until the deadline; kills its process group after it.
int reap(pid_t pid, Clock::time_point deadline, bool& timedOut) {
    int status = 0;
    for (;;) {
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) break;
        if (r < 0 && errno != EINTR) return -1;
        if (Clock::now() >= deadline) {
            timedOut = true;
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int remainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void runChecked(const std::vector<std::string>& argv) {
    const ProcessResult r = RunProcess(argv, {}, 60);
    if (r.exitCode != 0) throw std::runtime_error("command failed: " + argv[0] + " " + argv[1] + ": " + r.err);
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                         double timeoutSeconds, bool onTerminal) {
    ProcessResult result;
    const auto deadline = Clock::now() + std::chrono::milliseconds(static_cast<long>(timeoutSeconds * 1000));
    int outFd[2] = {-1, -1}, errFd[2] = {-1, -1};
    int master = -1, slave = -1;
    if (onTerminal) {
        struct winsize ws{};
        ws.ws_row = 24;
        ws.ws_col = 120;
        if (openpty(&master, &slave, nullptr, nullptr, &ws) != 0) throw std::runtime_error("openpty failed");
    } else if (pipe2(outFd, O_CLOEXEC) != 0 || pipe2(errFd, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        setpgid(0, 0);
        const int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        if (onTerminal) {
            dup2(slave, 1);
            dup2(slave, 2);
            close(master);
            close(slave);
        } else {
            dup2(outFd[1], 1);
            dup2(errFd[1], 2);
        }
        execChild(argv, env);
    }
    setpgid(pid, pid);

    std::vector<std::pair<int, std::string*>> streams;
    if (onTerminal) {
        close(slave);
        streams.push_back({master, &result.out});
    } else {
        close(outFd[1]);
        close(errFd[1]);
        streams.push_back({outFd[0], &result.out});
        streams.push_back({errFd[0], &result.err});
    }
    // Read until every stream ends (a pty reports EIO once the child is gone).
    while (!streams.empty() && Clock::now() < deadline) {
        std::vector<pollfd> fds;
        for (auto& s : streams) fds.push_back({s.first, POLLIN, 0});
        const int n = poll(fds.data(), fds.size(), std::min(remainingMs(deadline), 100));
        if (n < 0 && errno != EINTR) break;
        for (size_t i = fds.size(); i-- > 0;) {
            if (!fds[i].revents) continue;
            char buffer[4096];
            const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                streams[i].second->append(buffer, got);
            } else if (got == 0 || errno != EINTR) {
                close(streams[i].first);
                streams.erase(streams.begin() + i);
            }
        }
        // A pty master may stay open while the child is gone.
        if (onTerminal && !streams.empty()) {
            int status;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                // Drain what is left, then report.
                for (;;) {
                    pollfd p{streams[0].first, POLLIN, 0};
                    char buffer[4096];
                    ssize_t got;
                    if (poll(&p, 1, 50) <= 0 || (got = read(p.fd, buffer, sizeof buffer)) <= 0) break;
                    result.out.append(buffer, got);
                }
                close(streams[0].first);
                result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                return result;
            }
        }
    }
    for (auto& s : streams) close(s.first);
    result.exitCode = reap(pid, deadline, result.timedOut);
    return result;
}

TestCertificates TestCertificates::Make(const std::string& dir, const std::string& prefix, const std::string& san) {
    TestCertificates c;
    const std::string p = dir + "/" + prefix;
    c.caFile = p + "-ca.pem";
    c.certFile = p + "-server.pem";
    c.keyFile = p + "-server.key";
    {
        std::ofstream ext(p + "-ext.cnf");
        ext << "basicConstraints=CA:FALSE\nkeyUsage=digitalSignature\nextendedKeyUsage=serverAuth\n"
               "subjectAltName="
            << san << "\n";
    }
    const std::vector<std::string> ec = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
    std::vector<std::string> ca = {"openssl", "req", "-x509"};
    ca.insert(ca.end(), ec.begin(), ec.end());
    ca.insert(ca.end(), {"-keyout", p + "-ca.key", "-out", c.caFile, "-days", "2", "-subj", "/CN=Throw-away test CA"});
    runChecked(ca);
    std::vector<std::string> req = {"openssl", "req"};
    req.insert(req.end(), ec.begin(), ec.end());
    req.insert(req.end(), {"-keyout", c.keyFile, "-out", p + "-server.csr", "-subj", "/CN=127.0.0.1"});
    runChecked(req);
    runChecked({"openssl", "x509", "-req", "-in", p + "-server.csr", "-CA", c.caFile, "-CAkey", p + "-ca.key",
                "-CAcreateserial", "-out", c.certFile, "-days", "2", "-extfile", p + "-ext.cnf"});
    return c;
}

ReferenceServer::ReferenceServer(const std::string& root, const std::string& fault, const std::string& faultOp,
                                 const TestCertificates* tls) {
    // The system interpreter when there is one: wrappers in PATH (version
    // managers) can cost a second per start.
    const std::string python = access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
    std::vector<std::string> argv = {python, UPDATER_SOURCE_DIR "/sim/update_server/update_server.py",
                                     "--root", root, "--log", dir_ / "requests.log", "--exit-on-eof"};
    if (!fault.empty()) argv.insert(argv.end(), {"--fault", fault});
    if (!faultOp.empty()) argv.insert(argv.end(), {"--fault-op", faultOp});
    if (tls) argv.insert(argv.end(), {"--cert", tls->certFile, "--key", tls->keyFile});

    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        execChild(argv, {});
    }
    close(in[0]);
    close(out[1]);
    stdinWrite_ = in[1];

    // The first line of its output is the base URL.
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    std::string line;
    while (line.find('\n') == std::string::npos) {
        pollfd p{out[0], POLLIN, 0};
        char buffer[256];
        ssize_t got = 0;
        if (poll(&p, 1, remainingMs(deadline)) <= 0 || (got = read(out[0], buffer, sizeof buffer)) <= 0) {
            close(out[0]);
            Stop();
            throw std::runtime_error("reference update server did not start");
        }
        line.append(buffer, got);
    }
    close(out[0]);
    url_ = line.substr(0, line.find('\n'));
}

ReferenceServer::~ReferenceServer() { Stop(); }

void ReferenceServer::Stop() {
    if (stdinWrite_ >= 0) close(stdinWrite_);
    stdinWrite_ = -1;
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        bool timedOut = false;
        reap(pid_, Clock::now() + std::chrono::seconds(5), timedOut);
        pid_ = -1;
    }
}

std::vector<std::string> ReferenceServer::Requests() const {
    std::vector<std::string> lines;
    std::istringstream in(readFile(dir_ / "requests.log"));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string ClosedPortUrl() {
    // Bind a port, then release it: nothing listens there afterwards.
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    return "http://127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/cgi/u";
}
