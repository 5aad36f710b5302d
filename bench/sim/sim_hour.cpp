// How much real time a simulated hour costs: the engine alone, and the engine
// with the tool's usual traffic (a live-values read every 70 ms, block 2 every
// second, a keep-alive every 4 s), each request written byte by byte with the
// tool's 500 us pause, in virtual time. Target: under 5 s for the hour.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <cstdio>
#include <memory>

#include "common/EventService.h"
#include "sim/core/SimEcu.h"
#include "sim/core/SimPort.h"

using namespace gascal;
using namespace gascal::sim;

namespace {

SimOptions Car() {
    SimOptions o;
    o.key = true;
    o.engineRunning = true;
    o.warm = true;
    return o;
}

double EngineOnlyHour() {
    VirtualEventService ev;
    ScopedEvents scope(ev);
    SimEcu ecu(Car());
    QElapsedTimer t;
    t.start();
    for (int minute = 0; minute < 60; ++minute) {
        ecu.SetTargetRpm(minute % 3 == 0 ? 2500 : 0);
        ecu.SetLoad((minute % 5) / 5.0);
        ev.RunFor(60e6);
        ecu.AdvanceTo(ev.MicroSeconds());
    }
    return t.nsecsElapsed() / 1e9;
}

struct TrafficResult {
    double seconds = 0;
    uint64_t exchanges = 0;
    uint64_t answered = 0;
};

TrafficResult TrafficHour() {
    VirtualEventService ev;
    ScopedEvents scope(ev);
    auto ecu = std::make_shared<SimEcu>(Car());
    SimUsbProvider provider(ecu);
    uint32_t status = 0;
    auto port = provider.OpenUsb(0, status);
    port->Configure(LineSettings{});
    TrafficResult r;
    QElapsedTimer t;
    t.start();
    const double hourUs = 3600e6;
    double nextMem2 = 0, nextEco = 0;
    uint8_t buf[256];
    while (ev.MicroSeconds() < hourUs) {
        const double now = ev.MicroSeconds();
        std::vector<uint8_t> req;
        if (now >= nextEco) {
            req = BuildRequest(CMD_GET_ECO, {'E', 'C', 'O'});
            nextEco = now + 4e6;
        } else if (now >= nextMem2) {
            req = BuildRequest(CMD_READ_MEM2, {});
            nextMem2 = now + 1e6;
        } else {
            req = BuildRequest(CMD_READ_MEM1, {});
        }
        const int minute = static_cast<int>(now / 60e6);
        ecu->SetTargetRpm(minute % 3 == 0 ? 2500 : 0);
        for (uint8_t b : req) {
            uint32_t w = 0;
            port->Write(&b, 1, w);
            ev.RunFor(500);
        }
        ++r.exchanges;
        // The tool's idle time, then reads until the answer is whole.
        ev.RunFor(100000);
        size_t got = 0;
        for (int i = 0; i < 50 && got < 6; ++i) {
            PortQueue q;
            port->QueueStatus(q);
            uint32_t n = 0;
            if (q.inQue) port->Read(buf, sizeof buf, n);
            got += n;
            if (got == 0) ev.RunFor(1000);
        }
        if (got > 0) ++r.answered;
        const double next = now + 70000;
        if (ev.MicroSeconds() < next) ev.RunFor(next - ev.MicroSeconds());
    }
    r.seconds = t.nsecsElapsed() / 1e9;
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const double engine = EngineOnlyHour();
    std::printf("engine model alone, one simulated hour: %.3f s real time\n", engine);
    const TrafficResult traffic = TrafficHour();
    std::printf(
        "engine and protocol, one simulated hour: %.3f s real time "
        "(%llu exchanges, %llu answered)\n",
        traffic.seconds, static_cast<unsigned long long>(traffic.exchanges),
        static_cast<unsigned long long>(traffic.answered));
    std::printf("target: under 5 s -> %s\n", traffic.seconds < 5.0 ? "met" : "NOT met");
    return 0;
}
