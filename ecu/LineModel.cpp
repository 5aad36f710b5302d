#include "ecu/LineModel.h"

#include <algorithm>
#include <cmath>

#include "common/Helpers.h"

namespace gascal {

namespace {

// Times of the model are sums of 0.128 and 0.104 ms steps; in binary they
// come out a few 1e-15 off the decimal value. Comparisons against the
// limits allow this much, so two points exactly 0.256 ms apart count as
// 0.256 apart and ALFA 1.99 reached in 99 steps counts as 1.99.
constexpr double kTolerance = 1e-7;

// Steps are kept on a clean decimal value (nine decimals), so the binary
// error does not pile up over thousands of repeated steps.
double Clean(double v) {
    return std::nearbyint(v * 1e9) / 1e9;
}

// Rounded to 0.001 (halves to even, as every rounding of the tool's tables).
double Thousandths(double v) {
    return std::nearbyint(v * 1000) / 1000;
}

QString Fixed(double v, int decimals) {
    QString s = QString::number(v, 'f', decimals);
    if (s.startsWith(QLatin1Char('-')) && s.mid(1).remove(QLatin1Char('0')) == QLatin1String("."))
        s.remove(0, 1);  // "-0.0" is 0
    s.replace(QLatin1Char('.'), DecimalSeparator());
    return s;
}

bool ValidPoint(int i) {
    return i >= 0 && i < kModelPoints;
}

}  // namespace

bool IsLineButton(EditButton b) {
    return b == EditButton::AlfaUp || b == EditButton::AlfaDown || b == EditButton::OffsetUp ||
           b == EditButton::OffsetDown;
}

bool ButtonMovesPoint(EditButton b, int point) {
    switch (b) {
        case EditButton::Up:
        case EditButton::Down:
            return point >= 1 && point <= 5;
        case EditButton::Left:
        case EditButton::Right:
            return point >= 1 && point <= 4;
        default:
            return false;
    }
}

// --- The model ---------------------------------------------------------------------

void LineModel::SetDefaults() {
    ALFA = 1;
    OFFSET = 0;
    ModXDefault = kModXDefault;
    ModXShift = {};
    ModYShift = {};
    ModX = ModXDefault;
    ModY = ModX;
}

void LineModel::PutPointsOnLine() {
    // As the full reset, but the line stays: the points go back to their
    // nominal positions whether they were moved here or read so from a table.
    ModXDefault = kModXDefault;
    ModXShift = {};
    ModYShift = {};
    ModX = ModXDefault;
    ModY = ModX;
}

void LineModel::RecomputePoint(int i) {
    if (i < 0 || i >= kModelLinePoints) return;
    const size_t k = static_cast<size_t>(i);
    ModX[k] = ModXDefault[k] + ModXShift[k];
    ModY[k] = ALFA * ModX[k] + ModYShift[k] + OFFSET;
}

void LineModel::Recompute() {
    for (int i = 0; i < kModelLinePoints; ++i) RecomputePoint(i);
}

bool LineModel::EnforceInvariants() {
    // A point is recomputed as soon as its shift changes, so each check of a
    // pass sees where its neighbour is now: a point moved onto its
    // neighbour is pushed back, the neighbour stays where it is.
    bool any = false;
    for (int pass = 0; pass < kInvariantPasses; ++pass) {
        Recompute();
        bool changed = false;
        for (size_t k = 1; k <= 4; ++k) {
            if (ModX[k] - ModX[k - 1] <= kModelMinGapMs + kTolerance) {
                ModXShift[k] = Clean(ModXShift[k] + kTableStepMs);
                RecomputePoint(static_cast<int>(k));
                changed = true;
            }
        }
        for (size_t k = 1; k <= 4; ++k) {
            if (ModX[k + 1] - ModX[k] <= kModelMinGapMs + kTolerance) {
                ModXShift[k] = Clean(ModXShift[k] - kTableStepMs);
                RecomputePoint(static_cast<int>(k));
                changed = true;
            }
        }
        for (size_t j = 0; j < kModelLinePoints; ++j) {
            if (ModY[j] < -kTolerance) {
                ModYShift[j] = Clean(ModYShift[j] + kModelYStepMs);
                RecomputePoint(static_cast<int>(j));
                changed = true;
            }
            if (ModY[j] > kModelMaxMs + kTolerance) {
                ModYShift[j] = Clean(ModYShift[j] - kModelYStepMs);
                RecomputePoint(static_cast<int>(j));
                changed = true;
            }
        }
        if (!changed) break;
        any = true;
    }
    Recompute();
    return any;
}

bool LineModel::WithinInvariants() const {
    for (size_t k = 1; k < kModelLinePoints; ++k)
        if (ModX[k] - ModX[k - 1] <= kModelMinGapMs + kTolerance) return false;
    for (size_t j = 0; j < kModelLinePoints; ++j)
        if (ModY[j] < -kTolerance || ModY[j] > kModelMaxMs + kTolerance) return false;
    return true;
}

bool LineModel::Step(EditButton b, int point) {
    const LineModel before = *this;
    const size_t p = static_cast<size_t>(std::clamp(point, 0, kModelPoints - 1));
    switch (b) {
        case EditButton::Up:
        case EditButton::Down:
        case EditButton::Left:
        case EditButton::Right:
            if (!ButtonMovesPoint(b, point)) return false;
            if (b == EditButton::Up) ModYShift[p] = Clean(ModYShift[p] + kModelYStepMs);
            if (b == EditButton::Down) ModYShift[p] = Clean(ModYShift[p] - kModelYStepMs);
            if (b == EditButton::Left) ModXShift[p] = Clean(ModXShift[p] + kTableStepMs);
            if (b == EditButton::Right) ModXShift[p] = Clean(ModXShift[p] - kTableStepMs);
            break;
        case EditButton::AlfaUp:
            if (ALFA > kAlfaUpLimit + kTolerance) return false;
            ALFA = Clean(ALFA + kAlfaStep);
            break;
        case EditButton::AlfaDown:
            if (ALFA < kAlfaDownLimit - kTolerance) return false;
            ALFA = std::max(0.0, Clean(ALFA - kAlfaStep));
            break;
        case EditButton::OffsetUp:
            if (OFFSET >= kModelMaxMs - kTolerance) return false;
            OFFSET = Clean(OFFSET + kModelYStepMs);
            break;
        case EditButton::OffsetDown:
            OFFSET = OFFSET <= kModelYStepMs + kTolerance ? 0 : Clean(OFFSET - kModelYStepMs);
            break;
    }
    // The line may not end above 31 ms at point 5. A step that lowers the
    // line is always kept, so a line read above the limit can be brought
    // back under it.
    if (IsLineButton(b) && LineTop() > kModelMaxMs + kTolerance && LineTop() > before.LineTop()) {
        ALFA = before.ALFA;
        OFFSET = before.OFFSET;
    }
    Recompute();
    return !(*this == before);
}

// --- The correction table ------------------------------------------------------------------

void LineModel::ToTable(CorTableArray& t) const {
    // The correction on the segment of points k-1 and k at petrol time x:
    // the line's gas time minus the petrol time, interpolated between the
    // two points' distances from the diagonal.
    const auto onSegment = [this](size_t k, double x) {
        const double dX = ModX[k] - ModX[k - 1];
        const double d0 = ModY[k - 1] - ModX[k - 1] - OFFSET;
        const double d1 = ModY[k] - ModX[k] - OFFSET;
        const double slope = dX > kTolerance ? (d1 - d0) / dX : 0;
        return d0 + slope * (x - ModX[k - 1]) + OFFSET;
    };
    for (size_t k = 1; k < kModelLinePoints; ++k) {
        for (int w = 0; w < kCorEntryLineEnd; ++w) {
            const double x = w * kTableStepMs;
            if (x > ModX[k] + kTolerance) break;
            if (x >= ModX[k - 1] - kTolerance && x < ModX[k] - kTolerance)
                t[static_cast<size_t>(w)] = Thousandths(onSegment(k, x));
        }
    }
    t[kCorEntryLineEnd] = Thousandths(onSegment(kModelLinePoints, kLineEndMs));
    for (int w = kCorEntryLineEnd + 1; w <= kCorEntryCopiesEnd; ++w)
        t[static_cast<size_t>(w)] = t[kCorEntryLineEnd];
    t[kCorEntryOffset] = Thousandths(OFFSET);
    t[kCorEntryAlfa] = Thousandths(ALFA);
    t[kCorEntryFirstBreak] = Thousandths(ModX[0]);
    for (size_t i = 1; i < kModelLinePoints; ++i)
        t[kCorEntryFirstBreak + i] = Thousandths(ModX[i] / kTableStepMs);
}

CorTableArray LineModel::Table() const {
    CorTableArray t{};
    ToTable(t);
    return t;
}

void LineModel::FromTable(CorTableArray& t) {
    // Point 0 sits at 0 and point 5 at entry 157; the inner breakpoints lie
    // between them and never decrease (each is raised to the one before it,
    // lowest index first, so one pass leaves them in order).
    if (t[kCorEntryFirstBreak] != 0) t[kCorEntryFirstBreak] = 0;
    if (t[kCorEntryLastBreak] != kLastPointIndex) t[kCorEntryLastBreak] = kLastPointIndex;
    for (size_t k = kCorEntryFirstBreak + 1; k < kCorEntryLastBreak; ++k) {
        if (!(t[k] >= t[kCorEntryFirstBreak])) t[k] = t[kCorEntryFirstBreak];  // NaN too
        if (t[k] > t[kCorEntryLastBreak]) t[k] = t[kCorEntryLastBreak];
    }
    for (size_t k = kCorEntryFirstBreak + 1; k < kCorEntryLastBreak; ++k)
        if (t[k] < t[k - 1]) t[k] = t[k - 1];
    if (!(t[kCorEntryOffset] >= 0)) t[kCorEntryOffset] = 0;
    if (!(t[kCorEntryAlfa] >= 0)) t[kCorEntryAlfa] = 0;
    OFFSET = t[kCorEntryOffset];
    ALFA = t[kCorEntryAlfa];
    for (size_t i = 0; i < kModelLinePoints; ++i) {
        const double b = t[kCorEntryFirstBreak + i];
        ModXDefault[i] = b * kTableStepMs;
        ModXShift[i] = 0;
        ModX[i] = ModXDefault[i];
        const long index = std::clamp(std::lround(b), 0L, static_cast<long>(kCorEntryCopiesEnd));
        const double c = t[static_cast<size_t>(index)];
        ModYShift[i] = (c - OFFSET) - (ALFA - 1) * ModX[i];
        ModY[i] = ALFA * ModX[i] + ModYShift[i] + OFFSET;
    }
}

// --- Selection -------------------------------------------------------------------------------

void PointSelection::DeselectPoints() {
    *this = PointSelection{};
}

void PointSelection::SelectPoint(int i) {
    DeselectPoints();
    if (!ValidPoint(i)) return;
    label[static_cast<size_t>(i)] = true;
    if (i >= 1 && i <= 5) {
        xBox[static_cast<size_t>(i - 1)] = true;
        yBox[static_cast<size_t>(i - 1)] = true;
    }
}

void PointSelection::SelectSlope() {
    DeselectPoints();
    label.fill(true);
    alfaBox = true;
}

void PointSelection::SelectOffset() {
    DeselectPoints();
    label.fill(true);
    offsetBox = true;
}

int PointSelection::SelectedPoint() const {
    for (int i = 0; i < kModelPoints; ++i)
        if (label[static_cast<size_t>(i)]) return i;
    return -1;
}

bool PointSelection::WholeLine() const {
    return std::all_of(label.begin(), label.end(), [](bool b) { return b; });
}

// --- Texts ---------------------------------------------------------------------------------------

ModelTexts ModelTextsOf(const LineModel& m) {
    ModelTexts t;
    for (size_t i = 0; i < 5; ++i) {
        t.xPos[i] = Fixed(m.ModX[i + 1], 3);
        t.yPos[i] = Fixed(m.ModYShift[i + 1], 3);
    }
    t.alfa = Fixed(m.ALFA, 2);
    t.offset = Fixed(m.OFFSET, 1);
    for (size_t i = 0; i < kModelPoints; ++i)
        t.toolTip[i] =
            QStringLiteral("P%1 (%2 ; %3)").arg(i).arg(Fixed(m.ModX[i], 1), Fixed(m.ModY[i], 1));
    return t;
}

}  // namespace gascal
