// imxsim: a simulated i.MX RT1050 boot ROM on a pseudo-terminal. Prints the
// slave path and "ready" on standard output, serves until SIGINT or SIGTERM,
// then writes the RAM regions and the jumps into --dump-dir when given.
//   imxsim [--fault=silent|short-register|reply-during-write|refuse-jump]...
//          [--uid=WORD0,WORD1] [--hab=closed] [--dump-dir=DIR]
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "sim/imx/PtyRom.h"

namespace {

volatile sig_atomic_t sStop = 0;

void sOnSignal(int) { sStop = 1; }

bool sParseFault(const std::string& name, imxsim::SdpFaults& faults)
{
    if (name == "silent")
        faults.silent = true;
    else if (name == "short-register")
        faults.shortRegisterReply = true;
    else if (name == "reply-during-write")
        faults.replyDuringWrite = true;
    else if (name == "refuse-jump")
        faults.refuseJump = true;
    else
        return false;
    return true;
}

bool sDump(imxsim::PtyRom& rom, const std::string& dir)
{
    return rom.inspect([&](imxsim::SdpRom& r) {
        for (const auto& region : r.ram().regions()) {
            const std::string path = dir + "/" + region.name + ".bin";
            FILE* f = fopen(path.c_str(), "wb");
            if (f == nullptr || fwrite(region.bytes.data(), 1, region.bytes.size(), f) != region.bytes.size()) {
                if (f)
                    fclose(f);
                return false;
            }
            if (fclose(f) != 0)
                return false;
        }
        FILE* f = fopen((dir + "/jumps.txt").c_str(), "w");
        if (f == nullptr)
            return false;
        for (const auto& j : r.jumps())
            fprintf(f, "0x%08X 0x%08X\n", j.address, j.entry);
        for (const auto& e : r.errors())
            fprintf(f, "rejected: %s\n", e.c_str());
        return fclose(f) == 0;
    });
}

} // namespace

int main(int argc, char** argv)
{
    imxsim::SdpConfig config;
    std::string dumpDir;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--fault=", 0) == 0) {
            if (!sParseFault(arg.substr(8), config.faults)) {
                fprintf(stderr, "imxsim: unknown fault %s\n", arg.c_str() + 8);
                return 2;
            }
        } else if (arg.rfind("--uid=", 0) == 0) {
            char* end = nullptr;
            const char* text = arg.c_str() + 6;
            config.uid0 = static_cast<uint32_t>(strtoul(text, &end, 16));
            if (end == text || *end != ',') {
                fprintf(stderr, "imxsim: --uid wants WORD0,WORD1 in hex\n");
                return 2;
            }
            config.uid1 = static_cast<uint32_t>(strtoul(end + 1, &end, 16));
            if (*end != '\0') {
                fprintf(stderr, "imxsim: --uid wants WORD0,WORD1 in hex\n");
                return 2;
            }
        } else if (arg == "--hab=closed") {
            config.habMode = imxsim::HAB_CLOSED;
        } else if (arg.rfind("--dump-dir=", 0) == 0) {
            dumpDir = arg.substr(11);
        } else {
            fprintf(stderr, "usage: imxsim [--fault=silent|short-register|reply-during-write|refuse-jump]... "
                            "[--uid=WORD0,WORD1] [--hab=closed] [--dump-dir=DIR]\n");
            return 2;
        }
    }

    imxsim::PtyRom rom(config);
    std::string error;
    if (!rom.start(error)) {
        fprintf(stderr, "imxsim: %s\n", error.c_str());
        return 1;
    }
    signal(SIGINT, sOnSignal);
    signal(SIGTERM, sOnSignal);
    printf("%s\nready\n", rom.slavePath().c_str());
    fflush(stdout);
    while (!sStop)
        pause();
    rom.stop();
    if (!dumpDir.empty() && !sDump(rom, dumpDir)) {
        fprintf(stderr, "imxsim: could not write the dump into %s\n", dumpDir.c_str());
        return 1;
    }
    return 0;
}
