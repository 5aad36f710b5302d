#include "ecu/NamedFields.h"

#include "data/core/ParamFields.h"

namespace gascal {

std::vector<NamedField> SettingsFields(const ParamImage& image) {
    std::vector<NamedField> t;
    for (int block : {2, 3, 5}) {
        for (const ParamField& f : ParamFieldsOfBlock(block)) {
            const FieldRange range = f.Range(image);
            for (int i = 0; i < f.count; ++i) {
                NamedField c;
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

const NamedField* FindNamedField(const std::vector<NamedField>& table, const QString& name) {
    for (const NamedField& f : table)
        if (f.name.compare(name, Qt::CaseInsensitive) == 0) return &f;
    return nullptr;
}

QStringList LiveValueNames() {
    QStringList n{QStringLiteral("SampleTimeMs")};
    for (const ParamField& f : ParamFieldsOfBlock(1))
        for (int i = 0; i < f.count; ++i) n << f.ElementName(i);
    return n;
}

std::vector<double> LiveValues(const Mem1Fields& m) {
    std::vector<double> v{m.SampleTimeMs};
    for (const ParamField& f : ParamFieldsOfBlock(1))
        for (int i = 0; i < f.count; ++i) v.push_back(f.Get(m, i));
    return v;
}

}  // namespace gascal
