#include "data/core/ScaleConfig.h"

#include <cmath>
#include <functional>
#include <limits>

#include "common/Helpers.h"
#include "link/firmware/LineReader.h"

namespace gascal {

namespace {

// Calibration parameters: divisor and default (NaN = no default), by number.
struct CalParamDef {
    double factor;
    double defaultValue;
};
constexpr double kNone = std::numeric_limits<double>::quiet_NaN();
constexpr std::array<CalParamDef, kCalibrationParamCount + 1> kCalParamDefs{{
    {1, kNone},                                                               // 0 unused
    {1, 50},      {1, 40},      {1, 8},        {1, 30},       {1, 8},         // 1-5
    {1, 10},      {1, 10},      {1, kNone},    {1, kNone},    {1, 2200},      // 6-10
    {100, 0.10},  {100, kNone}, {100, kNone},  {1000, kNone}, {100, kNone},   // 11-15
    {1, 40},      {1, 10},      {1, 6},        {1, kNone},    {100, kNone},   // 16-20
    {100, kNone}, {1, kNone},   {1000, kNone}, {1000, kNone}, {1000, kNone},  // 21-25
    {1, 50},      {1, 8},       {1, 10},       {1, 6},        {100, kNone},   // 26-30
    {1000, 1.25}, {1000, 0.75}, {1000, kNone},                                // 31-33
}};

const QString kGasLevelHeader = QStringLiteral("[GasLevel_");
const QString kInjTypeHeader = QStringLiteral("[InjType_");
const QString kLambdaHeader = QStringLiteral("[Lambda_");
const QString kCalSection = QStringLiteral("[PARAMETRI DI TARATURA]");

// Section number NN of a header such as "[GasLevel_03]": the two characters
// before the last one. Only two decimal digits count as a number.
std::optional<int> SectionNumber(const QString& header) {
    if (header.size() < 3) return std::nullopt;
    const QString nn = header.mid(header.size() - 3, 2);
    if (nn.size() != 2 || !nn[0].isDigit() || !nn[1].isDigit()) return std::nullopt;
    return nn.toInt();
}

std::optional<double> NumberOf(const QString& text) {
    const QString t = text.trimmed();
    if (!IsPlainNumber(t)) return std::nullopt;
    return ParseNumber(t);
}

// A 16-bit integer line: a number, rounded to the nearest integer.
std::optional<int> Int16Of(const QString& text) {
    const auto v = NumberOf(text);
    if (!v) return std::nullopt;
    const double r = std::nearbyint(*v);
    if (r < -32768 || r > 32767) return std::nullopt;
    return static_cast<int>(r);
}

std::optional<int> ByteOf(const QString& text) {
    const auto v = NumberOf(text);
    if (!v) return std::nullopt;
    const double r = std::nearbyint(*v);
    if (r < 0 || r > 255) return std::nullopt;
    return static_cast<int>(r);
}

// Collects conversion failures of one list reader; the first failure of a
// section is reported with the shared error box, later ones of the same
// section are only counted so a broken file does not bury the user in boxes.
class ListErrors {
  public:
    ListErrors(QString procedure, QString message)
        : procedure_(std::move(procedure)), message_(std::move(message)) {}
    void Fail(int lineIndex, const QString& lineText, const QString& what) {
        if (reportedThisSection_) return;
        reportedThisSection_ = true;
        ErrorReport(procedure_, message_, false, 13,
                    QStringLiteral("Type mismatch (line %1: \"%2\" is not %3)")
                        .arg(lineIndex + 1)
                        .arg(lineText.trimmed(), what));
    }
    void NextSection() { reportedThisSection_ = false; }

