// Parameter files: a whole configuration of the ECU (blocks 2, 3 and 5, the
// correction and the adaptive table) as text, saved from the image and
// loaded into another ECU. The installation's default set \LNG\Default.Xar
// has the same form. Also the diagnostic dump \TEMPI4.TXT of the correction
// table.
//
// File form, one item per line, CR LF line ends:
//   [INFO]
//    Software ver. 01.01.05 <product title>, file created <date time>
//   [BLK2]  B2<28 hex digits>
//   [BLK3]  B3<148 hex digits>
//   [BLK5]  B5<46 hex digits>      (only for firmware above version 132)
//   [COR]   192 reals
//   [ADT]   192 reals
// A real is written with a leading space when not negative, up to 15
// significant digits and a decimal comma.
#pragma once

#include <QString>
#include <QStringList>
#include <optional>

namespace gascal {

class ParamImage;
class ParamLink;

inline constexpr char kSoftwareVersionText[] = " Software ver. 01.01.05";

// A real as the tool writes it to a text file: " 0,5", "-1,25", " 1E-05".
QString FormatReal(double value);
// The same without the leading space of a non-negative value.
QString FormatRealBare(double value);
// Reads a real written by FormatReal (a decimal point is accepted too);
// nullopt when the text is not a number.
std::optional<double> ParseReal(const QString& text);

// The lines a parameter file holds for the image, building the block
// payloads on a copy so that the image and its pending edits stay as they are.
QStringList ParamFileLines(const ParamImage& image, int ecuVersion, const QString& productTitle);

// Writes the file atomically. On failure the old file stays, a message is
// shown and false is returned.
bool SaveParamFile(const QString& path, const ParamImage& image, int ecuVersion,
                   const QString& productTitle);

struct ParamLoadOptions {
    // The installation's default set; loading it adapts the cylinder count
    // to the ECU's test data.
    QString defaultSetPath;
    QString sl6Cil, sl8Cil;
    // Show a warning listing the lines that could not be read.
    bool reportBadLines = true;
    // The ECU the file is meant for has a block 5: a file without a "B5"
    // line is partial for it. (With a link the link's firmware decides.)
    bool block5Expected = false;
};

// The range of a correction-table entry that the ECU can hold, in the
// table's units: the times (entries 0 to 183) as far as a 16-bit count of
// `kInj` reaches, OFFSET (184) and ALFA (185) within the line model's
// limits, the breakpoints (186 to 191) between table step 0 and the line's
// end at step 157.
struct CorEntryRange {
    double min = 0, max = 0;
    int decimals = 3;
    QString name;  // "entry 57 (ms)", "OFFSET (ms)", "ALFA", "breakpoint 3 (table steps)"
};
inline constexpr double kCorOffsetMaxMs = 31;  // the model's highest gas time
inline constexpr double kCorAlfaMax = 2;
inline constexpr int kCorBreakMax = 157;  // the line's end, in table steps
CorEntryRange CorEntryLimits(int index, double kInj);

// What a load found in the file (line numbers count from 1).
struct ParamLoadReport {
    bool fileFound = false;
    QStringList badLines;    // malformed lines: "line N: <reason>"
    QStringList outOfRange;  // values the ECU cannot hold: "line N: ... outside MIN to MAX"
    QStringList missing;     // what the file does not hold: "[BLK2]", "[COR] entries 135 to 191"
    bool hasBlock2 = false, hasBlock3 = false, hasBlock5 = false;
    int corEntries = -1, adtEntries = -1;  // values read after "[COR]" / "[ADT]"; -1 no section
    // Neither a block line nor a table section: whatever the file is, it is
    // not a parameter file.
    bool NotParameterFile() const {
        return fileFound && !hasBlock2 && !hasBlock3 && !hasBlock5 && corEntries < 0 &&
               adtEntries < 0;
    }
    // Loaded, it would change only part of the configuration (sections
    // missing or cut short, lines that cannot be read).
    bool Partial() const { return !missing.isEmpty() || !badLines.isEmpty(); }
};

// The text that names what is wrong with a file: not a parameter file,
// values out of range, what is missing and the malformed lines (at most
// ten lines of each, then a count).
QString ParamFileProblems(const ParamLoadReport& report);

// Reads the file into the image and writes blocks 2, 3 (5) and the
// correction table to the ECU. A table value the ECU cannot hold is left
// out like a malformed line (its entry keeps its value) and reported in
// `outOfRange`; the callers refuse such a file before loading it. True when everything was written.
// With the link stopped (or no link) the image is loaded, nothing is sent, and the result is false;
// a link stopped in the middle of the load leaves the rest of the file applied to the image,
// unsent. A block the ECU does not take puts that block and the ones after it back as they were,
// pending edits included. An ECU without block 5 keeps its own block 5 in every case.
bool LoadParamFile(const QString& path, ParamImage& image, ParamLink* link,
                   const ParamLoadOptions& options = {}, ParamLoadReport* report = nullptr);

// Reads only the first block-5 line of a parameter file into the image.
// A missing file shows the "SYSTEM ERROR" box.
void LoadBlock5FromFile(const QString& path, ParamImage& image);

// Writes the correction table dump (192 quoted lines). False when the file
// could not be written.
bool WriteCorDump(const ParamImage& image, const QString& path);

}  // namespace gascal
