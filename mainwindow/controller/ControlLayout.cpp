#include "mainwindow/controller/ControlLayout.h"

#include <cmath>

#include "common/TextFile.h"

namespace gascal {

namespace {

constexpr double kLargestNumber = 1e15;

struct KeyName {
    const char* text;
    LayoutKey key;
};
constexpr KeyName kKeys[] = {
    {"[Visible]", LayoutKey::Visible},     {"[Width]", LayoutKey::Width},
    {"[Height]", LayoutKey::Height},       {"[Top]", LayoutKey::Top},
    {"[Left]", LayoutKey::Left},           {"[Alignment]", LayoutKey::Alignment},
    {"[BackColor]", LayoutKey::BackColor}, {"[ForeColor]", LayoutKey::ForeColor},
};

std::optional<LayoutKey> KeyOf(const QString& field) {
    for (const KeyName& k : kKeys)
        if (field == QLatin1String(k.text)) return k.key;
    return std::nullopt;
}

std::optional<double> DecimalOf(const QString& text) {
    bool ok = false;
    const double v = text.toDouble(&ok);
    if (!ok || !std::isfinite(v) || std::fabs(v) > kLargestNumber) return std::nullopt;
    return v;
}

// The index field: a number names an element of a control array.
std::optional<int> IndexOf(const QString& text) {
    const auto v = DecimalOf(text);
    if (!v || std::fabs(*v) > 32767) return std::nullopt;
    return static_cast<int>(std::nearbyint(*v));
}

}  // namespace

QStringList LayoutFields(const QStringList& lines) {
    QStringList fields;
    for (const QString& line : lines)
        for (const QString& part : line.split(QLatin1Char(','))) fields << part.trimmed();
    return fields;
}

std::vector<LayoutRecord> ReadLayoutRecords(const QStringList& lines, const QString& startLine,
                                            const QString& endLine, const ControlExists& exists) {
    const QStringList fields = LayoutFields(lines);
    const qsizetype n = fields.size();
    std::vector<LayoutRecord> records;
    qsizetype i = fields.indexOf(startLine);
    if (i < 0) return records;
    ++i;
    std::optional<LayoutRecord> current;
    while (i < n) {
        const QString& field = fields[i++];
        if (field == endLine) break;
        if (current) {
            if (field == QLatin1String("[EndName]")) {
                records.push_back(std::move(*current));
                current.reset();
                continue;
            }
            const auto key = KeyOf(field);
            if (!key) continue;  // any other line of a record is skipped
            if (i >= n || fields[i] == endLine) break;
            const QString& value = fields[i++];
            // An empty value leaves the property as it is; the visibility
            // takes whatever the line says (and ignores what is no truth value).
            if (*key == LayoutKey::Visible || !value.isEmpty())
                current->values.push_back({*key, value});
            continue;
        }
        if (field != QLatin1String("[Name]")) continue;
        // The name, the "[Index]" line and the index.
        if (i + 3 > n) break;
        if (fields[i] == endLine || fields[i + 1] == endLine || fields[i + 2] == endLine) break;
        const QString name = fields[i];
        const std::optional<int> index = IndexOf(fields[i + 2]);
        i += 3;
        // A record of a control the page does not have is skipped: its lines
        // are read like any other line outside a record.
        if (exists && exists(name, index)) current = LayoutRecord{name, index, {}};
    }
    // A record cut short by the end keeps the values read up to there.
    if (current) records.push_back(std::move(*current));
    return records;
}

bool ReadLayoutFile(const QString& path, const QString& startLine, const QString& endLine,
                    const ControlExists& exists, std::vector<LayoutRecord>& records) {
    records.clear();
    QStringList lines;
    if (!ReadLatin1Lines(path, lines)) return false;
    records = ReadLayoutRecords(lines, startLine, endLine, exists);
    return true;
}

std::optional<bool> LayoutTruth(const QString& text) {
    const QString t = text.trimmed();
    if (t.compare(QLatin1String("True"), Qt::CaseInsensitive) == 0 ||
        t.compare(QLatin1String("Vero"), Qt::CaseInsensitive) == 0)
        return true;
    if (t.compare(QLatin1String("False"), Qt::CaseInsensitive) == 0 ||
        t.compare(QLatin1String("Falso"), Qt::CaseInsensitive) == 0)
        return false;
    if (const auto v = DecimalOf(t)) return *v != 0;
    return std::nullopt;
}

std::optional<long long> LayoutNumber(const QString& text) {
    QString t = text.trimmed();
    if (t.startsWith(QLatin1String("&H"), Qt::CaseInsensitive)) {
        t = t.mid(2);
        if (t.endsWith(QLatin1Char('&'))) t.chop(1);
        if (t.isEmpty() || t.size() > 8) return std::nullopt;
        bool ok = false;
        const unsigned long long v = t.toULongLong(&ok, 16);
        if (!ok) return std::nullopt;
        return static_cast<long long>(v);
    }
    const auto v = DecimalOf(t);
    if (!v) return std::nullopt;
    return std::llround(*v);
}

}  // namespace gascal