  private:
    QString procedure_, message_;
    bool reportedThisSection_ = false;
};

// Hands out the lines of a section one by one; a line past the end of the
// file is a failure of its own.
class SectionCursor {
  public:
    SectionCursor(const QStringList& lines, int first, ListErrors& errors)
        : lines_(lines), next_(first), errors_(errors) {}
    bool Next(QString& line) {
        if (next_ >= lines_.size()) {
            errors_.Fail(next_, QString(), QStringLiteral("present (the file ends)"));
            ++next_;
            return false;
        }
        line = lines_[next_++];
        return true;
    }
    int Position() const { return next_; }
    void Fail(const QString& what) { errors_.Fail(next_ - 1, lines_.value(next_ - 1), what); }

  private:
    const QStringList& lines_;
    int next_;
    ListErrors& errors_;
};

// Runs `read` for every section of a list: a header line starting with
// `prefix` and ending in its number, followed by the section's value lines.
// A header without a usable number is reported and skipped.
void ForEachSection(const QStringList& lines, const QString& prefix, ListErrors& errors,
                    const std::function<void(int nn, SectionCursor& c)>& read) {
    int i = 0;
    while (i < lines.size()) {
        const QString header = lines[i].trimmed();
        if (!header.startsWith(prefix)) {
            ++i;
            continue;
        }
        errors.NextSection();
        const auto nn = SectionNumber(header);
        if (!nn) {
            errors.Fail(i, header, QStringLiteral("a section number"));
            ++i;
            continue;
        }
        SectionCursor c(lines, i + 1, errors);
        read(*nn, c);
        i = c.Position();
    }
}

QStringList SplitItems(const QString& line) {
    QStringList items;
    for (const QString& s : line.split(QLatin1Char('|'))) {
        const QString t = s.trimmed();
        if (!t.isEmpty()) items << t;
    }
    return items;
}

}  // namespace

bool IsPlainNumber(const QString& textIn) {
    const QString text = textIn.trimmed();
    int i = 0;
    if (text.startsWith(QLatin1Char('-'))) i = 1;
    int digits = 0, commas = 0;
    for (; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c.unicode() >= '0' && c.unicode() <= '9') {
            ++digits;
        } else if (c == QLatin1Char(',')) {
            if (++commas > 1) return false;
        } else {
            return false;
        }
    }
    return digits > 0;
}

bool ReadConfigLines(const QString& path, QStringList& lines) {
    if (!FileExists(path)) return false;
    const LineReadResult r = ReadLinesChecked(path);
    if (!r.exists) return false;
    lines = r.lines;
    return true;
}

std::optional<std::array<double, 11>> LambdaScaleFromLine(const QString& line) {
    const QStringList parts = line.split(QLatin1Char('|'));
    if (parts.size() != 2) return std::nullopt;
    const auto low = NumberOf(parts[0]);
    const auto high = NumberOf(parts[1]);
    if (!low || !high) return std::nullopt;
    std::array<double, 11> scale{};
    const double lo = *low / 1000, hi = *high / 1000;
    scale[0] = lo;
    for (int i = 1; i <= 10; ++i) scale[i] = lo + i * (hi - lo) / 10;
    return scale;
}

QStringList DefaultPreInjTempItems() {
    return {QStringLiteral("5"), QStringLiteral("10"), QStringLiteral("15"), QStringLiteral("20")};
}
std::vector<double> DefaultPreInjTimeItems() {
    return {0, 0.5, 1, 1.5, 2};
}
QStringList DefaultPreInjPeriodItems() {
    return {QStringLiteral("2"), QStringLiteral("5"), QStringLiteral("10"), QStringLiteral("15"),
            QStringLiteral("20")};
}

LambdaTypeEntry ScaleConfig::DefaultLambdaEntry0() {
    LambdaTypeEntry e;
    e.Name = QStringLiteral("NULL");
    e.Code = 0;
    e.Factor = 0.001;
    e.Scale.fill(0);
    return e;
}

ScaleConfig::ScaleConfig() {
    SetDefaults();
    LambdaType = {DefaultLambdaEntry0()};
}

