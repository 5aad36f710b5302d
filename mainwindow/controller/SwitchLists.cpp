#include "mainwindow/controller/SwitchLists.h"

#include <cmath>

#include "common/Helpers.h"
#include "data/core/ScaleConfig.h"

namespace gascal {

namespace {
const char* const kDefaultRpm =
    "0|400|600|800|1000|1200|1400|1600|1800|2000|2200|2400|2600|2800|3000";
const char* const kDefaultTemp = "20|25|30|35|40|45|50|55|60|65|70";
const char* const kDefaultDelay1 = "60|65|70|75|80|85|90|95|100|105|110|115|120";
const char* const kDefaultDelay2 = "20|25|30|35|40|45|50|55|60|65|70";
const char* const kDefaultBar = "0.1|0.2|0.3|0.4|0.5|0.6|0.7|0.8|0.9|1|1.1|1.2";
const char* const kDefaultDelayPress =
    "0.1|0.2|0.3|0.4|0.5|0.6|0.7|0.8|0.9|1|1.5|2|2.5|3|3.5|4|4.5|5";
const char* const kDefaultForce = "0|30|60|90|120|240|300|420|600";
const char* const kDefaultCounts = "1|2|3|4|5|6|8";
const char* const kDefaultThreshold = "40";
// Built-in lambda types when the scale configuration defines none.
const char* const kBuiltInLambda[] = {"0..0,8", "0..5 Direct", "0..5 Inverted", "0,8..1,6"};

// The value line of a section, nullopt when the section (or its value line)
// is missing.
std::optional<QString> SectionValue(const QStringList& lines, const char* section) {
    const QString key = QString::fromLatin1(section);
    for (int i = 0; i + 1 < lines.size(); ++i)
        if (lines[i] == key) return lines[i + 1];
    return std::nullopt;
}

// Entries of a "|"-separated line; `divisor` divides each number for display
// and value. Items that are no number are reported and left out.
EntryList NumberList(const QString& line, double divisor, QString* bad) {
    EntryList out;
    for (const QString& raw : line.split(QLatin1Char('|'))) {
        const QString item = raw.trimmed();
        if (item.isEmpty()) continue;
        const auto v = ListNumber(item);
        if (!v) {
            if (bad && bad->isEmpty()) *bad = item;
            continue;
        }
        const double value = *v / divisor;
        out.push_back({ListText(value), value, 0});
    }
    return out;
}

EntryList FromSection(const QStringList& lines, const char* section, const char* fallback,
                      double divisor, QString* bad) {
    const auto value = SectionValue(lines, section);
    if (!value)
        return fallback ? NumberList(QString::fromLatin1(fallback), divisor, bad) : EntryList{};
    return NumberList(*value, divisor, bad);
}
}  // namespace

std::optional<double> ListNumber(const QString& text) {
    QString t = text.trimmed();
    if (t.isEmpty()) return std::nullopt;
    t.replace(QLatin1Char('.'), QLatin1Char(','));
    if (!IsPlainNumber(t)) return std::nullopt;
    return ParseNumber(t);
}

QString ListText(double value) {
    QString s = QString::number(value, 'f', 3);
    while (s.contains(QLatin1Char('.')) &&
           (s.endsWith(QLatin1Char('0')) || s.endsWith(QLatin1Char('.'))))
        s.chop(1);
    s.replace(QLatin1Char('.'), DecimalSeparator());
    return s;
}

int FirstAtLeast(const EntryList& list, double value) {
    for (size_t i = 0; i < list.size(); ++i)
        if (list[i].value >= value - 1e-9) return static_cast<int>(i);
    return -1;
}

int IndexOfCode(const EntryList& list, int code) {
    for (size_t i = 0; i < list.size(); ++i)
        if (list[i].code == code) return static_cast<int>(i);
    return -1;
}

bool SwitchLists::Fill(const QStringList& lines, const ScaleConfig& scale,
                       const QString& lambdaNone, const QStringList& emptyGasTexts,
                       QString* error) {
    QString bad;
    rpm = FromSection(lines, kRpm, kDefaultRpm, 1, &bad);
    temp = FromSection(lines, kTemp, kDefaultTemp, 1, &bad);
    delay1 = FromSection(lines, kDelay1, kDefaultDelay1, 1, &bad);
    delay2 = FromSection(lines, kDelay2, kDefaultDelay2, 1, &bad);
    bar = FromSection(lines, kBar, kDefaultBar, 1, &bad);
    delayPress = FromSection(lines, kDelayPress, kDefaultDelayPress, 1, &bad);
    force = FromSection(lines, kForce, kDefaultForce, 1, &bad);
    seq = FromSection(lines, kSeq, nullptr, 10, &bad);
    cylinders = NumberList(QString::fromLatin1(kDefaultCounts), 1, nullptr);
    coils = cylinders;

    const QString thr =
        SectionValue(lines, kDelayThreshold).value_or(QString::fromLatin1(kDefaultThreshold));
    const auto thrValue = ListNumber(thr);
    if (!thrValue && bad.isEmpty()) bad = thr;
    delayThreshold_ = thrValue.value_or(40);

    lambda.clear();
    const auto& types = scale.LambdaType;
    if (types.empty() || types[0].Name == QLatin1String("NULL")) {
        // The installation names no lambda type of its own (its entry 0 is
        // still the reader's placeholder): the language's "none", then the
        // four usual sensors. An entry carries the code of the type at its
        // index where the file has one, else its index.
        const auto codeAt = [&types](size_t i) {
            return i < types.size() ? types[i].Code : static_cast<int>(i);
        };
        lambda.push_back({lambdaNone, static_cast<double>(codeAt(0)), codeAt(0)});
        size_t i = 1;
        for (const char* n : kBuiltInLambda) {
            lambda.push_back({QString::fromLatin1(n), static_cast<double>(codeAt(i)), codeAt(i)});
            ++i;
        }
    } else {
        for (const auto& t : types) lambda.push_back({t.Name, static_cast<double>(t.Code), t.Code});
    }
    injector.clear();
    for (const auto& t : scale.InjectorType)
        injector.push_back({t.Name, static_cast<double>(t.Code), t.Code});
    level.clear();
    for (const auto& t : scale.GasLevelType)
        level.push_back({t.Name, static_cast<double>(t.Code), t.Code});
    emptyGas.clear();
    for (int i = 0; i < emptyGasTexts.size(); ++i)
        emptyGas.push_back({emptyGasTexts[i], 1.0 * i, i});
    shoRpm.clear();
    shoRpmPairs = scale.MappingThresholds;
    if (shoRpmPairs.empty()) shoRpmPairs = {{2200, 2700}};
    for (const auto& [lo, hi] : shoRpmPairs)
        shoRpm.push_back({QStringLiteral("%1 - %2").arg(lo).arg(hi), 1.0 * lo, lo});

    if (!bad.isEmpty()) {
        if (error) *error = QStringLiteral("\"%1\" is not a number").arg(bad);
        return false;
    }
    return true;
}

const EntryList& SwitchLists::DelayTableFor(double switchTemp) const {
    // The first table serves switchover temperatures from the threshold up,
    // the second the colder ones.
    return delayThreshold_ > switchTemp ? delay2 : delay1;
}

}  // namespace gascal
