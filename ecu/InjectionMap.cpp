#include "ecu/InjectionMap.h"

#include <algorithm>
#include <cmath>

#include "common/Helpers.h"
#include "common/TextFile.h"
#include "data/core/ParamFile.h"
#include "ecu/LineModel.h"
#include "ecu/RequestBridge.h"

namespace gascal {

namespace {
constexpr int kMapFileLines = 4 * kMapPoints;
constexpr const char* kReportHeader = "X_VacmBnz | Y_TinjBnz | X_VacmGas(i) | Y_TinjGas(i)";
constexpr const char* kReportSeparator = " | ";

QString Quoted(const QString& s) {
    return QLatin1Char('"') + s + QLatin1Char('"');
}
}  // namespace

// --- Points ----------------------------------------------------------------------------

void MapPoints::Clear(MapFuel f) {
    Pressure(f).fill(0);
    Time(f).fill(0);
}

double MapPoints::LargestTime() const {
    double m = 0;
    for (int i = 0; i < kMapSlots; ++i) {
        m = std::max(m, Y_TinjBnz[static_cast<size_t>(i)]);
        m = std::max(m, Y_TinjGas[static_cast<size_t>(i)]);
    }
    return m;
}

SampleScale SampleScaleOf(const ParamImage& image) {
    return {image.KInj, image.InjOffset, image.PetrolControlEnabled};
}

double RoundPressure(double mbar) {
    return std::nearbyint(mbar / kMapPressureStep) * kMapPressureStep;
}

// n × 2 / 10 is the double nearest to the decimal value (3.2, not 3.2000000000000002).
double RoundTime(double ms) {
    return std::nearbyint(ms / kMapTimeStep) * 2 / 10;
}

bool SameBucket(double a, double b) {
    return std::lround(a / kMapPressureStep) == std::lround(b / kMapPressureStep);
}

bool DecodeSampleAnswer(const QString& hex, MapFuel fuel, int firstSlot, const SampleScale& scale,
                        MapPoints& points) {
    // Two characters of count, then 30 points of 8 characters: a text that
    // cannot hold them all is a broken answer and changes nothing.
    if (hex.size() < kSampleAnswerChars) return false;
    auto& pressure = points.Pressure(fuel);
    auto& time = points.Time(fuel);
    for (int k = 0; k < kSamplesPerAnswer; ++k) {
        const int slot = firstSlot + k;
        if (slot < 0 || slot >= kMapSlots) continue;
        double t = HexU16At(hex, 3 + 8 * k) * scale.timeUnitMs;
        if (t > 0 && scale.addOffset) t += scale.offsetMs;
        t = RoundTime(t);
        double p = RoundPressure(HexU16At(hex, 7 + 8 * k));
        if (t > kMapMaxTimeMs || p > kMapMaxPressure) t = p = 0;
        pressure[static_cast<size_t>(slot)] = p;
        time[static_cast<size_t>(slot)] = t;
    }
    return true;
}

// --- Selection and targets ------------------------------------------------------------------

int SelectPoints(const MapPoints& mapped, MapPoints& selected) {
    selected = mapped;
    auto& px = selected.X_VacmBnz;
    auto& py = selected.Y_TinjBnz;
    for (size_t i = 0; i < kMapPoints; ++i) {
        if (!(py[i] > 0)) continue;
        double sumP = px[i], sumT = py[i];
        int n = 1;
        for (size_t j = i + 1; j < kMapPoints; ++j) {
            if (!(py[j] > 0) || !SameBucket(px[j], px[i])) continue;
            sumP += px[j];
            sumT += py[j];
            ++n;
            px[j] = 0;
            py[j] = 0;
        }
        px[i] = sumP / n;
        py[i] = sumT / n;
    }
    int count = 0;
    for (size_t i = 0; i < kMapPoints; ++i) {
        if (!(px[i] > 0)) continue;
        for (size_t j = 0; j < kMapPoints; ++j) {
            if (selected.X_VacmGas[j] > 0 && SameBucket(selected.X_VacmGas[j], px[i])) {
                ++count;
                break;
            }
        }
    }
    return count;
}

std::vector<TargetMarker> TargetMarkers(const MapPoints& selected, const CorTableArray& cor) {
    std::vector<TargetMarker> out;
    for (size_t i = 0; i < kMapPoints; ++i) {
        const double p = selected.X_VacmBnz[i];
        if (!(p > 0)) continue;
        for (size_t j = 0; j < kMapPoints; ++j) {
            const double g = selected.X_VacmGas[j];
            if (!(g > 0) || !SameBucket(g, p)) continue;
            TargetMarker m;
            m.petrolSlot = static_cast<int>(i);
            m.gasSlot = static_cast<int>(j);
            m.pressure = p;
            m.petrolMs = selected.Y_TinjBnz[i];
            // The table's correction at the petrol time (past its last time
            // entry the ECU keeps the last one), plus the petrol time the
            // controller asked for on gas.
            const long d = std::clamp(std::lround(m.petrolMs / kTableStepMs), 0L,
                                      static_cast<long>(kCorEntryCopiesEnd));
            m.gasMs = cor[static_cast<size_t>(d)] + selected.Y_TinjGas[j];
            m.drawPetrolMs =
                m.petrolMs >= kTargetDrawMaxPetrolMs ? kTargetDrawMaxPetrolMs : m.petrolMs;
            m.drawGasMs = m.gasMs >= kTargetDrawMaxGasMs ? kTargetDrawMaxGasMs : m.gasMs;
            out.push_back(m);
        }
    }
    return out;
}

double AdaptFullScale(double scale, double largestTime, bool* relayout) {
    if (relayout) *relayout = false;
    const double m = largestTime;
    if (!(m > 0)) return scale;
    if (scale < kMapMinFullScaleMs) {
        scale = kMapMinFullScaleMs;
        if (relayout) *relayout = true;
    }
    if (m >= scale || (scale - m > 3 && m >= kMapMinFullScaleMs)) {
        scale = std::max(kMapMinFullScaleMs, 2 * std::floor((m + 1) / 2));
        if (relayout) *relayout = true;
    }
    return scale;
}

// --- Files ---------------------------------------------------------------------------------

bool ReadMapFile(const QString& path, MapPoints& mapped) {
    QStringList lines;
    if (!FileExists(path) || !ReadLatin1Lines(path, lines)) return false;
    MapPoints p;
    QString last;
    int next = 0;
    auto value = [&]() {
        // A short file repeats its last line; an empty line (or one that is
        // no number) reads as 0.
        if (next < lines.size()) last = lines[next];
        ++next;
        return ParseReal(QLatin1Char('0') + last.trimmed()).value_or(0);
    };
    for (size_t i = 0; i < kMapPoints; ++i) {
        p.X_VacmBnz[i] = RoundPressure(value());
        p.Y_TinjBnz[i] = RoundTime(value());
        p.X_VacmGas[i] = RoundPressure(value());
        p.Y_TinjGas[i] = RoundTime(value());
    }
    mapped = p;
    return true;
}

QStringList MapFileLines(const MapPoints& m) {
    QStringList out;
    out.reserve(kMapFileLines);
    for (size_t i = 0; i < kMapPoints; ++i)
        out << FormatReal(m.X_VacmBnz[i]) << FormatReal(m.Y_TinjBnz[i])
            << FormatReal(m.X_VacmGas[i]) << FormatReal(m.Y_TinjGas[i]);
    return out;
}

bool WriteMapFile(const QString& path, const MapPoints& mapped) {
    return WriteLatin1Lines(path, MapFileLines(mapped));
}

QStringList MapReportLines(const MapPoints& mapped, const MapPoints& selected) {
    QStringList out;
    auto points = [&out](const MapPoints& m) {
        out << Quoted(QString::fromLatin1(kReportHeader));
        const QString sep = QString::fromLatin1(kReportSeparator);
        for (size_t i = 0; i < kMapPoints; ++i)
            out << Quoted(FormatRealBare(m.X_VacmBnz[i]) + sep + FormatRealBare(m.Y_TinjBnz[i]) +
                          sep + FormatRealBare(m.X_VacmGas[i]) + sep +
                          FormatRealBare(m.Y_TinjGas[i]));
    };
    out << Quoted(QStringLiteral("Punti Mappati"));
    points(mapped);
    out << Quoted(QString());
    out << Quoted(QStringLiteral("Punti Selezionati"));
    points(selected);
    return out;
}

bool WriteMapReport(const QString& path, const MapPoints& mapped, const MapPoints& selected) {
    return WriteLatin1Lines(path, MapReportLines(mapped, selected));
}

// --- The map ---------------------------------------------------------------------------------

void InjectionMap::PointsChanged() {
    changed_ = true;
    for (const auto& f : pointsChanged_) f();
}

void InjectionMap::SetMapped(const MapPoints& p) {
    mapped_ = p;
    PointsChanged();
}

void InjectionMap::DecodeAnswer(MapFuel fuel, int half, const QString& hex,
                                const SampleScale& scale) {
    if (DecodeSampleAnswer(hex, fuel, half * kSamplesPerAnswer, scale, mapped_)) PointsChanged();
}

void InjectionMap::ReadSamples(MapFuel fuel, const RequestBridge& answers,
                               const ParamImage& image) {
    const SampleScale scale = SampleScaleOf(image);
    const bool gas = fuel == MapFuel::Gas;
    DecodeAnswer(fuel, 0, answers.Samples(gas ? SampleAnswer::Gas : SampleAnswer::Petrol), scale);
    DecodeAnswer(fuel, 1, answers.Samples(gas ? SampleAnswer::Gas1 : SampleAnswer::Petrol1), scale);
}

void InjectionMap::ClearFuel(MapFuel fuel) {
    mapped_.Clear(fuel);
    PointsChanged();
}

MapStepResult InjectionMap::Step(bool compute, bool autoTuning, bool serviceView,
                                 const CorTableArray& cor) {
    MapStepResult r;
    matches_ = r.matches = SelectPoints(mapped_, selected_);
    computeEnabled_ = r.computeEnabled = r.matches > 0 && !autoTuning;
    if (serviceView) WriteMapReport(ReportPath(), mapped_, selected_);
    if (changed_) {
        bool relayout = false;
        fullScale_ = AdaptFullScale(fullScale_, mapped_.LargestTime(), &relayout);
        r.relayout = relayout || relayoutPending_;
        relayoutPending_ = false;
        changed_ = false;
        r.redrawn = true;
    }
    if (compute) {
        targets_ = TargetMarkers(selected_, cor);
        r.targetsPlaced = true;
        for (const auto& f : targetsChanged_) f();
    }
    for (const auto& f : stepped_) f(r);
    return r;
}

std::vector<MapMarker> InjectionMap::Markers() const {
    std::vector<MapMarker> out;
    for (MapFuel fuel : {MapFuel::Petrol, MapFuel::Gas}) {
        for (int i = 0; i < kMapPoints; ++i) {
            const double p = mapped_.Pressure(fuel)[static_cast<size_t>(i)];
            const double t = mapped_.Time(fuel)[static_cast<size_t>(i)];
            if (!(p > 0)) continue;
            out.push_back(
                {fuel, i, std::min(p, kMapDrawMaxPressure) / 1000, std::min(t, kMapDrawMaxTimeMs)});
        }
    }
    return out;
}

void InjectionMap::ClearTargets() {
    targets_.clear();
    for (const auto& f : targetsChanged_) f();
}

bool InjectionMap::Open(const QString& path) {
    if (!ReadMapFile(path, mapped_)) return false;
    fullScale_ = kMapMinFullScaleMs;
    relayoutPending_ = true;
    PointsChanged();
    return true;
}

QString InjectionMap::ReportPath() const {
    return reportPath_.isEmpty() ? SystemPath(QString::fromLatin1(kMapReportPath)) : reportPath_;
}

}  // namespace gascal