void ScaleConfig::SetDefaults() {
    KInj = kDefaultInjUs / 1000;
    KPwm = kDefaultPwmUs / 1000;
    KLambda = kDefaultLambdaMv / 1000;
    KTimer = kDefaultTimerUs / 1000;
    KLevel = kDefaultLevelUv / 1000;
    KSupply = kSupplyVoltsPerCount;
    InjOffset = kDefaultInjOffsetUs / 1000;
    ControlPetrolFirmware.clear();
    SL_4Cil.clear();
    SL_6Cil.clear();
    SL_8Cil.clear();
    MappingThresholds = {{kDefaultMappingLow, kDefaultMappingHigh}};
    CkbeV02Visible = false;
    StepBadBit = kDefaultStepBadBitUs;
    PassWord00.clear();
    PassWord01.clear();
    PreInjTempItems = DefaultPreInjTempItems();
    PreInjTimeItems = DefaultPreInjTimeItems();
    PreInjPeriodItems = DefaultPreInjPeriodItems();
    for (int n = 0; n <= kCalibrationParamCount; ++n) {
        const double d = kCalParamDefs[n].defaultValue;
        CalParams[n] = std::isnan(d) || n == 0 ? CalibrationParam{} : CalibrationParam{d, true};
    }
}

double ScaleConfig::CalParam(int n) const {
    if (n < 1 || n > kCalibrationParamCount) return 0;
    return CalParams[n].known ? CalParams[n].value : 0;
}

bool ScaleConfig::Load(const QString& path) {
    SetDefaults();
    QStringList lines;
    if (!ReadConfigLines(path, lines)) return false;

    // A scale factor must be a positive number: every raw value is divided
    // by it when a payload is built, so 0 would send nonsense to the ECU.
    auto factor = [](const QString& v, double& target) {
        const auto n = NumberOf(v);
        if (n && *n > 0) target = *n / 1000;
    };

    int i = 0;
    while (i < lines.size()) {
        const QString& key = lines[i];
        const bool hasValue = i + 1 < lines.size();
        const QString raw = hasValue ? lines[i + 1] : QString();
        const QString value = raw.trimmed();
        bool consumed = true;
        if (!hasValue) {
            consumed = false;  // a key on the last line has no value
        } else if (key == QLatin1String("[K_Time_Inj_us]")) {
            factor(value, KInj);
        } else if (key == QLatin1String("[K_Time_Pwm_us]")) {
            factor(value, KPwm);
        } else if (key == QLatin1String("[K_Lambda_mV]")) {
            factor(value, KLambda);
        } else if (key == QLatin1String("[K_Timer_Gen_us]")) {
            factor(value, KTimer);
        } else if (key == QLatin1String("[K_VLevel_Sens_uV]")) {
            factor(value, KLevel);
        } else if (key == QLatin1String("[SommaTempoInj_usec]")) {
            if (const auto n = NumberOf(value)) InjOffset = *n / 1000;
        } else if (key == QLatin1String("[Control_petrol_firmware]")) {
            QString t = value;
            while (t.size() < kControlFirmwareDigits) t.prepend(QLatin1Char('0'));
            ControlPetrolFirmware = t.right(kControlFirmwareDigits);
        } else if (key == QLatin1String("[SL_4Cil]")) {
            SL_4Cil = value;
        } else if (key == QLatin1String("[SL_6Cil]")) {
            SL_6Cil = value;
        } else if (key == QLatin1String("[SL_8Cil]")) {
            SL_8Cil = value;
        } else if (key == QLatin1String("[SOGLIE MAPPING]")) {
            std::vector<std::pair<int, int>> pairs;
            bool allGood = true;
            for (const QString& p : value.split(QLatin1Char('|'))) {
                const QStringList two = p.split(QLatin1Char(','));
                const auto a = two.size() == 2 ? Int16Of(two[0]) : std::nullopt;
                const auto b = two.size() == 2 ? Int16Of(two[1]) : std::nullopt;
                if (!a || !b) {
                    allGood = false;
                    break;
                }
                pairs.emplace_back(*a, *b);
            }
            // A broken pair keeps the whole list as it was, rather than
            // offering the fitter a half list.
            if (allGood && !pairs.empty()) MappingThresholds = pairs;
        } else if (key == QLatin1String("[CkbeV_02_VISIBILE]")) {
            CkbeV02Visible = value == QLatin1String("1");
        } else if (key == QLatin1String("[StepBadBit_us]")) {
            // A step is a 16-bit count of microseconds; a larger number is
            // no step the injector page could show (its times would
            // overflow), so the default stands.
            if (const auto n = NumberOf(value); n && *n == std::floor(*n) && *n > 0 && *n <= 32767)
                StepBadBit = static_cast<int>(*n);
            consumed = false;  // the walk advances by one line after this key
        } else if (key == QLatin1String("[PassWord00]")) {
            PassWord00 = raw;
        } else if (key == QLatin1String("[PassWord01]")) {
            PassWord01 = raw;
        } else if (key == QLatin1String("[CmbTemperUnderPreInj]")) {
            const QStringList items = SplitItems(value);
            if (!items.isEmpty()) PreInjTempItems = items;
        } else if (key == QLatin1String("[CmbValuePreInj]")) {
            std::vector<double> items;
            bool allGood = true;
            for (const QString& s : SplitItems(value)) {
                const auto n = NumberOf(s);
                if (!n) {
                    allGood = false;
                    break;
                }
                items.push_back(*n / 10);
            }
            if (allGood && !items.empty()) PreInjTimeItems = items;
        } else if (key == QLatin1String("[CmbDefTimeSovra]")) {
            const QStringList items = SplitItems(value);
            if (!items.isEmpty()) PreInjPeriodItems = items;
        } else {
            consumed = false;
        }
        i += consumed ? 2 : 1;
    }
    ReadCalibrationParams(lines);
    return true;
}

