// Runs the socket stand-in with a pump loop (GetEvent, GetState, SetVerdict) for a while and
// prints the CPU time the process used: how much an idle program costs. measure-idle-cpu.sh
// drives it with and without a peer attached.
//
//   idle-cpu-probe SOCKET SECONDS
// Prints: "cpu_seconds=<user+system> wall_seconds=<elapsed> events=<n> attached=<0|1>".

#include "SocketHookLibrary.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

static double ProcessCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: idle-cpu-probe SOCKET SECONDS\n");
        return 2;
    }
    std::string error;
    auto library = SocketHookLibrary::Open(argv[1], error);
    if (!library) {
        std::fprintf(stderr, "idle-cpu-probe: %s\n", error.c_str());
        return 1;
    }
    std::printf("listening\n");
    std::fflush(stdout);
    const auto duration = std::chrono::duration<double>(std::atof(argv[2]));
    const auto wallStart = std::chrono::steady_clock::now();
    const double cpuStart = ProcessCpuSeconds();
    unsigned long events = 0;
    bool sawPeer = false;
    while (std::chrono::steady_clock::now() - wallStart < duration) {
        HookLibrary::Event event;
        const bool delivered = library->GetEvent(event);
        sawPeer = sawPeer || library->GetState() != 0;
        if (delivered) {
            ++events;
            library->SetVerdict(0);
        }
    }
    const double cpu = ProcessCpuSeconds() - cpuStart;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    std::printf("cpu_seconds=%.4f wall_seconds=%.3f events=%lu attached=%d\n", cpu, wall, events, sawPeer ? 1 : 0);
    return 0;
}
