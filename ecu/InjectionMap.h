// The injection map: operating points (manifold pressure, petrol injection
// time) that the ECU recorded while the engine ran on petrol and while it
// ran on gas. Where both fuels were seen at the same pressure, the petrol
// controller asked for a different petrol time on gas than on petrol; that
// difference says how far the correction is off at that petrol time, and
// "Compute" turns each such match into a target point for the line model.
//
// Here: the points, the decoding of the ECU's sample answers, the selection
// (petrol points of one 20-mbar step merged, gas points not), the match
// count, the target markers, the map files (*.map), the points report
// \Map.txt, the vertical full scale of the map graph and the map-changed
// flag. The session owns one map (EcuSession::Map()); the polling cycle
// decodes the sample answers into it as they come.
#pragma once

#include <QString>
#include <QStringList>
#include <array>
#include <functional>
#include <vector>

#include "data/core/ParamImage.h"

namespace gascal {

class RequestBridge;

inline constexpr int kMapSlots = 61;   // index 0 to 60
inline constexpr int kMapPoints = 60;  // slots 0 to 59 are used
inline constexpr int kSamplesPerAnswer = 30;
inline constexpr double kMapPressureStep = 20;   // mbar
inline constexpr double kMapTimeStep = 0.2;      // ms
inline constexpr double kMapMaxTimeMs = 50;      // a sample above is discarded
inline constexpr double kMapMaxPressure = 6000;  // mbar; a sample above is discarded
inline constexpr double kMapMinFullScaleMs = 8;
inline constexpr double kMapDrawMaxPressure = 1000;
inline constexpr double kMapDrawMaxTimeMs = 32;
inline constexpr double kTargetDrawMaxPetrolMs = 20;
inline constexpr double kTargetDrawMaxGasMs = 31;
// A sample answer: the point count (two characters) and 30 points of two
// 4-digit groups (time, pressure), each with its low byte first.
inline constexpr int kSampleAnswerChars = 2 + kSamplesPerAnswer * 8;
inline constexpr const char* kMapReportPath = "\\Map.txt";
inline constexpr const char* kMapFileFilter = "Map Files (*.map)|*.map|";

enum class MapFuel : uint8_t { Petrol = 0, Gas = 1 };

// Mapped or selected points: four arrays of 61 reals. A pressure of 0 is an
// empty slot.
struct MapPoints {
    std::array<double, kMapSlots> X_VacmGas{};  // mbar, on gas
    std::array<double, kMapSlots> Y_TinjGas{};  // ms, petrol time asked for on gas
    std::array<double, kMapSlots> X_VacmBnz{};  // mbar, on petrol
    std::array<double, kMapSlots> Y_TinjBnz{};  // ms, petrol time on petrol

    bool operator==(const MapPoints&) const = default;
    std::array<double, kMapSlots>& Pressure(MapFuel f) {
        return f == MapFuel::Gas ? X_VacmGas : X_VacmBnz;
    }
    std::array<double, kMapSlots>& Time(MapFuel f) {
        return f == MapFuel::Gas ? Y_TinjGas : Y_TinjBnz;
    }
    const std::array<double, kMapSlots>& Pressure(MapFuel f) const {
        return f == MapFuel::Gas ? X_VacmGas : X_VacmBnz;
    }
    const std::array<double, kMapSlots>& Time(MapFuel f) const {
        return f == MapFuel::Gas ? Y_TinjGas : Y_TinjBnz;
    }
    void Clear(MapFuel f);
    // The largest time of both fuels.
    double LargestTime() const;
};

// How the ECU's numbers become times: counts of the injection time unit,
// plus the injection offset on a time above 0 while petrol control is on.
struct SampleScale {
    double timeUnitMs = 0.008;  // [K_Time_Inj_us] / 1000
    double offsetMs = 0.6;      // [SommaTempoInj_usec] / 1000
    bool addOffset = true;      // PetrolControlEnabled
};
SampleScale SampleScaleOf(const ParamImage& image);

// Rounding of the map: pressures to 20 mbar, times to 0.2 ms.
double RoundPressure(double mbar);
double RoundTime(double ms);

// Decodes one sample answer (hexadecimal data text) into the 30 slots from
// `firstSlot` of that fuel. An empty text, or one too short to hold every
// point, leaves the points as they are (false).
bool DecodeSampleAnswer(const QString& hex, MapFuel fuel, int firstSlot, const SampleScale& scale,
                        MapPoints& points);

// Whether two pressures fall in the same 20-mbar step.
bool SameBucket(double a, double b);

// The selection: petrol points of one 20-mbar step merged into one (average
// pressure and time), gas points as they are. Returns the number of petrol
// points with at least one gas point in their step.
int SelectPoints(const MapPoints& mapped, MapPoints& selected);

// One target on the Modeling tab: a petrol point and a gas point of the same
// pressure step.
struct TargetMarker {
    int petrolSlot = 0, gasSlot = 0;
    double pressure = 0;      // mbar, of the petrol point
    double petrolMs = 0;      // H: the petrol time on petrol
    double gasMs = 0;         // the gas time that gives what petrol time H gave: CorTable at H + G
    double drawPetrolMs = 0;  // where it is drawn (at most 20 ms)
    double drawGasMs = 0;     // (at most 31 ms)
};
// Every match of the selected points, with the table the ECU works with.
std::vector<TargetMarker> TargetMarkers(const MapPoints& selected, const CorTableArray& cor);

// The vertical full scale of the map graph after the points changed: even,
// at least 8 ms; `relayout` (when given) tells whether the grid is to be
// laid out again.
double AdaptFullScale(double scale, double largestTime, bool* relayout = nullptr);

// --- Files --------------------------------------------------------------------------
// Map file: 240 lines, point by point petrol pressure, petrol time, gas
// pressure, gas time. Reading rounds the values; a short file repeats its
// last line. False (points unchanged) when the file cannot be read.
bool ReadMapFile(const QString& path, MapPoints& mapped);
QStringList MapFileLines(const MapPoints& mapped);
bool WriteMapFile(const QString& path, const MapPoints& mapped);
// The points report, every line a quoted text.
QStringList MapReportLines(const MapPoints& mapped, const MapPoints& selected);
bool WriteMapReport(const QString& path, const MapPoints& mapped, const MapPoints& selected);

// What one map step did, for the page to show.
struct MapStepResult {
    int matches = 0;              // petrol points with a gas point in their step
    bool computeEnabled = false;  // "Compute" may be used
    bool redrawn = false;         // the map changed: markers to be placed again
    bool relayout = false;        // the vertical scale changed: grid to be laid out again
    bool targetsPlaced = false;   // the target markers were placed again
};

// One marker of the map graph, in the graph's units.
struct MapMarker {
    MapFuel fuel = MapFuel::Petrol;
    int slot = 0;
    double bar = 0;  // pressure / 1000, at most 1
    double ms = 0;   // time, at most 32
};

class InjectionMap {
  public:
    const MapPoints& Mapped() const { return mapped_; }
    const MapPoints& Selected() const { return selected_; }
    const std::vector<TargetMarker>& Targets() const { return targets_; }
    bool Changed() const { return changed_; }
    double FullScale() const { return fullScale_; }
    int Matches() const { return matches_; }
    bool ComputeEnabled() const { return computeEnabled_; }