void ScaleConfig::ReadCalibrationParams(const QStringList& lines) {
    const int at = lines.indexOf(kCalSection);
    if (at < 0) return;
    for (int n = 1; n <= kCalibrationParamCount; ++n) {
        const int li = at + 2 * n;
        if (li >= lines.size()) break;
        if (const auto v = NumberOf(lines[li]))
            CalParams[n] = CalibrationParam{*v / kCalParamDefs[n].factor, true};
    }
}

void ScaleConfig::IniziaLevelGasType(const QString& path) {
    QStringList lines;
    if (!ReadConfigLines(path, lines)) return;
    ListErrors errors(QStringLiteral("IniziaLevelGasType_Err"),
                      QStringLiteral("Config level sensor error"));
    ForEachSection(lines, kGasLevelHeader, errors, [&](int nn, SectionCursor& c) {
        GasLevelType.resize(nn + 1);
        GasLevelTypeEntry& e = GasLevelType[nn];
        QString line;
        if (c.Next(line)) e.Name = line.trimmed();
        if (c.Next(line)) {
            if (const auto v = Int16Of(line))
                e.Code = *v;
            else
                c.Fail(QStringLiteral("a code"));
        }
        if (c.Next(line)) e.Caption = line.trimmed();
        for (int t = 0; t < 6; ++t) {
            if (!c.Next(line)) continue;
            if (const auto v = Int16Of(line))
                e.Thresholds[t] = *v;
            else
                c.Fail(QStringLiteral("a threshold"));
        }
        if (c.Next(line)) {
            if (const auto v = NumberOf(line))
                e.Value = *v;
            else
                c.Fail(QStringLiteral("a number"));
        }
        if (c.Next(line)) {
            if (const auto v = ByteOf(line))
                e.LevelMode = *v;
            else
                c.Fail(QStringLiteral("a mode"));
        }
    });
}

