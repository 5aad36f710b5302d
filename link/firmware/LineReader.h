// Reads the system's text files as lists of lines. A file is either plain
// Latin-1 text with CR LF line ends, or scrambled: every stored line is the
// reverse of a string of 4-digit decimal groups, one group per character,
// where the group's value halved (remainder dropped) is the character code.
// A scrambled file starts with a line that decodes to the header word
// "VESPARIUM". The firmware file and several configuration files are read
// through here; the encoder lets tests and tools write scrambled files.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>

namespace gascal {

// The header word of every scrambled file.
inline constexpr char kScrambledHeader[] = "VESPARIUM";

// Decodes one stored line. Empty when a group is not four decimal digits or
// its half exceeds 255; an empty stored line decodes to an empty text.
std::optional<QString> DecodeScrambledLine(const QString& stored);
// Encodes one plain line. `seed` chooses the low bit of each group (which
// the decoder drops); characters outside Latin-1 are stored as "?".
QString EncodeScrambledLine(const QString& plain, uint32_t seed = 0);

// A whole scrambled file: the header line, then every line encoded, each
// line ended by CR LF.
QByteArray EncodeScrambled(const QStringList& lines, uint32_t seed = 0x5EED);
QByteArray EncodeScrambled(const QStringList& lines, const QString& header, uint32_t seed);
// Writes a scrambled file atomically (temporary file and rename).
bool WriteScrambledFile(const QString& path, const QStringList& lines, uint32_t seed = 0x5EED);

// The outcome of reading a file with all the detail a careful caller needs.
struct LineReadResult {
    bool exists = false;       // the file could be opened and read
    bool scrambled = false;    // read as a scrambled file
    bool headerWrong = false;  // read as scrambled but the header word did not match
    QStringList lines;         // decoded lines (the header line is not included)
    int firstLineNumber = 1;   // file line number of lines[0] (2 after a header)
    // File line numbers (1-based) of scrambled lines that did not decode;
    // each of them is an empty text in `lines`.
    QList<int> badLines;
};

// True when the file exists and its first line decodes to the header word.
bool IsScrambledFile(const QString& path);
// Decodes every line after the header. When the first line is not the
// header word the box "HEADER WRONG " (title "FileExist") is shown and only
// that decoded first line is returned.
QStringList ReadScrambledFile(const QString& path);
// The file's lines split at CR LF (a bare LF also ends a line).
QStringList ReadPlainFile(const QString& path);
// Scrambled reader when the file is scrambled, else the plain reader.
QStringList ReadLines(const QString& path);
// The same choice, reporting whether the file exists and which stored lines
// did not decode, so a loader can refuse a damaged file.
LineReadResult ReadLinesChecked(const QString& path);

}  // namespace gascal
