// Measures the processor time that waiting costs: a 10-second WaitMicroSeconds
// with a 1 ms and a 14 ms timer running (as the main window has), and without
// timers. Prints wall time, CPU time and the share of one core.
#include <sys/resource.h>

#include <QCoreApplication>
#include <cstdio>

#include "common/EventService.h"

namespace {
double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void Measure(const char* label, double seconds) {
    const double cpu0 = CpuSeconds();
    const double t0 = gascal::MicroSeconds();
    gascal::WaitMicroSeconds(seconds * 1e6);
    const double wall = (gascal::MicroSeconds() - t0) / 1e6;
    const double cpu = CpuSeconds() - cpu0;
    std::printf("%-34s wall %.3f s  cpu %.3f s  = %.2f %% of one core\n", label, wall, cpu,
                100.0 * cpu / wall);
}
}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    Measure("WaitMicroSeconds, no timers", seconds);
    int n1 = 0, n2 = 0;
    gascal::Timer t1("Timer1", 1, [&] { ++n1; });
    gascal::Timer t2("Timer2", 14, [&] { ++n2; });
    t1.SetEnabled(true);
    t2.SetEnabled(true);
    Measure("WaitMicroSeconds, 1 ms + 14 ms timers", seconds);
    std::printf("timer ticks: Timer1 %d, Timer2 %d\n", n1, n2);
    // Many short waits, as the per-byte pause of a transmission does.
    const double cpu0 = CpuSeconds();
    const double t0 = gascal::MicroSeconds();
    for (int i = 0; i < 2000; ++i) gascal::WaitMicroSeconds(500);
    const double wall = (gascal::MicroSeconds() - t0) / 1e6;
    std::printf("%-34s wall %.3f s (floor 1.000)  cpu %.3f s\n", "2000 x 500 us waits", wall,
                CpuSeconds() - cpu0);
    return 0;
}
