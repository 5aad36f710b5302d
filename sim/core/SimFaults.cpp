#include "sim/core/SimFaults.h"

#include <QStringList>

namespace gascal::sim {

uint64_t SimRandom::Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

double SimRandom::Uniform() {
    return static_cast<double>(Next() >> 11) * 0x1.0p-53;
}

uint32_t SimRandom::Below(uint32_t n) {
    if (n == 0) return 0;
    return static_cast<uint32_t>(Next() % n);
}

bool FailureSettings::Any() const {
    return corrupt > 0 || lose > 0 || status254 > 0 || status255 > 0 || split > 0 || late > 0 ||
           collision > 0 || vanish > 0 || reset > 0 || deaf > 0 || refuseCommand >= 0;
}

namespace {
struct Field {
    const char* name;
    double FailureSettings::*member;
    bool probability;
};
const Field kFields[] = {
    {"corrupt", &FailureSettings::corrupt, true},
    {"lose", &FailureSettings::lose, true},
    {"status254", &FailureSettings::status254, true},
    {"status255", &FailureSettings::status255, true},
    {"split", &FailureSettings::split, true},
    {"late", &FailureSettings::late, true},
    {"collision", &FailureSettings::collision, true},
    {"vanish", &FailureSettings::vanish, true},
    {"reset", &FailureSettings::reset, true},
    {"deaf", &FailureSettings::deaf, true},
    {"lateMs", &FailureSettings::lateMs, false},
    {"splitGapMs", &FailureSettings::splitGapMs, false},
    {"vanishMs", &FailureSettings::vanishMs, false},
};
}  // namespace

QString FailureSettingNames() {
    QStringList names;
    for (const Field& f : kFields) names << QString::fromLatin1(f.name);
    return names.join(QLatin1String(", "));
}

bool ParseFailureSettings(const QString& text, FailureSettings& out, QString* error) {
    FailureSettings result = out;
    const QStringList items = text.split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString& raw : items) {
        const QString item = raw.trimmed();
        const int eq = item.indexOf(QLatin1Char('='));
        if (eq <= 0) {
            if (error)
                *error = QStringLiteral("failure setting \"%1\" is not name=value").arg(item);
            return false;
        }
        const QString name = item.left(eq).trimmed();
        bool ok = false;
        const double value = item.mid(eq + 1).trimmed().toDouble(&ok);
        const Field* field = nullptr;
        for (const Field& f : kFields)
            if (name == QLatin1String(f.name)) field = &f;
        if (!field) {
            if (error)
                *error = QStringLiteral("unknown failure mode \"%1\" (known: %2)")
                             .arg(name, FailureSettingNames());
            return false;
        }
        if (!ok || value < 0 || (field->probability && value > 1)) {
            if (error)
                *error = QStringLiteral("failure setting \"%1\": value \"%2\" is out of range")
                             .arg(name, item.mid(eq + 1).trimmed());
            return false;
        }
        result.*(field->member) = value;
    }
    out = result;
    return true;
}

}  // namespace gascal::sim
