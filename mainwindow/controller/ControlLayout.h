// The control layout file: a text file that moves, sizes, hides, aligns and
// colours the controls of a page, so a page can be rearranged for a
// customer without rebuilding the program. The expert page reads
// \LNG\exp.cfg.
//
// A page's records stand between its start and end lines; everything else
// is ignored. One record per control:
//   [Name]     the control's name
//   [Index]    its index in its control array; a value that is not a
//              number means the control is in no array
//   then, in any order, a key line and its value line: [Visible] (a truth
//   value), [Width], [Height], [Top], [Left] (twips), [Alignment] (0 left,
//   1 right, 2 centre), [BackColor], [ForeColor] (colour numbers)
//   [EndName]
//
// The file is read as fields: a field ends at a comma or at the end of the
// line, blanks around it are dropped (so "1200,5" is the field "1200" and
// then the field "5"). A record whose control the page does not have is
// skipped, its lines read like any other. An empty value leaves its
// property as it is. Reading stops at the page's end line or the end of the
// file. This part knows no widgets: it turns the file into records; the
// page applies them to its controls by name, ignoring any value that its
// control cannot take.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <optional>
#include <vector>

namespace gascal {

inline constexpr char kExpertLayoutPath[] = "\\LNG\\exp.cfg";
inline constexpr char kExpertLayoutStart[] = "[Sessione pagina Expert]";
inline constexpr char kExpertLayoutEnd[] = "[Fine pagina Expert]";

enum class LayoutKey : uint8_t {
    Visible,
    Width,
    Height,
    Top,
    Left,
    Alignment,
    BackColor,
    ForeColor
};

struct LayoutValue {
    LayoutKey key = LayoutKey::Visible;
    QString text;  // the value field as read (trimmed)
    bool operator==(const LayoutValue&) const = default;
};

struct LayoutRecord {
    QString name;
    std::optional<int> index;         // none: the control is in no array
    std::vector<LayoutValue> values;  // in file order
    bool operator==(const LayoutRecord&) const = default;
};

// Tells whether the page has the control of that name (and index).
using ControlExists = std::function<bool(const QString& name, std::optional<int> index)>;

// The fields of the lines, in order (an empty line is one empty field).
QStringList LayoutFields(const QStringList& lines);

// The records of the page's section.
std::vector<LayoutRecord> ReadLayoutRecords(const QStringList& lines, const QString& startLine,
                                            const QString& endLine, const ControlExists& exists);
// The same from a file; false (and no records) when there is no file.
bool ReadLayoutFile(const QString& path, const QString& startLine, const QString& endLine,
                    const ControlExists& exists, std::vector<LayoutRecord>& records);

// The value of a field as its property takes it; nothing when the text is
// no such value (the property then stays as it is).
std::optional<bool> LayoutTruth(const QString& text);
// Whole numbers: decimal (a decimal point is rounded away) or "&H" hexadecimal.
std::optional<long long> LayoutNumber(const QString& text);

}  // namespace gascal
