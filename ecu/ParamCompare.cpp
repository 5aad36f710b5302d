#include "ecu/ParamCompare.h"

#include <algorithm>
#include <cmath>

#include "common/TextFile.h"
#include "data/core/ParamFields.h"
#include "ecu/EcuSession.h"
#include "ecu/LineModel.h"

namespace gascal {

// The limits a parameter file is checked against are the line model's.
static_assert(kCorOffsetMaxMs == kModelMaxMs);
static_assert(kCorBreakMax == kLastPointIndex);
static_assert(kCorAlfaMax == 2.0 && kAlfaUpLimit + kAlfaStep > kCorAlfaMax - 1e-9);

namespace {

constexpr int kTableDecimals = 3;

// The number a field element travels as: what decides whether two sides
// differ, so a difference below one count (binary rounding of a file's
// text) is none, and one count is one.
double WireNumber(const ParamField& f, const ParamImage& image, int index) {
    const double v = f.ImageValue(image, index);
    switch (f.scale) {
        case FieldScale::SwitchPeriod:  // rpm in the image: whole numbers
        case FieldScale::None:
        case FieldScale::Count:
        case FieldScale::LivePeriod:
            return std::nearbyint(v);
        case FieldScale::KInj:
        case FieldScale::KPwm:
        case FieldScale::KTimer:
        case FieldScale::KLambda:
        case FieldScale::KSupply:
        case FieldScale::PetrolTime:
            break;
    }
    return std::nearbyint(v / f.Factor(image));
}

bool HasBlock(const ParamSide& s, int block) {
    switch (block) {
        case 2:
            return s.hasBlock2;
        case 3:
            return s.hasBlock3;
        case 5:
            return s.hasBlock5;
        default:
            return false;
    }
}

// A model value as it is shown, in units of its last decimal. The model is
// rebuilt from each side's table by arithmetic whose binary rounding
// depends on the slope and the offset (a point's gas time comes out as the
// line plus the point's shift off it), so two values that would print alike
// are the same.
long long ModelCounts(const ModelValue& v) {
    return std::llround(v.value * std::pow(10.0, v.decimals));
}

}  // namespace

std::vector<ModelValue> CorModelFromLineModel(const ParamImage& image, const CorTableArray& table) {
    CorTableArray onWire;
    for (int k = 0; k < kCorTableSize; ++k)
        onWire[static_cast<size_t>(k)] = image.CorEntryOnWire(k, table[static_cast<size_t>(k)]);
    LineModel m;
    m.FromTable(onWire);
    std::vector<ModelValue> values{{QStringLiteral("ALFA"), m.ALFA, kTableDecimals},
                                   {QStringLiteral("OFFSET"), m.OFFSET, kTableDecimals}};
    for (size_t i = 0; i < kModelPoints; ++i) {
        values.push_back({QStringLiteral("ModX%1").arg(i), m.ModX[i], kTableDecimals});
        values.push_back({QStringLiteral("ModY%1").arg(i), m.ModY[i], kTableDecimals});
    }
    return values;
}

std::vector<ParamDifference> CompareParams(const ParamSide& first, const ParamSide& second,
                                           const CorModelReader& model) {
    std::vector<ParamDifference> out;
    if (!first.image || !second.image) return out;
    const ParamImage& a = *first.image;
    const ParamImage& b = *second.image;
    for (int block : {2, 3, 5}) {
        if (!HasBlock(first, block) || !HasBlock(second, block)) continue;
        for (const ParamField& f : ParamFieldsOfBlock(block)) {
            // An injector's state on gas (2 to 4) is the ECU's own, never a
            // file's: injectors are compared as fitted or not.
            const bool fittedOnly = f.name == "InjEnable";
            for (int i = 0; i < f.count; ++i) {
                double wa = WireNumber(f, a, i), wb = WireNumber(f, b, i);
                if (fittedOnly) {
                    wa = wa != 0;
                    wb = wb != 0;
                }
                if (wa == wb) continue;
                out.push_back({f.ElementName(i), static_cast<ParamPart>(block), f.ImageValue(a, i),
                               f.ImageValue(b, i), f.decimals});
            }
        }
    }
    if (!first.hasTable || !second.hasTable || !first.table || !second.table) return out;
    const CorTableArray& ta = *first.table;
    const CorTableArray& tb = *second.table;
    const int held = std::min(first.tableEntries, second.tableEntries);
    if (model && held >= kCorTableSize) {
        const std::vector<ModelValue> ma = model(a, ta);
        const std::vector<ModelValue> mb = model(b, tb);
        for (size_t i = 0; i < ma.size() && i < mb.size(); ++i) {
            if (ModelCounts(ma[i]) == ModelCounts(mb[i])) continue;
            out.push_back({ma[i].name, ParamPart::Model, ma[i].value, mb[i].value, ma[i].decimals});
        }
    }
    for (int k = 0; k < kCorTimeEntries && k < held; ++k) {
        const double va = a.CorEntryOnWire(k, ta[static_cast<size_t>(k)]);
        const double vb = b.CorEntryOnWire(k, tb[static_cast<size_t>(k)]);
        if (va == vb) continue;
        out.push_back(
            {QStringLiteral("CorTable%1").arg(k), ParamPart::Table, va, vb, kTableDecimals});
    }
    return out;
}

ParamSide ParamFileRead::Side() const {
    ParamSide s;
    s.image = image.get();
    s.table = image ? &image->CorTable : nullptr;
    s.hasBlock2 = hasBlock2;
    s.hasBlock3 = hasBlock3;
    s.hasBlock5 = hasBlock5;
    s.hasTable = hasTable;
    s.tableEntries = std::max(report.corEntries, 0);
    return s;
}

ParamFileRead ReadParamFileForCompare(const QString& path, const ParamImage& base,
                                      const ParamLoadOptions& options) {
    ParamFileRead r;
    QStringList lines;
    if (!ReadLatin1Lines(path, lines)) return r;
    for (const QString& raw : lines) {
        const QString line = raw.trimmed();
        r.hasBlock2 |= line.startsWith(QLatin1String("B2"));
        r.hasBlock3 |= line.startsWith(QLatin1String("B3"));
        r.hasBlock5 |= line.startsWith(QLatin1String("B5"));
        r.hasTable |= line == QLatin1String("[COR]");
    }
    r.image = std::make_unique<ParamImage>(base);
    r.image->SetHost(nullptr);
    ParamLoadOptions quiet = options;
    quiet.reportBadLines = false;
    ParamLoadReport report;
    // Without a link the file goes into the image only, as a load with the
    // link stopped would put it there.
    LoadParamFile(path, *r.image, nullptr, quiet, &report);
    r.found = report.fileFound;
    r.badLines = report.badLines;
    r.report = report;
    return r;
}

ParamSide EcuSide(const EcuSession& session) {
    ParamSide s;
    s.image = &session.Image();
    s.table = &session.Image().CorTableEcu;
    s.hasBlock5 = session.HasBlock5();
    return s;
}

FileCompareResult CompareFileWithEcu(const EcuSession& session, const QString& path) {
    FileCompareResult r;
    const ParamFileRead file =
        ReadParamFileForCompare(path, session.Image(), session.LoadOptions());
    r.found = file.found;
    r.badLines = file.badLines;
    r.report = file.report;
    if (file.Usable()) {
        r.differences = CompareParams(file.Side(), EcuSide(session));
        r.notInFile = file.NotInFile();
    }
    return r;
}

}  // namespace gascal
