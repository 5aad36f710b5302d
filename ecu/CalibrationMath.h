// The arithmetic of the automatic calibration, without time or requests:
// the two corrections of OFFSET (raised speed and idle), the shape text of
// an injector type and how it bends the line model, point 1's place after
// the calibration, the final limits of the model and its table, and the
// two-point line. The state machine (Calibration.h) calls these; tests call
// them directly.
#pragma once

#include <QString>
#include <array>
#include <optional>

#include "ecu/LineModel.h"

namespace gascal {

inline constexpr double kOffsetStepMs = kModelYStepMs;  // 0.104 ms
// Point 1 is placed at this many times the idle petrol time after a calibration.
inline constexpr double kPoint1IdleFactor = 1.25;

// Rounds a correction to a whole number of OFFSET steps, then to 0.001 ms.
double RoundToOffsetSteps(double c);

// Correction A, of the raised-speed ("TaraMax") cycles: 0 when the demand on
// gas M lies within ±t of the reference R and m within ±t of r; otherwise
// |M − R| × gain, at most `largest`, in whole OFFSET steps, with the sign of
// M − R (a petrol demand on gas above the one on petrol asks for more gas).
double CorrectionA(double M, double R, double m, double r, double t, double gain, double largest);
// Correction B, of the idle ("TaraMin") cycles: 0 within ±t of R, else as A.
double CorrectionB(double M, double R, double t, double gain, double largest);

// --- Shape text ---------------------------------------------------------------------
// The rules of an injector type's shape text ("P2|+0|+0,5;R0|1|4").
struct ShapeRules {
    struct PointRule {
        QChar xOp, yOp;  // '+', '-', '*', '#' ('R' for y: leave the point to the line rules)
        double x = 0, y = 0;
    };
    std::array<PointRule, kModelPoints> point{};  // P0..P6 (P6 is read, never applied)
    struct LineRule {
        QString a, b;  // point numbers as written; a rule applies only with both given
    };
    std::array<LineRule, 6> line{};  // R0..R5 (R5 is read, never applied)
};
// Reads a shape text: fields separated by ";", each of three parts separated
// by "|". An empty field or one that is not three parts ends the reading;
// a field of another letter, or with a number that is no number or out of
// range, is skipped. A later rule for the same point or line replaces the
// earlier one.
ShapeRules ParseShapeText(const QString& text);
// Bends the model by the rules: X rules of points 0 to 5, Y rules, the
// invariants, then line rules 0 to 4 (each puts the points between its two
// points on the straight line through them, then adds their Y rule again),
// and the invariants once more.
void ApplyShapeRules(LineModel& m, const ShapeRules& rules);

// Point 1 at 1.25 × the idle petrol time, rounded down to a table step, as
// its nominal position (no shift).
void PlacePoint1(LineModel& m, double idleRefMs);

// --- Final limits -------------------------------------------------------------------
struct FinalLimitParams {
    double offsetMin = 0;   // parameter 33 (0: no smallest OFFSET)
    double offsetMax = 0;   // parameter 24
    double alfaMin = 0.75;  // parameter 32
    double alfaMax = 1.25;  // parameter 31
    // T1 and T2 of the injector type: the largest and smallest correction
    // table entry; none without an injector type.
    std::optional<double> t1, t2;
};
enum class LimitApplied : uint8_t { None = 0, OffsetMin, OffsetMax, AlfaMin, AlfaMax };
struct FinalLimitResult {
    LimitApplied line = LimitApplied::None;  // at most one of OFFSET and ALFA
    int entriesRaised = 0, entriesLowered = 0;
    CorTableArray table{};  // the model's table with the entries brought within limits
    bool Any() const {
        return line != LimitApplied::None || entriesRaised > 0 || entriesLowered > 0;
    }
};
// Brings OFFSET or ALFA (at most one, in that order) within its limits, then
// every table entry past the idle petrol time within the band the slope and
// offset limits and T1, T2 give. The model is changed; the table is returned.
FinalLimitResult ApplyFinalLimits(LineModel& m, double idleRefMs, const FinalLimitParams& p);

// --- Two-point line -------------------------------------------------------------------
struct TwoPointLine {
    bool possible = false;  // the two petrol times lie far enough apart
    bool alfaLimited = false;
    double alfa = 1, offset = 0;
};
inline constexpr double kTwoPointMinSpanMs = 0.5;
// The line through the two balances: OFFSET `offsetRaised` balanced petrol
// time `raisedMs` and `offsetIdle` balanced `idleMs`, both with the model's
// slope 1. ALFA within its limits; OFFSET keeps idle balanced, within its own.
TwoPointLine TwoPointFromBalances(double raisedMs, double offsetRaised, double idleMs,
                                  double offsetIdle, const FinalLimitParams& p);

}  // namespace gascal
