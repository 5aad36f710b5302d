#include "app/gascal-cli/CliFields.h"

#include <cmath>

#include "data/core/ParamImage.h"

namespace gascal {

namespace {

constexpr double kU16Max = 65535;
constexpr double kS16Min = -32768;
constexpr double kS16Max = 32767;
// Byte fields: 255 means "unchanged" in PendingEdits, so it cannot be set.
constexpr double kByteMax = 254;

struct Builder {
    std::vector<CliField>& out;

    void Add(const QString& name, int block, double min, double max, int decimals,
             std::function<double(const ParamImage&)> get,
             std::function<void(ParamImage&, double)> pend) {
        out.push_back(CliField{name, block, static_cast<bool>(pend), min, max, decimals,
                               std::move(get), std::move(pend)});
    }
    void ReadOnly(const QString& name, int block, int decimals,
                  std::function<double(const ParamImage&)> get) {
        out.push_back(CliField{name, block, false, 0, 0, decimals, std::move(get), {}});
    }
};

#define U8_FIELD(B, BLOCK, REC, NAME, MAX)                                                   \
    B.Add(QStringLiteral(#NAME), BLOCK, 0, MAX, 0,                                           \
          [](const ParamImage& i) { return static_cast<double>(i.REC.NAME); },              \
          [](ParamImage& i, double v) {                                                       \
              i.PendingEdits.REC.NAME = static_cast<decltype(i.PendingEdits.REC.NAME)>(v);   \
          })

}  // namespace

std::vector<CliField> CliFieldTable(const ParamImage& image) {
    std::vector<CliField> t;
    Builder b{t};
    const double kInj = image.KInj, kPwm = image.KPwm, kTimer = image.KTimer;

    // --- Block 2 ---------------------------------------------------------------
    b.Add(QStringLiteral("WorkMode"), 2, 0, 3, 0,
          [](const ParamImage& i) { return double(i.Mem2Block.WorkMode); },
          [](ParamImage& i, double v) { i.PendingEdits.Mem2Block.WorkMode = uint8_t(v); });
    b.ReadOnly(QStringLiteral("Mem2Byte1"), 2, 0,
               [](const ParamImage& i) { return double(i.Mem2Block.Mem2Byte1); });
    b.ReadOnly(QStringLiteral("EcuMode"), 2, 0,
               [](const ParamImage& i) { return double(i.Mem2Block.EcuMode); });
    b.ReadOnly(QStringLiteral("HoursCounter1"), 2, 2,
               [](const ParamImage& i) { return i.Mem2Block.HoursCounter1; });
    b.ReadOnly(QStringLiteral("HoursCounter2"), 2, 2,
               [](const ParamImage& i) { return i.Mem2Block.HoursCounter2; });
    U8_FIELD(b, 2, Mem2Block, RpmCompEnable, 1);
    U8_FIELD(b, 2, Mem2Block, VacuumAcqEnable, 1);
    b.ReadOnly(QStringLiteral("CutOff"), 2, 0,
               [](const ParamImage& i) { return double(i.Mem2Block.CutOff); });

    // --- Block 3 ---------------------------------------------------------------
    b.Add(QStringLiteral("NumCoils"), 3, 1, 8, 0,
          [](const ParamImage& i) { return double(i.Mem3Block.NumCoils); },
          [](ParamImage& i, double v) { i.PendingEdits.Mem3Block.NumCoils = int(v); });
    b.Add(QStringLiteral("NumCylinders"), 3, 1, 8, 0,
          [](const ParamImage& i) { return double(i.Mem3Block.NumCylinders); },
          [](ParamImage& i, double v) { i.PendingEdits.Mem3Block.NumCylinders = int(v); });
    b.Add(QStringLiteral("SwitchTempRaw"), 3, 0, kU16Max, 0,
          [](const ParamImage& i) { return i.Mem3Block.SwitchTempRaw; },
          [](ParamImage& i, double v) { i.PendingEdits.Mem3Block.SwitchTempRaw = v; });
    // The switchover speed travels as a revolution period: only speeds whose
    // period fits the 16-bit word (and is not its "no speed" value) are sent.
    const double minRpm = std::ceil(image.RpmConstant / 65534.0);
    b.Add(QStringLiteral("SwitchRpm"), 3, std::max(1.0, minRpm), 20000, 0,
          [](const ParamImage& i) { return i.Mem3Block.SwitchRpm; },
          [](ParamImage& i, double v) { i.PendingEdits.Mem3Block.SwitchRpm = v; });
    U8_FIELD(b, 3, Mem3Block, InjTypeCode, kByteMax);
    U8_FIELD(b, 3, Mem3Block, FuelType, kByteMax);
    b.Add(QStringLiteral("InjOpenTime"), 3, 0, kU16Max * kInj, 3,
          [](const ParamImage& i) { return i.Mem3Block.InjOpenTime; },
          [](ParamImage& i, double v) { i.PendingEdits.Mem3Block.InjOpenTime = v; });
    b.Add(QStringLiteral("InjPwmTime1"), 3, 0, kU16Max * kPwm, 3,
          [](const ParamImage& i) { return i.Mem3Block.InjPwmTime1; },
          [](ParamImage& i, double v) { i.PendingEdits.Mem3Block.InjPwmTime1 = v; });
    b.Add(QStringLiteral("InjPwmTime2"), 3, 0, kU16Max * kPwm, 3,
          [](const ParamImage& i) { return i.Mem3Block.InjPwmTime2; },
          [](ParamImage& i, double v) { i.PendingEdits.Mem3Block.InjPwmTime2 = v; });
    for (int k = 0; k < 8; ++k) {
        b.Add(QStringLiteral("InjEnable%1").arg(k), 3, 0, 4, 0,
              [k](const ParamImage& i) { return double(i.Mem3Block.InjEnable[k]); },
              [k](ParamImage& i, double v) { i.PendingEdits.Mem3Block.InjEnable[k] = uint8_t(v); });
    }
    for (int k = 0; k < 8; ++k) {
        b.Add(QStringLiteral("InjTrim%1").arg(k), 3, kS16Min * kInj, kS16Max * kInj, 3,
              [k](const ParamImage& i) { return i.Mem3Block.InjTrim[k]; },
              [k](ParamImage& i, double v) { i.PendingEdits.Mem3Block.InjTrim[k] = v; });
    }
    U8_FIELD(b, 3, Mem3Block, LevelTypeCode, kByteMax);
    b.ReadOnly(QStringLiteral("Mem3Byte39"), 3, 0,
               [](const ParamImage& i) { return double(i.Mem3Block.Mem3Byte39); });
    for (int k = 0; k < 6; ++k) {
        b.Add(QStringLiteral("LevelThresholds%1").arg(k), 3, 0, kU16Max, 0,
              [k](const ParamImage& i) { return double(i.Mem3Block.LevelThresholds[k]); },
              [k](ParamImage& i, double v) { i.PendingEdits.Mem3Block.LevelThresholds[k] = int(v); });
    }
    b.Add(QStringLiteral("VolCompEnable"), 3, 0, kByteMax, 0,
          [](const ParamImage& i) { return double(i.Mem3Block.VolCompEnable); },
          [](ParamImage& i, double v) { i.PendingEdits.Mem3Block.VolCompEnable = int(v); });
    b.Add(QStringLiteral("VolCompPressRef"), 3, 0, kU16Max, 0,
          [](const ParamImage& i) { return i.Mem3Block.VolCompPressRef; },
          [](ParamImage& i, double v) { i.PendingEdits.Mem3Block.VolCompPressRef = v; });
    b.Add(QStringLiteral("SwitchDelay"), 3, 0, kU16Max * kTimer, 2,
          [](const ParamImage& i) { return i.Mem3Block.SwitchDelay; },
          [](ParamImage& i, double v) { i.PendingEdits.Mem3Block.SwitchDelay = v; });
    b.Add(QStringLiteral("VolCompTempRef"), 3, 0, kU16Max, 0,
          [](const ParamImage& i) { return i.Mem3Block.VolCompTempRef; },
          [](ParamImage& i, double v) { i.PendingEdits.Mem3Block.VolCompTempRef = v; });
    b.Add(QStringLiteral("ForceTime"), 3, 0, kU16Max * kTimer, 2,
          [](const ParamImage& i) { return i.Mem3Block.ForceTime; },
          [](ParamImage& i, double v) { i.PendingEdits.Mem3Block.ForceTime = v; });
    b.Add(QStringLiteral("LambdaTypeCode"), 3, 0, kByteMax, 0,
          [](const ParamImage& i) { return double(i.Mem3Block.LambdaTypeCode); },
          [](ParamImage& i, double v) { i.PendingEdits.Mem3Block.LambdaTypeCode = int(v); });
    b.Add(QStringLiteral("SwitchPressRaw"), 3, 0, kU16Max, 0,
          [](const ParamImage& i) { return i.Mem3Block.SwitchPressRaw; },
          [](ParamImage& i, double v) { i.PendingEdits.Mem3Block.SwitchPressRaw = v; });
    b.Add(QStringLiteral("SwitchPressDelay"), 3, 0, kU16Max * kTimer, 2,
          [](const ParamImage& i) { return i.Mem3Block.SwitchPressDelay; },
          [](ParamImage& i, double v) { i.PendingEdits.Mem3Block.SwitchPressDelay = v; });
    b.Add(QStringLiteral("SafetyCar"), 3, 0, kByteMax, 0,
          [](const ParamImage& i) { return double(i.Mem3Block.SafetyCar); },
          [](ParamImage& i, double v) { i.PendingEdits.Mem3Block.SafetyCar = int(v); });
    b.Add(QStringLiteral("EmptyGasMode"), 3, 0, kByteMax, 0,
          [](const ParamImage& i) { return double(i.Mem3Block.EmptyGasMode); },
          [](ParamImage& i, double v) { i.PendingEdits.Mem3Block.EmptyGasMode = int(v); });
    U8_FIELD(b, 3, Mem3Block, MaxPowerEnable, kByteMax);
    b.Add(QStringLiteral("MaxPowerThreshold"), 3, 0, kU16Max, 0,
          [](const ParamImage& i) { return i.Mem3Block.MaxPowerThreshold; },
          [](ParamImage& i, double v) { i.PendingEdits.Mem3Block.MaxPowerThreshold = v; });
    U8_FIELD(b, 3, Mem3Block, TempSensorType, kByteMax);
    U8_FIELD(b, 3, Mem3Block, MapSensorType, kByteMax);
    U8_FIELD(b, 3, Mem3Block, BadBitStep, kByteMax);

    // --- Block 5 ---------------------------------------------------------------
    U8_FIELD(b, 5, Mem5Block, NotObserveRpm, kByteMax);
    U8_FIELD(b, 5, Mem5Block, SwitchDirection, kByteMax);
    U8_FIELD(b, 5, Mem5Block, SemiSequential, kByteMax);
    b.Add(QStringLiteral("SohTfraComm"), 5, 0, kU16Max * kInj, 3,
          [](const ParamImage& i) { return i.Mem5Block.SohTfraComm; },
          [](ParamImage& i, double v) { i.PendingEdits.Mem5Block.SohTfraComm = v; });
    b.Add(QStringLiteral("SohTonComm"), 5, 0, kU16Max * kInj, 3,
          [](const ParamImage& i) { return i.Mem5Block.SohTonComm; },
          [](ParamImage& i, double v) { i.PendingEdits.Mem5Block.SohTonComm = v; });
    b.Add(QStringLiteral("PreInjPeriod"), 5, 0, kS16Max * kTimer, 2,
          [](const ParamImage& i) { return i.Mem5Block.PreInjPeriod; },
          [](ParamImage& i, double v) { i.PendingEdits.Mem5Block.PreInjPeriod = v; });
    b.Add(QStringLiteral("PreInjTime"), 5, 0, kU16Max * kInj, 3,
          [](const ParamImage& i) { return i.Mem5Block.PreInjTime; },
          [](ParamImage& i, double v) { i.PendingEdits.Mem5Block.PreInjTime = v; });
    b.Add(QStringLiteral("PreInjTemp"), 5, kS16Min, kS16Max, 0,
          [](const ParamImage& i) { return i.Mem5Block.PreInjTemp; },
          [](ParamImage& i, double v) { i.PendingEdits.Mem5Block.PreInjTemp = v; });
    U8_FIELD(b, 5, Mem5Block, SwitchSequence, kByteMax);
    b.Add(QStringLiteral("ShowRpmHigh"), 5, 0, kU16Max, 0,
          [](const ParamImage& i) { return double(i.Mem5Block.ShowRpmHigh); },
          [](ParamImage& i, double v) { i.PendingEdits.Mem5Block.ShowRpmHigh = int32_t(v); });
    b.Add(QStringLiteral("ShowRpmLow"), 5, 0, kU16Max, 0,
          [](const ParamImage& i) { return double(i.Mem5Block.ShowRpmLow); },
          [](ParamImage& i, double v) { i.PendingEdits.Mem5Block.ShowRpmLow = int32_t(v); });
    U8_FIELD(b, 5, Mem5Block, MinPowerEnable, kByteMax);
    b.Add(QStringLiteral("MinPowerRpmHigh"), 5, 0, kU16Max, 0,
          [](const ParamImage& i) { return double(i.Mem5Block.MinPowerRpmHigh); },
          [](ParamImage& i, double v) { i.PendingEdits.Mem5Block.MinPowerRpmHigh = int32_t(v); });
    b.Add(QStringLiteral("MinPowerRpmLow"), 5, 0, kU16Max, 0,
          [](const ParamImage& i) { return double(i.Mem5Block.MinPowerRpmLow); },
          [](ParamImage& i, double v) { i.PendingEdits.Mem5Block.MinPowerRpmLow = int32_t(v); });
    return t;
}

const CliField* FindCliField(const std::vector<CliField>& table, const QString& name) {
    for (const CliField& f : table)
        if (f.name.compare(name, Qt::CaseInsensitive) == 0) return &f;
    return nullptr;
}

std::optional<double> ParseCliNumber(const QString& textIn) {
    QString text = textIn.trimmed();
    text.replace(QLatin1Char(','), QLatin1Char('.'));
    if (text.isEmpty()) return std::nullopt;
    bool ok = false;
    const double v = text.toDouble(&ok);
    if (!ok || !std::isfinite(v)) return std::nullopt;
    return v;
}

QString FormatCliNumber(double value, int decimals) {
    if (decimals <= 0) return QString::number(static_cast<long long>(std::llround(value)));
    QString s = QString::number(value, 'f', decimals);
    while (s.endsWith(QLatin1Char('0'))) s.chop(1);
    if (s.endsWith(QLatin1Char('.'))) s.chop(1);
    if (s == QLatin1String("-0")) s = QStringLiteral("0");
    return s;
}

QStringList Mem1FieldNames() {
    QStringList n{QStringLiteral("SampleTimeMs")};
    for (const char* arr : {"SignedInjTimes", "PetrolInjTimes", "SkippedRaw", "GasInjTimes"})
        for (int k = 0; k < 8; ++k) n << QStringLiteral("%1%2").arg(QLatin1String(arr)).arg(k);
    n << QStringLiteral("Rpm") << QStringLiteral("GasPressureRaw") << QStringLiteral("VacuumRaw")
      << QStringLiteral("LambdaVolts") << QStringLiteral("KeyOn") << QStringLiteral("Valve1Open")
      << QStringLiteral("Valve2Open") << QStringLiteral("LevelRaw") << QStringLiteral("ReducerTemp")
      << QStringLiteral("GasTemp") << QStringLiteral("SupplyVolts") << QStringLiteral("LevelAux");
    return n;
}

std::vector<double> Mem1FieldValues(const Mem1Fields& m) {
    std::vector<double> v{m.SampleTimeMs};
    for (double x : m.SignedInjTimes) v.push_back(x);
    for (double x : m.PetrolInjTimes) v.push_back(x);
    for (uint16_t x : m.SkippedRaw) v.push_back(x);
    for (double x : m.GasInjTimes) v.push_back(x);
    v.insert(v.end(), {double(m.Rpm), m.GasPressureRaw, m.VacuumRaw, m.LambdaVolts, double(m.KeyOn),
                       double(m.Valve1Open), double(m.Valve2Open), m.LevelRaw,
                       double(m.ReducerTemp), double(m.GasTemp), m.SupplyVolts, m.LevelAux});
    return v;
}

}  // namespace gascal
