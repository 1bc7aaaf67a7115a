// modsim: runs one simulated module on TCP or a pseudo-terminal until it is
// told to stop (SIGTERM, SIGINT, SIGHUP, or its parent process ending).
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <exception>

#include "sim/Simulator.h"

int main(int argc, char** argv) {
    const pid_t parent = getppid();
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) return 0; // the parent is already gone

    modsim::SimOptions options;
    try {
        std::vector<std::string> args(argv + 1, argv + argc);
        if (!modsim::parseCommandLine(options, args)) {
            fputs(modsim::kUsage, stdout);
            return 0;
        }
    } catch (const std::exception& e) {
        fprintf(stderr, "modsim: %s\n%s", e.what(), modsim::kUsage);
        return 2;
    }

    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    try {
        modsim::Simulator sim(options);
        sim.log().setMemory(false);
        sim.start();
        printf("%s\n", sim.announcement().c_str());
        fflush(stdout);
        const timespec tick{0, 200 * 1000 * 1000};
        while (sim.running()) {
            int s = sigtimedwait(&stopSignals, nullptr, &tick);
            if (s > 0) break;
        }
        sim.stop();
    } catch (const std::exception& e) {
        fprintf(stderr, "modsim: %s\n", e.what());
        return 1;
    }
    return 0;
}
