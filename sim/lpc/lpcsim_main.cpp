// lpcsim: a simulated LPC17xx ISP boot ROM on a pseudo-terminal. Prints the
// slave path and then "ready" on standard output, serves until SIGINT or
// SIGTERM, and resets the simulated chip on SIGHUP.
#include <cerrno>
#include <csignal>
#include <pthread.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim/lpc/LpcPtyServer.h"

namespace {

void usage()
{
    std::fprintf(stderr,
                 "usage: lpcsim [--part-id N] [--serial W0,W1,W2,W3] [--boot-version MAJOR.MINOR]\n"
                 "              [--flash-size BYTES] [--ram-size BYTES] [--no-echo] [--flash-file PATH]\n"
                 "              [--silent] [--no-sync] [--garbage] [--resend N] [--refuse LETTER[:CODE]]\n");
}

bool toNumber(const char* text, uint32_t& value)
{
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text, &end, 0);
    if (!*text || *end || errno == ERANGE || v > 0xFFFFFFFFull)
        return false;
    value = static_cast<uint32_t>(v);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    lpcsim::LpcConfig config;
    std::string flashFile;
    for (int i = 1; i < argc; ++i) {
        const std::string opt = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "lpcsim: %s needs a value\n", opt.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        auto num = [&](uint32_t& out) {
            const char* text = value();
            if (!toNumber(text, out)) {
                std::fprintf(stderr, "lpcsim: bad number for %s: %s\n", opt.c_str(), text);
                std::exit(2);
            }
        };
        uint32_t n = 0;
        if (opt == "--part-id") {
            num(config.partId);
        } else if (opt == "--serial") {
            std::string text = value();
            size_t at = 0;
            for (int w = 0; w < 4; ++w) {
                const size_t comma = text.find(',', at);
                const std::string part = text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
                if (!toNumber(part.c_str(), config.serial[w]) || (w < 3 && comma == std::string::npos)
                    || (w == 3 && comma != std::string::npos)) {
                    std::fprintf(stderr, "lpcsim: --serial takes four numbers separated by commas\n");
                    return 2;
                }
                at = comma + 1;
            }
        } else if (opt == "--boot-version") {
            if (std::sscanf(value(), "%d.%d", &config.bootMajor, &config.bootMinor) != 2) {
                std::fprintf(stderr, "lpcsim: --boot-version takes MAJOR.MINOR\n");
                return 2;
            }
        } else if (opt == "--flash-size") {
            num(n);
            if (n == 0 || n % 0x1000 || n > 512 * 1024 || (n > 0x10000 && n % 0x8000)) {
                std::fprintf(stderr, "lpcsim: flash size must fill whole sectors, at most 512 KB\n");
                return 2;
            }
            config.flashSize = n;
        } else if (opt == "--ram-size") {
            num(n);
            if (n < 0x400 || n > 64 * 1024 || n % 4) {
                std::fprintf(stderr, "lpcsim: RAM size must be 1 KB to 64 KB\n");
                return 2;
            }
            config.ramSize = n;
        } else if (opt == "--no-echo") {
            config.echo = false;
        } else if (opt == "--flash-file") {
            flashFile = value();
        } else if (opt == "--silent") {
            config.faults.silent = true;
        } else if (opt == "--no-sync") {
            config.faults.noSync = true;
        } else if (opt == "--garbage") {
            config.faults.garbage = true;
        } else if (opt == "--resend") {
            num(n);
            config.faults.resendCount = static_cast<int>(n);
        } else if (opt == "--refuse") {
            const char* text = value();
            config.faults.refuseCommand = text[0];
            if (!text[0] || (text[1] && (text[1] != ':' || std::sscanf(text + 2, "%d", &config.faults.refuseCode) != 1))) {
                std::fprintf(stderr, "lpcsim: --refuse takes LETTER or LETTER:CODE\n");
                return 2;
            }
        } else if (opt == "--help" || opt == "-h") {
            usage();
            return 0;
        } else {
            std::fprintf(stderr, "lpcsim: unknown option %s\n", opt.c_str());
            usage();
            return 2;
        }
    }

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    // Blocked before the server thread starts, so only sigwait sees them.
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    lpcsim::LpcPtyServer server(config, flashFile);
    if (!server.start()) {
        std::fprintf(stderr, "lpcsim: %s\n", server.error().c_str());
        return 1;
    }
    std::printf("%s\nready\n", server.slavePath().c_str());
    std::fflush(stdout);
    for (;;) {
        int sig = 0;
        sigwait(&signals, &sig);
        if (sig == SIGHUP) {
            server.reset();
            continue;
        }
        break;
    }
    server.stop();
    return 0;
}
