// The fault soak: a whole tool session (start-up, main controller, polling
// cycle) against the simulated ECU in virtual time, on a line that corrupts
// and loses answers, answers 254 and 255, collides, loses its USB cable every
// few minutes and an ECU that resets now and then, while a fitter changes
// switchover settings, moves the correction line and loads parameter files.
//
// At the end, with the faults switched off and the link settled, it checks
// that every change asked for is in the ECU, that no write carried a value
// nobody asked for, that the link is idle again (ComState 1) and that memory
// did not grow.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <cstdio>

namespace gascal::soak {

struct SoakOptions {
    uint64_t exchanges = 100000;  // requests the ECU is to receive
    uint64_t seed = 1;
    bool progress = false;  // a line on stderr every tenth of the run
};

struct SoakFigures {
    // Traffic.
    uint64_t exchanges = 0;
    double virtualSeconds = 0;
    double realSeconds = 0;
    // Faults injected, by kind.
    uint64_t corrupt = 0, lose = 0, status254 = 0, status255 = 0, collision = 0;
    uint64_t vanish = 0, reset = 0;
    // What the fitter did.
    uint64_t settingEdits = 0, tableMoves = 0, loadsAsked = 0, loadsDone = 0,
             loadAttemptsFailed = 0;
    uint64_t bytesAsked = 0;
    // Verdicts.
    uint64_t editsLost = 0;     // bytes not as asked at the end
    uint64_t wrongWrites = 0;   // bytes written with a value never asked for
    uint64_t lostToResets = 0;  // written but not saved when the ECU reset (the ECU's loss)
    int comState = -1;
    bool online = false;
    uint64_t linkResets = 0;  // first refreshes after the first
    uint64_t boxesShown = 0;
    // Memory, bytes.
    uint64_t heapWarm = 0, heapEnd = 0;
    uint64_t rssWarm = 0, rssEnd = 0, peakRss = 0;
    const char* heapMeter = "";
    // Every check that failed, in words.
    QStringList failures;
};

SoakFigures RunSoak(const SoakOptions& options);
void PrintFigures(std::FILE* out, const SoakFigures& f);

}  // namespace gascal::soak
