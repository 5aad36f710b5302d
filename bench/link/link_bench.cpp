// Link figures on the real clock against the simulated ECU:
//  1. processor time of this process while the link only keeps the ECU
//     alive for 20 s (the tool must sit near idle while it waits);
//  2. the time of 100 block-1 reads against the floor that the line speed,
//     the per-byte pause and the idle time impose on each exchange.
// The simulated ECU runs in process (USB device 0) unless --port PATH names a
// serial device (e.g. the pseudo-terminal printed by gascal-ecusim).
#include <sys/resource.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <memory>

#include "common/EventService.h"
#include "common/Helpers.h"
#include "ecu/EcuSession.h"
#include "link/core/ClsComm.h"
#include "link/core/CommandTable.h"
#include "link/core/Frame.h"
#include "link/core/MachinePorts.h"
#include "sim/core/SimPort.h"

using namespace gascal;

namespace {
constexpr double kLineByteUs = 1e6 * 10.0 / 38400.0;
constexpr int kBlock1DataBytes = 85;

double CpuSeconds() {
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return r.ru_utime.tv_sec + r.ru_utime.tv_usec / 1e6 + r.ru_stime.tv_sec +
           r.ru_stime.tv_usec / 1e6;
}

bool RunUntil(const std::function<bool()>& pred, double maxUs) {
    const double end = MicroSeconds() + maxUs;
    while (!pred()) {
        if (MicroSeconds() > end) return false;
        WaitForEvents(end);
    }
    return true;
}
}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QString port;
    double keepAliveSeconds = 20;
    int reads = 100;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == "--port" && i + 1 < args.size())
            port = args[++i];
        else if (args[i] == "--seconds" && i + 1 < args.size())
            keepAliveSeconds = args[++i].toDouble();
        else if (args[i] == "--reads" && i + 1 < args.size())
            reads = args[++i].toInt();
        else {
            std::printf("usage: bench-link [--port PATH] [--seconds N] [--reads N]\n");
            return 2;
        }
    }
    QTemporaryDir dir;
    QDir(dir.path()).mkpath("BIN");

    auto ecu = std::make_shared<sim::SimEcu>();
    sim::SimUsbProvider simUsb(ecu);
    std::unique_ptr<ChainedPortProvider> provider;
    if (port.isEmpty()) {
        provider = std::make_unique<ChainedPortProvider>();
        provider->AddUsb(&simUsb);
    } else {
        SetSerialOverride(port, 1);
        provider = MakeMachinePortProvider();
    }
    // The session as every front end starts it; its link timer sleeps until
    // the link has work.
    EcuSession session(dir.path(), provider.get());
    ClsComm& comm = session.Comm();
    comm.SetFlagRicercaCom(SEARCH_OFF);
    if (port.isEmpty()) {
        comm.SetUsbCom(1);
    } else {
        comm.SetUsbCom(0);
        comm.SetComPort(1);
    }
    Timer& timer1 = session.LinkTimer();
    session.StartLink();
    if (!RunUntil(
            [&] {
                return comm.ComState() == ComState::Idle && !comm.LastKeepAliveAnswer().isEmpty();
            },
            10e6)) {
        std::printf("no answer from the ECU (ComState %d)\n", ComStateNumber(comm.ComState()));
        return 1;
    }
    std::printf("link: %s\n",
                port.isEmpty() ? "in-process simulated ECU (USB device 0)" : qPrintable(port));

    // 1. Keep-alives only, the process sitting in its event loop as the tool
    // does between user actions.
    const double cpu0 = CpuSeconds();
    const double wall0 = MicroSeconds();
    const uint64_t ticks0 = timer1.Ticks();
    {
        QEventLoop loop;
        QTimer::singleShot(static_cast<int>(keepAliveSeconds * 1000), &loop, &QEventLoop::quit);
        loop.exec();
    }
    const double cpu = CpuSeconds() - cpu0;
    const double wall = (MicroSeconds() - wall0) / 1e6;
    std::printf(
        "keep-alive only: %.1f s wall, %.3f s processor = %.2f %% of one core (target < 3 %%), "
        "link timer ran %llu ticks (every millisecond: %.0f)\n",
        wall, cpu, 100.0 * cpu / wall, static_cast<unsigned long long>(timer1.Ticks() - ticks0),
        wall * 1000);

    // 2. Block-1 reads back to back.
    const QByteArray req = BuildRequest(CMD_READ_MEM1);
    const int answerBytes = kBlock1DataBytes + 6;
    // Floor as the plain sum: every byte on the line, the pause after each
    // request byte, the idle time.
    const double floorUs = kLineByteUs * (req.size() + answerBytes) +
                           comm.AttesaByteTx_usec() * req.size() + comm.Idle_usec();
    // The answer travels while the link still waits out its idle time, so the
    // tighter floor is the pauses plus the idle time, plus whatever of the
    // answer's line time does not fit inside the idle time.
    const double overlappedUs = comm.AttesaByteTx_usec() * req.size() + comm.Idle_usec() +
                                std::max(0.0, kLineByteUs * answerBytes - comm.Idle_usec());
    int ok = 0;
    const double t0 = MicroSeconds();
    for (int i = 0; i < reads; ++i) ok += comm.SendAndWait(req) ? 1 : 0;
    const double elapsed = MicroSeconds() - t0;
    const double perRead = elapsed / reads;
    std::printf("%d block-1 reads: %d answered, %.1f ms in all, %.3f ms each\n", reads, ok,
                elapsed / 1000, perRead / 1000);
    std::printf(
        "floor per exchange: %.3f ms (%d+%d bytes x %.1f us + %d x %.0f us pause + %.0f us idle)\n",
        floorUs / 1000, int(req.size()), answerBytes, kLineByteUs, int(req.size()),
        comm.AttesaByteTx_usec(), comm.Idle_usec());
    std::printf("against the floor: %+.2f %% (target within 5 %%)\n",
                100.0 * (perRead - floorUs) / floorUs);
    std::printf("floor with the answer overlapping the idle time: %.3f ms; against it: %+.2f %%\n",
                overlappedUs / 1000, 100.0 * (perRead - overlappedUs) / overlappedUs);
    session.StopLink();
    return ok == reads ? 0 : 1;
}
