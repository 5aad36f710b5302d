// The settings fields that gascal-cli reads and writes by name: a view of the
// image's field table (data/core/ParamFields.h) with, for each element, the
// block it lives in, how to read it from the image, how to store a new value
// in PendingEdits, and the range of values a user may store.
// Array fields are named Name0..Name7 (cylinder 1 is index 0).
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <optional>
#include <vector>

namespace gascal {

class ParamImage;
struct Mem1Fields;

struct CliField {
    QString name;
    int block = 0;  // 2, 3 or 5
    bool writable = true;
    double min = 0, max = 0;
    int decimals = 0;  // how the value is printed
    std::function<double(const ParamImage&)> get;
    std::function<void(ParamImage&, double)> pend;  // stores the value in PendingEdits
};

// Every field of blocks 2, 3 and 5, in block order. Ranges depend on the
// scale factors already applied to the image.
std::vector<CliField> CliFieldTable(const ParamImage& image);
const CliField* FindCliField(const std::vector<CliField>& table, const QString& name);

// Number typed by a user: "1,5" or "1.5", optional sign.
std::optional<double> ParseCliNumber(const QString& text);
// A value as the command line prints it (decimal point, no trailing zeros).
QString FormatCliNumber(double value, int decimals);

// Block-1 live values: names (arrays as Name0..Name7, SampleTimeMs first)
// and the values of one reading in the same order.
QStringList Mem1FieldNames();
std::vector<double> Mem1FieldValues(const Mem1Fields& m);

}  // namespace gascal
