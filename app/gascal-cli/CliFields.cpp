#include "app/gascal-cli/CliFields.h"

#include <cmath>

#include "data/core/ParamFields.h"

namespace gascal {

std::vector<CliField> CliFieldTable(const ParamImage& image) {
    std::vector<CliField> t;
    for (int block : {2, 3, 5}) {
        for (const ParamField& f : ParamFieldsOfBlock(block)) {
            const FieldRange range = f.Range(image);
            for (int i = 0; i < f.count; ++i) {
                CliField c;
                c.name = f.ElementName(i);
                c.block = f.block;
                c.writable = !f.ReadOnly();
                c.min = range.min;
                c.max = range.max;
                c.decimals = f.decimals;
                c.get = [&f, i](const ParamImage& im) { return f.ImageValue(im, i); };
                if (c.writable)
                    c.pend = [&f, i](ParamImage& im, double v) { f.StorePending(im, i, v); };
                t.push_back(std::move(c));
            }
        }
    }
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
    for (const ParamField& f : ParamFieldsOfBlock(1))
        for (int i = 0; i < f.count; ++i) n << f.ElementName(i);
    return n;
}

std::vector<double> Mem1FieldValues(const Mem1Fields& m) {
    std::vector<double> v{m.SampleTimeMs};
    for (const ParamField& f : ParamFieldsOfBlock(1))
        for (int i = 0; i < f.count; ++i) v.push_back(f.Get(m, i));
    return v;
}

}  // namespace gascal
