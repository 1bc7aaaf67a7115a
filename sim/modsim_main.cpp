// modsim: runs simulated modules (one, or a network of several described in
// one configuration) on TCP or pseudo-terminals until it is told to stop
// (SIGTERM, SIGINT, SIGHUP, or its parent process ending).
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <exception>
#include <memory>

#include "sim/Simulator.h"

int main(int argc, char** argv) {
    const pid_t parent = getppid();
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) return 0; // the parent is already gone

    modsim::SimNetwork network;
    try {
        std::vector<std::string> args(argv + 1, argv + argc);
        if (!modsim::parseNetworkCommandLine(network, args)) {
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
        // One simulator per module with a transport; the modules behind a
        // router ride on the router's simulator.
        std::vector<std::unique_ptr<modsim::Simulator>> sims;
        std::vector<std::string> lines;
        auto& ms = network.modules;
        for (size_t i = 0; i < ms.size(); ++i) {
            if (ms[i].behind) continue;
            std::vector<modsim::SimOptions> behind;
            for (size_t j = i + 1; j < ms.size() && ms[j].behind; ++j)
                behind.push_back(ms[j]);
            sims.push_back(std::make_unique<modsim::Simulator>(ms[i], behind));
            auto& sim = *sims.back();
            sim.log().setMemory(false);
            sim.start();
            lines.push_back(sim.announcement());
            const std::string where = sim.announcement().substr(sim.announcement().find(' ') + 1);
            for (auto& b : behind)
                lines.push_back("behind " + where + " module " + std::to_string(b.module.address));
        }
        for (auto& l : lines)
            printf("%s\n", l.c_str());
        printf("ready\n");
        fflush(stdout);
        const timespec tick{0, 200 * 1000 * 1000};
        for (;;) {
            bool any = false;
            for (auto& sim : sims)
                any = any || sim->running();
            if (!any) break;
            int s = sigtimedwait(&stopSignals, nullptr, &tick);
            if (s > 0) break;
        }
        for (auto& sim : sims)
            sim->stop();
    } catch (const std::exception& e) {
        fprintf(stderr, "modsim: %s\n", e.what());
        return 1;
    }
    return 0;
}
