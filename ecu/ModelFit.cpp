#include "ecu/ModelFit.h"

#include <algorithm>
#include <cmath>

#include "data/core/ScaleConfig.h"

namespace gascal {

namespace {

constexpr double kTolerance = 1e-7;
constexpr double kLargestAlfa = 2.0;  // the ALFA buttons stop here
constexpr int kLastTableTimeEntry = kCorEntryCopiesEnd;
// Steepest descent ends long before this; it only bounds a pathological case.
constexpr int kMaxDescentSteps = 5000;
// Line candidates around the least-squares OFFSET of each ALFA.
constexpr int kOffsetNeighbours = 2;

double Clean(double v) {
    return std::nearbyint(v * 1e9) / 1e9;
}

// How good a model is: the sum of squared distances first, the largest
// distance to break a tie.
struct Score {
    double sse = std::numeric_limits<double>::infinity();
    double largest = std::numeric_limits<double>::infinity();
    bool BetterThan(const Score& o) const {
        if (sse < o.sse - 1e-12) return true;
        return std::fabs(sse - o.sse) <= 1e-12 && largest < o.largest - 1e-12;
    }
};

Score Evaluate(const LineModel& m, const std::vector<FitTarget>& targets) {
    const CorTableArray t = m.Table();
    Score s{0, 0};
    for (const FitTarget& g : targets) {
        const double d = TableGasMs(t, g.petrolMs) - g.gasMs;
        s.sse += d * d;
        s.largest = std::max(s.largest, std::fabs(d));
    }
    return s;
}

struct Fitter {
    const std::vector<FitTarget>& targets;
    const FitLimits& limits;
    double lo = 0, hi = 0;  // the targets' range of petrol times

    double AlfaLow() const { return std::max(0.0, limits.alfaMin); }
    double AlfaHigh() const { return std::min(kLargestAlfa, limits.alfaMax); }
    double OffsetLow() const { return std::max(0.0, limits.offsetMin); }
    double OffsetHigh() const { return limits.offsetMax; }

    // An OFFSET the buttons reach from the current one: whole steps, a
    // step down from 0.104 ms or less gives 0, and the configuration's limits replace a value
    // beyond them.
    double ReachableOffset(double v) const {
        v = v < kTolerance ? 0 : Clean(v);
        if (v < OffsetLow() - kTolerance) v = OffsetLow();
        if (v > OffsetHigh() + kTolerance) v = OffsetHigh();
        return v;
    }

    bool Allowed(const LineModel& m) const {
        if (m.ALFA < AlfaLow() - kTolerance || m.ALFA > AlfaHigh() + kTolerance) return false;
        if (m.OFFSET < OffsetLow() - kTolerance || m.OFFSET > OffsetHigh() + kTolerance)
            return false;
        if (m.OFFSET >= kModelMaxMs) return false;
        if (m.LineTop() > kModelMaxMs + kTolerance) return false;
        return m.WithinInvariants();
    }

    bool InRange(double x) const { return x >= lo - kTolerance && x <= hi + kTolerance; }

    // The best straight line (no point bent) on the buttons' steps.
    LineModel BestLine(const LineModel& base, bool* alfaLimited, bool* offsetLimited) const {
        // Least squares of gas = a × petrol + b, without limits, tells
        // whether the targets ask for more than the limits allow.
        double sx = 0, sy = 0, sxx = 0, sxy = 0;
        const double n = static_cast<double>(targets.size());
        for (const FitTarget& t : targets) {
            sx += t.petrolMs;
            sy += t.gasMs;
            sxx += t.petrolMs * t.petrolMs;
            sxy += t.petrolMs * t.gasMs;
        }
        const double a = (n * sxy - sx * sy) / (n * sxx - sx * sx);
        *alfaLimited = a < AlfaLow() - kAlfaStep / 2 || a > AlfaHigh() + kAlfaStep / 2;

        std::vector<double> alfas;
        const double first = std::ceil((AlfaLow() - base.ALFA) / kAlfaStep - kTolerance);
        const double last = std::floor((AlfaHigh() - base.ALFA) / kAlfaStep + kTolerance);
        for (double k = first; k <= last; ++k) alfas.push_back(Clean(base.ALFA + k * kAlfaStep));
        alfas.push_back(AlfaLow());
        alfas.push_back(AlfaHigh());

        LineModel best = base;
        Score bestScore;
        double bestWanted = base.OFFSET;
        for (double alfa : alfas) {
            // The OFFSET that least squares wants with this slope.
            double b = 0;
            for (const FitTarget& t : targets) b += t.gasMs - alfa * t.petrolMs;
            b /= n;
            const double k = std::nearbyint((b - base.OFFSET) / kModelYStepMs);
            for (int d = -kOffsetNeighbours; d <= kOffsetNeighbours; ++d) {
                LineModel m = base;
                m.ALFA = alfa;
                m.OFFSET = ReachableOffset(base.OFFSET + (k + d) * kModelYStepMs);
                m.Recompute();
                if (!Allowed(m)) continue;
                const Score s = Evaluate(m, targets);
                if (s.BetterThan(bestScore)) {
                    bestScore = s;
                    best = m;
                    bestWanted = b;
                }
            }
        }
        *offsetLimited = bestWanted < OffsetLow() - kModelYStepMs / 2 ||
                         bestWanted > OffsetHigh() + kModelYStepMs / 2;
        return best;
    }

