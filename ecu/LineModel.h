// The line model of the injection correction: seven points joined by
// straight segments that give the gas injection time for a petrol injection
// time. The points start on the straight line Y = ALFA × X + OFFSET and are
// then bent one by one (vertical shifts off the line in steps of 0.104 ms,
// horizontal shifts in steps of one table step, 0.128 ms).
//
// The ECU does not know the model: it gets the correction table `CorTable`
// computed from it (gas time minus petrol time for each 0.128 ms of petrol
// time, plus slope, offset and breakpoints in the last eight entries), and
// the model is rebuilt from that table when the table is read back.
//
// Everything here is plain value logic without time or widgets: the model,
// its invariants, one step of each edit button with its limits, the point
// labels' selection, and the repeat ladder of a held button. The session's
// editor (ModelEditor.h) holds the one model the pages and gascal-cli edit.
#pragma once

#include <QString>
#include <array>
#include <cstdint>

#include "data/core/ParamImage.h"

namespace gascal {

inline constexpr int kModelPoints = 7;         // points 0 to 6
inline constexpr int kModelLinePoints = 6;     // points 0 to 5 follow the line
inline constexpr double kTableStepMs = 0.128;  // petrol time per table entry
inline constexpr double kModelYStepMs = 0.104;
inline constexpr double kAlfaStep = 0.01;
inline constexpr double kAlfaUpLimit = 1.99;     // a step up only up to here (so at most 2.00)
inline constexpr double kAlfaDownLimit = 0.01;   // a step down only from here (so at least 0)
inline constexpr double kModelMaxMs = 31;        // every gas time of the model, and the line's end
inline constexpr double kModelMinGapMs = 0.256;  // two table steps between neighbouring points
inline constexpr int kInvariantPasses = 100;
inline constexpr int kLastPointIndex = 157;  // point 5 sits at table entry 157 (20.096 ms)
inline constexpr double kLineEndMs = kLastPointIndex * kTableStepMs;

// CorTable entries beyond the interpolated corrections.
inline constexpr int kCorEntryLineEnd = 157;    // correction at 20.096 ms
inline constexpr int kCorEntryCopiesEnd = 183;  // 158..183 copy entry 157
inline constexpr int kCorEntryOffset = 184;
inline constexpr int kCorEntryAlfa = 185;
inline constexpr int kCorEntryFirstBreak = 186;  // point 0's position in ms (always 0)
inline constexpr int kCorEntryLastBreak = 191;   // point 5's position in table steps (157)

// Nominal petrol time of each point: 0, 30, 63, 94, 125, 157 and 185 table steps.
inline constexpr std::array<double, kModelPoints> kModXDefault = {0,  3.84,   8.064, 12.032,
                                                                  16, 20.096, 23.68};

// The eight edit buttons of the Modeling tab. `Left` (CmdLeft) increases the
// petrol time of the point, `Right` (CmdRight) decreases it.
enum class EditButton : uint8_t { Up, Down, Left, Right, AlfaUp, AlfaDown, OffsetUp, OffsetDown };

// Buttons that act on the whole line (the ALFA and OFFSET buttons).
bool IsLineButton(EditButton b);
// Whether a point button acts on this point: up and down on points 1 to 5,
// left and right on points 1 to 4. Line buttons act on no single point.
bool ButtonMovesPoint(EditButton b, int point);

struct LineModel {
    std::array<double, kModelPoints> ModXDefault = kModXDefault;
    std::array<double, kModelPoints> ModXShift{};
    std::array<double, kModelPoints> ModYShift{};
    double ALFA = 1;
    double OFFSET = 0;
    std::array<double, kModelPoints> ModX = kModXDefault;
    std::array<double, kModelPoints> ModY = kModXDefault;

    bool operator==(const LineModel&) const = default;

    // Model to its defaults: ALFA 1, OFFSET 0, the nominal positions, no
    // shifts, every point on the diagonal.
    void SetDefaults();  // DisponiMatriceModDefault
    // Every point back on the line at its nominal position: no shifts, ALFA
    // and OFFSET kept; ModY equals ModX until the next recomputation.
    void PutPointsOnLine();
    // ModX and ModY of points 0 to 5 from the positions, the shifts and the
    // line; point 6 keeps its values.
    void Recompute();
    void RecomputePoint(int i);