void ScaleConfig::IniziaTipoInj(const QString& path) {
    QStringList lines;
    if (!ReadConfigLines(path, lines)) return;
    // The list is rebuilt from the file, so reading it twice never doubles it.
    InjectorType.clear();
    ListErrors errors(QStringLiteral("IniziaTipoInj_Err"),
                      QStringLiteral("Config injector type error"));
    ForEachSection(lines, kInjTypeHeader, errors, [&](int nn, SectionCursor& c) {
        InjectorTypeEntry e;
        e.Code = nn;
        QString line;
        if (c.Next(line)) e.Name = line.trimmed();
        double* times[3] = {&e.OpenTime, &e.PwmTime2, &e.PwmTime1};
        for (double* t : times) {
            if (!c.Next(line)) continue;
            if (const auto v = NumberOf(line))
                *t = *v * KPwm;
            else
                c.Fail(QStringLiteral("a time"));
        }
        double* cal[2] = {&e.CalValue1, &e.CalValue2};
        for (double* t : cal) {
            if (!c.Next(line)) continue;
            if (const auto v = NumberOf(line))
                *t = *v;
            else
                c.Fail(QStringLiteral("a number"));
        }
        if (c.Next(line)) e.ModelPoints = line.trimmed();
        InjectorType.push_back(e);
    });
}

void ScaleConfig::IniziaTipoLambda(const QString& path, const QString& lambdaEntry0Name) {
    LambdaType = {DefaultLambdaEntry0()};
    QStringList lines;
    if (!ReadConfigLines(path, lines)) return;
    ListErrors errors(QStringLiteral("IniziaTipoLambda_Err"),
                      QStringLiteral("Config lambda sensor error"));
    ForEachSection(lines, kLambdaHeader, errors, [&](int nn, SectionCursor& c) {
        LambdaType.resize(nn + 1);
        LambdaTypeEntry& e = LambdaType[nn];
        QString line;
        if (c.Next(line)) {
            e.Name = line.trimmed();
            if (nn == 0 && !lambdaEntry0Name.isEmpty()) e.Name = lambdaEntry0Name;
        }
        if (c.Next(line)) {
            if (const auto v = Int16Of(line))
                e.Code = *v;
            else
                c.Fail(QStringLiteral("a code"));
        }
        if (c.Next(line)) {
            if (const auto v = NumberOf(line))
                e.Factor = *v / 1000;
            else
                c.Fail(QStringLiteral("a factor"));
        }
        if (c.Next(line)) {
            if (const auto s = LambdaScaleFromLine(line))
                e.Scale = *s;
            else
                c.Fail(QStringLiteral("two numbers low|high"));
        }
    });
}

int ScaleConfig::LevelIndexByCode(int code) const {
    for (size_t k = 0; k < GasLevelType.size(); ++k)
        if (GasLevelType[k].Code == code) return static_cast<int>(k);
    return -1;
}

int ScaleConfig::LambdaIndexByCode(int code) const {
    for (size_t k = 0; k < LambdaType.size(); ++k)
        if (LambdaType[k].Code == code) return static_cast<int>(k);
    return -1;
}

int ScaleConfig::InjectorIndexByCode(int code) const {
    for (size_t k = 0; k < InjectorType.size(); ++k)
        if (InjectorType[k].Code == code) return static_cast<int>(k);
    return -1;
}

const GasLevelTypeEntry* ScaleConfig::LevelAt(int index) const {
    if (index < 0 || index >= static_cast<int>(GasLevelType.size())) return nullptr;
    return &GasLevelType[index];
}

const InjectorTypeEntry* ScaleConfig::InjectorAt(int index) const {
    if (index < 0 || index >= static_cast<int>(InjectorType.size())) return nullptr;
    return &InjectorType[index];
}

const LambdaTypeEntry* ScaleConfig::LambdaAt(int index) const {
    if (index < 0 || index >= static_cast<int>(LambdaType.size())) return nullptr;
    return &LambdaType[index];
}

std::optional<QString> ScaleConfig::ReadKeyValue(const QString& path, const QString& key) {
    QStringList lines;
    if (!ReadConfigLines(path, lines)) return std::nullopt;
    std::optional<QString> found;
    for (int i = 0; i + 1 < lines.size(); ++i)
        if (lines[i] == key) found = lines[i + 1].trimmed();  // the later value wins
    return found;
}

}  // namespace gascal
