// The command line's names for the ECU's values (ecu/NamedFields.h) and its
// way with numbers: typed with a point or a comma, printed with a point.
#pragma once

#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

#include "ecu/NamedFields.h"

namespace gascal {

using CliField = NamedField;

inline std::vector<CliField> CliFieldTable(const ParamImage& image) {
    return SettingsFields(image);
}
inline const CliField* FindCliField(const std::vector<CliField>& table, const QString& name) {
    return FindNamedField(table, name);
}
inline QStringList Mem1FieldNames() {
    return LiveValueNames();
}
inline std::vector<double> Mem1FieldValues(const Mem1Fields& m) {
    return LiveValues(m);
}

// Number typed by a user: "1,5" or "1.5", optional sign.
std::optional<double> ParseCliNumber(const QString& text);
// A value as the command line prints it (decimal point, no trailing zeros).
QString FormatCliNumber(double value, int decimals);

}  // namespace gascal