    // The model's invariants, enforced after every edit: neighbouring points
    // 0 to 5 more than 0.256 ms apart, every ModY of points 0 to 5 within 0
    // and 31 ms. Up to 100 passes, each pushing a point that breaks them by
    // one step; stops after the first pass that changes nothing. True when
    // anything was pushed.
    bool EnforceInvariants();
    // Whether the invariants hold now.
    bool WithinInvariants() const;

    // One step of an edit button on `point` (ignored by the line buttons),
    // with the button's own limits: ALFA stays within 0 and 2.00, OFFSET
    // steps up only below 31 and a step down from 0.104 or less gives 0, and
    // a line step that takes ALFA × 20.096 + OFFSET above 31 is taken back.
    // The invariants are not enforced here. True when the model changed.
    bool Step(EditButton b, int point);
    // ALFA × 20.096 + OFFSET: the reference line's gas time at point 5.
    double LineTop() const { return ALFA * kLineEndMs + OFFSET; }

    // The correction table of the model, every value rounded to 0.001:
    // entries 0 to 156 interpolated on the segments of points 0 to 5,
    // 157 on the segment of points 5 and 6 (158 to 183 copy it), then
    // OFFSET, ALFA and the breakpoints. Every entry of `table` is written.
    void ToTable(CorTableArray& table) const;
    CorTableArray Table() const;
    // Rebuilds the model from a table read from the ECU or a parameter file.
    // The table is repaired first, in place: point 0 at 0 and point 5 at 157
    // table steps, the inner breakpoints within them and never decreasing,
    // a negative OFFSET or ALFA made 0. The points sit at the breakpoints
    // with no horizontal shift; point 6 keeps its values.
    void FromTable(CorTableArray& table);
};

// The reference line's gas time at a petrol time.
inline double LineAt(const LineModel& m, double petrolMs) {
    return m.ALFA * petrolMs + m.OFFSET;
}

// The point labels (LblPntMod) and the highlighted value boxes of the
// Modeling tab. A selected label is the one the point buttons move; all
// labels selected means the whole line (ALFA or OFFSET) is being edited.
struct PointSelection {
    std::array<bool, kModelPoints> label{};  // yellow labels
    std::array<bool, 5> xBox{};              // TxtXPos(0..4): points 1 to 5
    std::array<bool, 5> yBox{};              // TxtYPos(0..4)
    bool alfaBox = false;                    // TxtALfaPos
    bool offsetBox = false;                  // TxtOffsetPos

    bool operator==(const PointSelection&) const = default;

    // Every label unselected, every box plain.
    void DeselectPoints();
    // Point i selected alone; for points 1 to 5 their two boxes highlighted.
    void SelectPoint(int i);
    // A value box (0 to 4, either row) selects its point (1 to 5).
    void SelectPointOfBox(int box) { SelectPoint(box + 1); }
    // The whole line selected, with the ALFA or the OFFSET box highlighted.
    void SelectSlope();
    void SelectOffset();
    // The first selected point, -1 when none is.
    int SelectedPoint() const;
    bool WholeLine() const;
};

// The texts the Modeling tab shows for the model, with the decimal separator
// of the installation.
struct ModelTexts {
    std::array<QString, 5> xPos;                // ModX of points 1 to 5 (three decimals)
    std::array<QString, 5> yPos;                // ModYShift of points 1 to 5 (three decimals)
    QString alfa;                               // two decimals
    QString offset;                             // one decimal
    std::array<QString, kModelPoints> toolTip;  // "P2 (8,1 ; 8,1)"
};
ModelTexts ModelTextsOf(const LineModel& m);

// The pace of a held edit button: the step repeats after 0.2 s, each wait
// 1.2 times shorter than the one before while it is longer than 1/80 s.
// The window's press-and-hold loop:
//   RepeatLadder ladder;
//   while (editor.Held()) {
//       editor.RepeatStep();
//       WaitMicroSeconds(ladder.Interval() * 1e6);  // the release comes in here
//       ladder.Next();
//   }
class RepeatLadder {
  public:
    static constexpr double kFirstS = 0.2;
    static constexpr double kFactor = 1.2;
    static constexpr double kShortestS = 1.0 / 80;

    double Interval() const { return interval_; }
    void Next() { interval_ = After(interval_); }
    void Restart() { interval_ = kFirstS; }
    // The wait that follows a wait of `s` seconds.
    static double After(double s) { return s > kShortestS ? s / kFactor : s; }

  private:
    double interval_ = kFirstS;
};

}  // namespace gascal
