// Comparing two configurations of the ECU: a parameter file with the
// connected ECU, or two parameter files with each other. The window's
// "Compare with file..." and `gascal-cli diff` both use it.
//
// What is compared is what a load of the file would write: the fields of
// blocks 2, 3 and 5 by the image's field table (ParamFields.h), each by its
// number on the wire and named and shown in the image's units; the
// correction table's line model (its slope, offset and seven points); and
// the table's 184 time entries one by one, as they travel. A part that one side
// does not hold (a file without block 5, an ECU whose firmware has none) is
// not compared, and neither are the entries after a "[COR]" section cut
// short: "No differences" means a load would change nothing. `WorkMode`,
// `Mem2Byte1`, `EcuMode` and the hour counters are never taken from a file,
// so they never differ.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <vector>

#include "data/core/ParamFile.h"
#include "data/core/ParamImage.h"

namespace gascal {

class EcuSession;

// One side of a comparison.
struct ParamSide {
    const ParamImage* image = nullptr;
    // The correction table of this side: a file's CorTable, the ECU's
    // CorTableEcu (the table as last read).
    const CorTableArray* table = nullptr;
    bool hasBlock2 = true;
    bool hasBlock3 = true;
    bool hasBlock5 = true;
    bool hasTable = true;
    // Correction-table entries the side holds from 0 on (a "[COR]" section
    // cut short holds fewer): the entries after them are not compared, nor
    // the model unless both sides hold all 192.
    int tableEntries = kCorTableSize;
};

// A value of the correction table's model, under the model's own name. Two
// sides' values differ when they differ in the shown decimals (the model's
// arithmetic rounds differently for another slope or offset).
struct ModelValue {
    QString name;
    double value = 0;
    int decimals = 3;
};

// Reads the model out of a correction table.
using CorModelReader =
    std::function<std::vector<ModelValue>(const ParamImage& image, const CorTableArray& table)>;

// The line model the Modeling tab rebuilds from the table (LineModel.h),
// each entry taken as it travels: ALFA, OFFSET and the seven points ModX0,
// ModY0 to ModX6, ModY6 (ms).
std::vector<ModelValue> CorModelFromLineModel(const ParamImage& image, const CorTableArray& table);

enum class ParamPart : uint8_t { Block2 = 2, Block3 = 3, Block5 = 5, Model = 6, Table = 7 };

struct ParamDifference {
    QString name;  // "SwitchRpm", "InjTrim2", "ALFA", "CorTable57"
    ParamPart part = ParamPart::Block3;
    double first = 0;
    double second = 0;
    int decimals = 0;  // how the values are printed
};

// Every difference, in the order blocks 2, 3, 5, the model, the table
// entries CorTable0 to CorTable183.
std::vector<ParamDifference> CompareParams(const ParamSide& first, const ParamSide& second,
                                           const CorModelReader& model = CorModelFromLineModel);

// A parameter file read for a comparison, nothing sent: the file applied to
// a copy of `base` as a load would apply it (`base` gives the scale factors
// and what the file never carries).
struct ParamFileRead {
    bool found = false;
    QStringList badLines;    // "line N: <reason>"; a file with any is not compared
    ParamLoadReport report;  // what the file holds, lacks and cannot give
    std::unique_ptr<ParamImage> image;
    bool hasBlock2 = false, hasBlock3 = false, hasBlock5 = false, hasTable = false;
    // A parameter file whose every line could be read and whose values the
    // ECU can hold; it may be partial (see NotInFile).
    bool Usable() const {
        return found && badLines.isEmpty() && report.outOfRange.isEmpty() &&
               !report.NotParameterFile() && image;
    }
    // What the file does not hold ("[BLK5]", "[COR] entries 100 to 191"):
    // not compared, since a load leaves it as the ECU has it.
    QStringList NotInFile() const { return report.missing; }
    ParamSide Side() const;
};
ParamFileRead ReadParamFileForCompare(const QString& path, const ParamImage& base,
                                      const ParamLoadOptions& options);

// The ECU as the session last read it: its blocks (block 5 when its
// firmware has one) and the correction table it holds.
ParamSide EcuSide(const EcuSession& session);

// The window's comparison: a parameter file (first) with the ECU as last
// read (second).
struct FileCompareResult {
    bool found = false;
    QStringList badLines;
    ParamLoadReport report;
    bool Usable() const {
        return found && badLines.isEmpty() && report.outOfRange.isEmpty() &&
               !report.NotParameterFile();
    }
    std::vector<ParamDifference> differences;
    QStringList notInFile;
};
FileCompareResult CompareFileWithEcu(const EcuSession& session, const QString& path);

}  // namespace gascal
