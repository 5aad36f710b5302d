// Failure modes of the simulated line and ECU: named settings, each a
// probability per request, with counters of what happened. The random draws
// come from a seeded generator of our own, so a given seed and the same
// traffic always give the same failures, on every platform.
#pragma once

#include <QString>
#include <cstdint>
#include <map>
#include <string>

namespace gascal::sim {

// Small deterministic generator (SplitMix64).
class SimRandom {
  public:
    explicit SimRandom(uint64_t seed = 1) : state_(seed) {}
    void Seed(uint64_t seed) { state_ = seed; }
    uint64_t Next();
    double Uniform();            // [0, 1)
    uint32_t Below(uint32_t n);  // 0 .. n-1 (0 when n is 0)
    bool Chance(double p) { return p > 0 && Uniform() < p; }

  private:
    uint64_t state_;
};

// Probabilities (0..1) per request of each failure, and their parameters.
struct FailureSettings {
    double corrupt = 0;    // one answer byte changed
    double lose = 0;       // the answer never leaves the ECU
    double status254 = 0;  // answered with status 254 and no data, not executed
    double status255 = 0;  // answered with status 255 and no data, not executed
    double split = 0;      // the answer arrives in two parts with a pause between them
    double late = 0;       // the answer starts late
    double collision = 0;  // noise sent back while the request is still coming in
    double vanish = 0;     // the port disappears (USB cable pulled) and comes back
    double reset = 0;      // the ECU resets instead of answering
    double deaf = 0;       // the request is lost on its way in: the ECU never sees it
    // One command the ECU refuses every time (status 254, not executed);
    // -1 for none. Set by tests, not by the parser.
    int refuseCommand = -1;
    double lateMs = 300;
    double splitGapMs = 30;
    double vanishMs = 3000;

    bool Any() const;
};

// Parses "corrupt=0.05,lose=0.02,late=0.1,lateMs=500". Names are those of the
// fields above; probabilities must lie in 0..1 and times be 0 or more. On a bad
// item returns false with a message and leaves `out` unchanged.
bool ParseFailureSettings(const QString& text, FailureSettings& out, QString* error);
// The names accepted by the parser, for help texts.
QString FailureSettingNames();

// What the simulated ECU has seen and done.
struct SimCounters {
    uint64_t bytesReceived = 0;
    uint64_t bytesIgnored = 0;     // bytes that were no part of a request
    uint64_t requests = 0;         // complete requests with a good checksum
    uint64_t checksumErrors = 0;   // complete requests with a wrong checksum (status 255)
    uint64_t rejected = 0;         // answered with status 254 on its own account
    uint64_t answers = 0;          // answers put on the line
    uint64_t abandonedFrames = 0;  // partial requests dropped after a pause
    uint64_t injectedCorrupt = 0;
    uint64_t injectedLose = 0;
    uint64_t injected254 = 0;
    uint64_t injected255 = 0;
    uint64_t injectedSplit = 0;
    uint64_t injectedLate = 0;
    uint64_t injectedCollision = 0;
    uint64_t injectedVanish = 0;
    uint64_t injectedReset = 0;
    uint64_t injectedDeaf = 0;
    uint64_t resets = 0;  // every reset, injected or asked for
    uint64_t flashSaves = 0;
    std::map<uint8_t, uint64_t> perCommand;  // good requests by command code
};

}  // namespace gascal::sim