    // Steepest descent over single button steps: each round takes the step
    // that improves the score most, until no step improves it.
    LineModel Descend(LineModel m) const {
        Score score = Evaluate(m, targets);
        for (int round = 0; round < kMaxDescentSteps; ++round) {
            LineModel best = m;
            Score bestScore = score;
            const auto tryModel = [&](LineModel c) {
                c.Recompute();
                if (!Allowed(c)) return;
                const Score s = Evaluate(c, targets);
                if (s.BetterThan(bestScore)) {
                    bestScore = s;
                    best = c;
                }
            };
            for (int sign : {-1, 1}) {
                LineModel c = m;
                c.ALFA = Clean(m.ALFA + sign * kAlfaStep);
                tryModel(c);
                c = m;
                c.OFFSET = ReachableOffset(m.OFFSET + sign * kModelYStepMs);
                tryModel(c);
            }
            for (size_t k = 1; k < kModelLinePoints; ++k) {
                if (!InRange(m.ModX[k])) continue;
                for (int sign : {-1, 1}) {
                    LineModel c = m;
                    c.ModYShift[k] = Clean(m.ModYShift[k] + sign * kModelYStepMs);
                    tryModel(c);
                    if (!ButtonMovesPoint(EditButton::Left, static_cast<int>(k))) continue;
                    c = m;
                    c.ModXShift[k] = Clean(m.ModXShift[k] + sign * kTableStepMs);
                    // A point stays where targets are.
                    if (InRange(c.ModXDefault[k] + c.ModXShift[k])) tryModel(c);
                }
            }
            if (!bestScore.BetterThan(score)) break;
            m = best;
            score = bestScore;
        }
        return m;
    }
};

}  // namespace

std::vector<FitTarget> FitTargets(const std::vector<TargetMarker>& markers) {
    std::vector<FitTarget> out;
    out.reserve(markers.size());
    for (const TargetMarker& m : markers) out.push_back({m.petrolMs, m.gasMs});
    return out;
}

FitLimits FitLimitsOf(const ScaleConfig& scale) {
    FitLimits l;
    l.alfaMax = scale.CalParam(31);
    l.alfaMin = scale.CalParam(32);
    l.offsetMin = scale.CalParam(33);
    if (scale.CalParams[24].known) l.offsetMax = scale.CalParams[24].value;
    return l;
}

double TableGasMs(const CorTableArray& table, double petrolMs) {
    const long d = std::clamp(std::lround(petrolMs / kTableStepMs), 0L,
                              static_cast<long>(kLastTableTimeEntry));
    return petrolMs + table[static_cast<size_t>(d)];
}

FitDistance DistanceToTargets(const LineModel& m, const std::vector<FitTarget>& targets) {
    FitDistance d;
    if (targets.empty()) return d;
    const CorTableArray t = m.Table();
    for (const FitTarget& g : targets) {
        const double e = std::fabs(TableGasMs(t, g.petrolMs) - g.gasMs);
        d.largest = std::max(d.largest, e);
        d.mean += e;
    }
    d.mean /= static_cast<double>(targets.size());
    return d;
}

FitResult FitModel(const LineModel& current, const std::vector<FitTarget>& targets,
                   const FitLimits& limits) {
    FitResult r;
    r.model = current;
    r.model.Recompute();
    r.before = DistanceToTargets(r.model, targets);
    if (targets.empty()) {
        r.after = r.before;
        return r;
    }
    Fitter f{targets, limits};
    f.lo = f.hi = targets.front().petrolMs;
    for (const FitTarget& t : targets) {
        f.lo = std::min(f.lo, t.petrolMs);
        f.hi = std::max(f.hi, t.petrolMs);
    }

    if (f.hi - f.lo < kFitMinSpanMs) {
        // One petrol time says how high the model must be there, nothing
        // about its slope or bend: OFFSET alone moves, the shape stays.
        r.outcome = FitOutcome::OffsetOnly;
        double mean = 0;
        const CorTableArray t = r.model.Table();
        for (const FitTarget& g : targets) mean += g.gasMs - TableGasMs(t, g.petrolMs);
        mean /= static_cast<double>(targets.size());
        const double wanted = current.OFFSET + mean;
        r.offsetLimited = wanted < f.OffsetLow() - kModelYStepMs / 2 ||
                          wanted > f.OffsetHigh() + kModelYStepMs / 2;
        const double k = std::nearbyint(mean / kModelYStepMs);
        Score best = Evaluate(r.model, targets);
        LineModel chosen = r.model;
        for (int d = -1; d <= 1; ++d) {
            LineModel m = r.model;
            m.OFFSET = f.ReachableOffset(current.OFFSET + (k + d) * kModelYStepMs);
            m.Recompute();
            if (!f.Allowed(m)) continue;
            const Score s = Evaluate(m, targets);
            if (s.BetterThan(best)) {
                best = s;
                chosen = m;
            }
        }
        r.model = chosen;
    } else {
        r.outcome = FitOutcome::Fitted;
        // Every point starts on the line at the petrol time it has now; the
        // points outside the targets' range stay there.
        LineModel base = current;
        base.ModYShift.fill(0);
        base.Recompute();
        r.model = f.Descend(f.BestLine(base, &r.alfaLimited, &r.offsetLimited));
        for (size_t k = 0; k < kModelLinePoints; ++k)
            if (r.model.ModYShift[k] != 0 || r.model.ModXShift[k] != current.ModXShift[k])
                ++r.bentPoints;
    }
    r.after = DistanceToTargets(r.model, targets);
    const CorTableArray t = r.model.Table();
    for (const FitTarget& g : targets) r.modelGasMs.push_back(TableGasMs(t, g.petrolMs));
    return r;
}

}  // namespace gascal