    // Points set by hand (tests, a page that shows a recorded map).
    void SetMapped(const MapPoints& p);

    // --- Samples -------------------------------------------------------------------
    // Decodes the fuel's two answers as the request bridge holds them.
    void ReadSamples(MapFuel fuel, const RequestBridge& answers, const ParamImage& image);
    void DecodeAnswer(MapFuel fuel, int half, const QString& hex, const SampleScale& scale);
    // The fuel's points are forgotten (the ECU is asked to forget them too,
    // by whoever calls this).
    void ClearFuel(MapFuel fuel);

    // --- The map step (AggiornaMappa) ---------------------------------------------------
    // Selection and match count; "Compute" enabled with a match and "Auto
    // Tuning" off; in the service view the points report is written; when
    // the map changed, the full scale adapted (and the changed flag
    // cleared); with `compute`, the targets placed with `cor`.
    MapStepResult Step(bool compute, bool autoTuning, bool serviceView, const CorTableArray& cor);
    // Markers of the map graph, both fuels.
    std::vector<MapMarker> Markers() const;
    // "Clear Model": the targets are no longer shown.
    void ClearTargets();

    // --- Files ------------------------------------------------------------------------
    // Reads a map file into the mapped points; the full scale goes back to
    // 8 ms and the grid is to be laid out again. False (and nothing changed)
    // when the file cannot be read.
    bool Open(const QString& path);
    bool Save(const QString& path) const { return WriteMapFile(path, mapped_); }
    // Where the points report goes (the installation folder's \Map.txt
    // unless set).
    void SetReportPath(const QString& path) { reportPath_ = path; }
    QString ReportPath() const;

    // --- Listeners ------------------------------------------------------------------------
    // The mapped points changed (samples decoded, a fuel cleared, a file read).
    void OnPointsChanged(std::function<void()> f) { pointsChanged_.push_back(std::move(f)); }
    // A map step ran.
    void OnStepped(std::function<void(const MapStepResult&)> f) {
        stepped_.push_back(std::move(f));
    }
    // The targets changed (placed or cleared).
    void OnTargetsChanged(std::function<void()> f) { targetsChanged_.push_back(std::move(f)); }

  private:
    void PointsChanged();

    MapPoints mapped_, selected_;
    std::vector<TargetMarker> targets_;
    bool changed_ = false;
    double fullScale_ = kMapMinFullScaleMs;
    bool relayoutPending_ = false;
    int matches_ = 0;
    bool computeEnabled_ = false;
    QString reportPath_;
    std::vector<std::function<void()>> pointsChanged_;
    std::vector<std::function<void(const MapStepResult&)>> stepped_;
    std::vector<std::function<void()>> targetsChanged_;
};

}  // namespace gascal
