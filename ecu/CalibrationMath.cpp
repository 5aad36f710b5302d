#include "ecu/CalibrationMath.h"

#include <QStringList>
#include <algorithm>
#include <cmath>

#include "common/Helpers.h"

namespace gascal {

namespace {
constexpr double kTolerance = 1e-7;
double Thousandths(double v) {
    return std::nearbyint(v * 1000) / 1000;
}
double Clean(double v) {
    return std::nearbyint(v * 1e9) / 1e9;
}

bool InBand(double v, double ref, double t) {
    return ref * (1 - t) <= v && v <= ref * (1 + t);
}

double Signed(double M, double R, double gain, double largest) {
    const double c = RoundToOffsetSteps(std::min(std::fabs(M - R) * gain, largest));
    if (c == 0) return 0;
    return M < R ? -c : c;
}

// A point or line number: whole digits within 0..last.
std::optional<int> Index(const QString& text, int last) {
    bool ok = false;
    const int n = text.trimmed().toInt(&ok);
    if (!ok || n < 0 || n > last) return std::nullopt;
    return n;
}

double ApplyOp(QChar op, double value, double v) {
    switch (op.toLatin1()) {
        case '+':
            return value + v;
        case '-':
            return value - v;
        case '*':
            return value * v;
        case '#':
            return v;
        default:
            return value;
    }
}

bool YRuleActive(const ShapeRules::PointRule& r) {
    return r.yOp != QLatin1Char('R') && r.y != 0;
}
}  // namespace

double RoundToOffsetSteps(double c) {
    return Thousandths(std::nearbyint(c / kOffsetStepMs) * kOffsetStepMs);
}

double CorrectionA(double M, double R, double m, double r, double t, double gain, double largest) {
    if (InBand(M, R, t) && InBand(m, r, t)) return 0;
    return Signed(M, R, gain, largest);
}

double CorrectionB(double M, double R, double t, double gain, double largest) {
    if (InBand(M, R, t)) return 0;
    return Signed(M, R, gain, largest);
}

// --- Shape text -----------------------------------------------------------------------

ShapeRules ParseShapeText(const QString& text) {
    ShapeRules rules;
    for (const QString& raw : text.split(QLatin1Char(';'))) {
        const QString field = raw.trimmed();
        if (field.isEmpty()) break;
        const QStringList parts = field.split(QLatin1Char('|'));
        if (parts.size() != 3) break;
        const QString head = parts[0].trimmed();
        const QString second = parts[1].trimmed();
        const QString third = parts[2].trimmed();
        if (head.startsWith(QLatin1Char('P'))) {
            const auto n = Index(head.mid(1), kModelPoints - 1);
            if (!n) continue;
            // An empty part is a rule without operator whose value reads as
            // 0, as the number reader reads an empty text: it does nothing,
            // and the other part of the field still counts.
            ShapeRules::PointRule& p = rules.point[static_cast<size_t>(*n)];
            p.xOp = second.isEmpty() ? QChar() : second[0];
            p.x = ParseNumber(second.mid(1));
            p.yOp = third.isEmpty() ? QChar() : third[0];
            p.y = ParseNumber(third.mid(1));
        } else if (head.startsWith(QLatin1Char('R'))) {
            const auto m = Index(head.mid(1), static_cast<int>(rules.line.size()) - 1);
            if (!m) continue;
            rules.line[static_cast<size_t>(*m)] = {second, third};
        }
    }
    return rules;
}

void ApplyShapeRules(LineModel& m, const ShapeRules& rules) {
    // X rules move the nominal point; the shift keeps the difference.
    for (size_t n = 0; n < kModelLinePoints; ++n) {
        const ShapeRules::PointRule& r = rules.point[n];
        if (r.x == 0) continue;
        const double x = ApplyOp(r.xOp, m.ModX[n], r.x);
        m.ModXShift[n] = Clean(x - m.ModXDefault[n]);
        m.ModX[n] = x;
    }
    m.Recompute();
    for (size_t n = 0; n < kModelLinePoints; ++n) {
        const ShapeRules::PointRule& r = rules.point[n];
        if (!YRuleActive(r)) continue;
        const double y = m.ModY[n];
        m.ModYShift[n] = Clean(m.ModYShift[n] + (ApplyOp(r.yOp, y, r.y) - y));
    }
    m.Recompute();
    m.EnforceInvariants();

    // Every line rule reads the points as the point rules left them.
    const auto X = m.ModX;
    const auto Y = m.ModY;
    for (size_t rule = 0; rule < 5; ++rule) {
        const auto a = Index(rules.line[rule].a, kModelPoints - 1);
        const auto b = Index(rules.line[rule].b, kModelPoints - 1);
        if (!a || !b) continue;
        const size_t ia = static_cast<size_t>(*a), ib = static_cast<size_t>(*b);
        const double dX = X[ib] - X[ia];
        if (std::fabs(dX) < kTolerance) continue;  // no line through one petrol time
        const double dY = Y[ib] - Y[ia];
        for (size_t k = ia + 1; k < ib && k < kModelLinePoints; ++k)
            m.ModYShift[k] = Clean(m.ModYShift[k] - (Y[k] - (Y[ia] + dY / dX * (X[k] - X[ia]))));
        for (size_t k = ia + 1; k < ib && k < kModelLinePoints; ++k) {
            const ShapeRules::PointRule& r = rules.point[k];
            if (!YRuleActive(r)) continue;
            m.ModYShift[k] = Clean(m.ModYShift[k] + (ApplyOp(r.yOp, Y[k], r.y) - Y[k]));
        }
    }
    m.EnforceInvariants();
}

void PlacePoint1(LineModel& m, double idleRefMs) {
    const double x =
        std::floor(kPoint1IdleFactor * idleRefMs / kTableStepMs + kTolerance) * kTableStepMs;
    m.ModXDefault[1] = Clean(x);
    m.ModXShift[1] = 0;
    m.Recompute();
}

// --- Final limits ---------------------------------------------------------------------

FinalLimitResult ApplyFinalLimits(LineModel& m, double idleRefMs, const FinalLimitParams& p) {
    FinalLimitResult r;
    const auto set = [&](double& field, double value, LimitApplied which) {
        if (field != value) r.line = which;
        field = value;
    };
    if (m.OFFSET <= p.offsetMin && p.offsetMin != 0)
        set(m.OFFSET, p.offsetMin, LimitApplied::OffsetMin);
    else if (m.OFFSET >= p.offsetMax)
        set(m.OFFSET, p.offsetMax, LimitApplied::OffsetMax);
    else if (m.ALFA <= p.alfaMin)
        set(m.ALFA, p.alfaMin, LimitApplied::AlfaMin);
    else if (m.ALFA >= p.alfaMax)
        set(m.ALFA, p.alfaMax, LimitApplied::AlfaMax);
    m.Recompute();
    r.table = m.Table();
    for (int w = 0; w <= kCorEntryCopiesEnd; ++w) {
        const double x = w * kTableStepMs;
        if (!(x > idleRefMs)) continue;
        double lower = x * (p.alfaMin - 1) + p.offsetMin;
        double upper = x * (p.alfaMax - 1) + p.offsetMax;
        if (p.t2) lower = std::max(lower, *p.t2 - x);
        if (p.t1) upper = std::min(upper, *p.t1);
        double& e = r.table[static_cast<size_t>(w)];
        if (e < Thousandths(lower) - kTolerance) {
            e = Thousandths(lower);
            ++r.entriesRaised;
        }
        if (e > Thousandths(upper) + kTolerance) {
            e = Thousandths(upper);
            ++r.entriesLowered;
        }
    }
    return r;
}

// --- Two-point line ---------------------------------------------------------------------

TwoPointLine TwoPointFromBalances(double raisedMs, double offsetRaised, double idleMs,
                                  double offsetIdle, const FinalLimitParams& p) {
    TwoPointLine l;
    const double span = raisedMs - idleMs;
    if (!(std::fabs(span) >= kTwoPointMinSpanMs)) return l;
    l.possible = true;
    // With slope 1 an OFFSET that balances a petrol time is the correction
    // the injectors need there: the line through both is the two-point line.
    const double alfa = 1 + (offsetRaised - offsetIdle) / span;
    l.alfa = Thousandths(std::clamp(alfa, p.alfaMin, p.alfaMax));
    l.alfaLimited = l.alfa != Thousandths(alfa);
    double offset = offsetIdle - (l.alfa - 1) * idleMs;
    offset = std::max(offset, std::max(0.0, p.offsetMin));
    offset = std::min(offset, p.offsetMax);
    l.offset = Thousandths(offset);
    return l;
}

}  // namespace gascal
