// The micro-injection threshold (BadBitStep of block 3) in milliseconds.
// The ECU holds a step number; the expert page's list and the injector
// page's slider both show step n as 0.6 + 0.1 × (n − 1) ms, steps 1 to 25
// (0.6 to 3.0 ms). A step outside that range has no time: the pages show
// the step number itself.
#pragma once

#include <cmath>

namespace gascal {

inline constexpr int kBadBitFirstStep = 1;
inline constexpr int kBadBitLastStep = 25;
inline constexpr double kBadBitFirstMs = 0.6;
inline constexpr double kBadBitStepMs = 0.1;

inline constexpr bool BadBitStepHasTime(int step) {
    return step >= kBadBitFirstStep && step <= kBadBitLastStep;
}

// The time of a step of 1 to 25, in ms.
inline constexpr double BadBitStepMs(int step) {
    return kBadBitFirstMs + (step - kBadBitFirstStep) * kBadBitStepMs;
}

// The step of a time of the list (0.6 to 3.0 ms).
inline int BadBitStepOfMs(double ms) {
    return static_cast<int>(std::nearbyint((ms - kBadBitFirstMs) / kBadBitStepMs)) +
           kBadBitFirstStep;
}

}  // namespace gascal
