// The fit of the line model to the map's targets: the model that, within the
// steps and limits of the Modeling tab's buttons, brings the gas time the
// ECU drives as close as it can to every target marker.
//
// A target is a petrol time measured on petrol and the gas time that gives
// the car what that petrol time gave it (the markers that "Compute" places,
// InjectionMap.h). The fit moves:
//   - ALFA in steps of 0.01 and OFFSET in steps of 0.104 ms, from their
//     current values, within the configuration's largest and smallest ALFA
//     and OFFSET and the buttons' own limits (ALFA 0 to 2.00, OFFSET 0 or
//     more, the line at most 31 ms at 20.096 ms);
//   - the points inside the targets' range of petrol times up and down in
//     steps of 0.104 ms and left and right in steps of 0.128 ms, never out
//     of that range; the model's invariants hold after every step.
// Points outside the targets' range follow the line: nothing measured them,
// so they are not bent by extrapolation.
//
// "Closest" is least squares: the sum of the squared distances between the
// model's gas time and the targets is made as small as the steps allow; of
// two models with the same sum the one with the smaller largest distance is
// taken. The model's gas time at a petrol time is what the ECU drives there:
// the petrol time plus the table entry at that time (past 20.096 ms the last
// entry, as the markers are placed).
//
// With no target nothing is fitted; with all targets at one petrol time
// (less than 0.5 ms apart) only OFFSET is moved, since a slope or a bend is
// not determined by a single time. Plain value logic, no time or widgets.
#pragma once

#include <limits>
#include <vector>

#include "ecu/InjectionMap.h"
#include "ecu/LineModel.h"

namespace gascal {

class ScaleConfig;

// Targets closer together than this count as one petrol time.
inline constexpr double kFitMinSpanMs = 0.5;

struct FitTarget {
    double petrolMs = 0;  // the petrol time on petrol
    double gasMs = 0;     // the gas time that gives the car the same fuel
};
std::vector<FitTarget> FitTargets(const std::vector<TargetMarker>& markers);

// The configuration's limits of the line (calibration parameters 31, 32, 33
// and 24); without parameter 24 OFFSET has no largest value of its own.
struct FitLimits {
    double alfaMin = 0.75;
    double alfaMax = 1.25;
    double offsetMin = 0;
    double offsetMax = std::numeric_limits<double>::infinity();
};
FitLimits FitLimitsOf(const ScaleConfig& scale);

// The largest and the mean distance between the model's gas time and the
// targets (ms); both 0 without targets.
struct FitDistance {
    double largest = 0;
    double mean = 0;
};

// The gas time the ECU drives at a petrol time with this table: the petrol
// time plus the entry nearest to it (the last time entry beyond 20.096 ms).
double TableGasMs(const CorTableArray& table, double petrolMs);
FitDistance DistanceToTargets(const LineModel& m, const std::vector<FitTarget>& targets);

enum class FitOutcome : uint8_t {
    Nothing,     // no target: the model is as it was
    OffsetOnly,  // all targets at one petrol time: OFFSET moved, nothing else
    Fitted,      // line and bend fitted
};

struct FitResult {
    FitOutcome outcome = FitOutcome::Nothing;
    LineModel model;  // the fitted model (the current one when nothing was fitted)
    FitDistance before, after;
    std::vector<double> modelGasMs;  // the fitted model's gas time at each target
    bool alfaLimited = false;        // the targets asked for an ALFA beyond its limits
    bool offsetLimited = false;      // or an OFFSET beyond its limits
    int bentPoints = 0;              // points moved off the line
    bool Changed(const LineModel& current) const { return !(model == current); }
};

FitResult FitModel(const LineModel& current, const std::vector<FitTarget>& targets,
                   const FitLimits& limits);

}  // namespace gascal
