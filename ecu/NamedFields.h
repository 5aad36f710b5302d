// The ECU's values by name, as a front end reads and writes them: a view of
// the image's field table with, for each settings element, the block it
// lives in, how to read it from the image, how to store a new value in
// PendingEdits, and the range of values a user may store; and the live
// values of block 1 by name. Array fields are named Name0..Name7 (cylinder
// 1 is index 0).
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <vector>

namespace gascal {

class ParamImage;
struct Mem1Fields;

struct NamedField {
    QString name;
    int block = 0;  // 2, 3 or 5
    bool writable = true;
    double min = 0, max = 0;
    int decimals = 0;  // how the value is printed
    std::function<double(const ParamImage&)> get;
    std::function<void(ParamImage&, double)> pend;  // stores the value in PendingEdits
};

// Every settings field of blocks 2, 3 and 5, in block order. Ranges depend
// on the scale factors already applied to the image.
std::vector<NamedField> SettingsFields(const ParamImage& image);
// The field of that name, in any case; null when there is none.
const NamedField* FindNamedField(const std::vector<NamedField>& table, const QString& name);

// Block-1 live values: names (arrays as Name0..Name7, SampleTimeMs first)
// and the values of one reading in the same order.
QStringList LiveValueNames();
std::vector<double> LiveValues(const Mem1Fields& m);

}  // namespace gascal
