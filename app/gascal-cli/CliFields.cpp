#include "app/gascal-cli/CliFields.h"

#include <cmath>

namespace gascal {

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

}  // namespace gascal
