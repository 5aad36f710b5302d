// Texts of the error window, the expert page and the comparison with a
// parameter file, from the dictionary. The windows' captions stand in
// sections of the dictionary that start at a marker entry ("[FrmErrEcu]",
// "[FrmSetExpert]"); the messages and the menu entry have fixed entry
// numbers (docs/dictionary.md), each with an English text for a dictionary
// that lacks the entry.
#pragma once

#include <QString>
#include <QStringList>

namespace gascal {

class EcuSession;

enum class WinText {
    MsgSemiSequentialKeyOn,  // ChkSingleChComm refused while the key is on
    CmdChangeStatoEcu,       // the expert page's ECU mode button
    MsgErrorsNotCleared,     // "Canc." without the ECU's confirmation
    MenuCompare,             // File menu: "Compare with file..."
    CompareTitle,
    CompareNone,
    CompareSome,  // followed by the number of differences
    CompareField,
    CompareFile,
    CompareEcu,
    CompareBadFile,  // followed by the path and the lines
    Count
};

struct WinTextEntry {
    WinText id;
    int entry;
    const char* english;
};
const WinTextEntry& WindowTextInfo(WinText id);

// The text in the session's language (the English text when the
// dictionary has no such entry).
QString WindowText(const EcuSession& session, WinText id);

// The `count` entries that follow the marker entry of a window's section, in
// the session's language; an entry the section does not have is empty (so is
// every entry when the marker is missing).
QStringList SectionTexts(const EcuSession& session, const QString& marker, int count);

}  // namespace gascal
