// The calibration parameters of "[PARAMETRI DI TARATURA]", read once when a
// calibration starts, so that a run measures and limits with one set of
// numbers from its "Yes" to its end.
#include <limits>

#include "data/core/ScaleConfig.h"
#include "ecu/Calibration.h"

namespace gascal {

CalSettings CalSettings::From(const ScaleConfig& scale) {
    const auto P = [&](int n) { return scale.CalParam(n); };
    const auto N = [&](int n) { return static_cast<int>(scale.CalParam(n)); };
    CalSettings s;
    s.warmGasTemp = P(1);
    s.idleSettleTicks = N(2);
    s.idleRefStart = N(3);
    s.raisedHoldTicks = N(4);
    s.raisedRefStart = N(5);
    s.taraMaxSamples = N(6);
    s.taraMaxSettle = N(7);
    s.taraMaxStableEnd = P(8);
    s.taraMaxCyclesEnd = P(9);
    s.raisedRpm = P(10);
    s.raisedRpmTolerance = P(11);
    s.taraMaxBand = P(12);
    s.taraMaxGain = P(13);
    s.taraMaxLargest = P(14);
    s.idleRpmTolerance = P(15);
    s.idleWaitTicks = N(16);
    s.taraMinSamples = N(17);
    s.taraMinSettle = N(18);
    s.taraMinStableEnd = P(19);
    s.taraMinBand = P(20);
    s.taraMinGain = P(21);
    s.taraMinCyclesEnd = P(22);
    s.taraMinLargest = P(23);
    // Without a largest OFFSET nothing limits it from above.
    s.offsetMax = scale.CalParams[24].known ? scale.CalParams[24].value
                                            : std::numeric_limits<double>::infinity();
    s.alfaMax = P(31);
    s.alfaMin = P(32);
    s.offsetMin = P(33);
    return s;
}

void CalSettings::SetInjectorType(const ScaleConfig& scale, int injTypeCode) {
    const InjectorTypeEntry* type = scale.InjectorAt(scale.InjectorIndexByCode(injTypeCode));
    t1.reset();
    t2.reset();
    modelPoints.clear();
    if (!type) return;
    t1 = type->CalValue1;
    t2 = type->CalValue2;
    modelPoints = type->ModelPoints;
}

FinalLimitParams CalSettings::Limits() const {
    FinalLimitParams p;
    p.offsetMin = offsetMin;
    p.offsetMax = offsetMax;
    p.alfaMin = alfaMin;
    p.alfaMax = alfaMax;
    p.t1 = t1;
    p.t2 = t2;
    return p;
}

}  // namespace gascal
