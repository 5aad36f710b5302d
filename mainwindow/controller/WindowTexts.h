// Texts of the error window, the expert page and the comparison with a
// parameter file that have fixed entry numbers in the dictionary
// (docs/dictionary.md), each with an English text for a dictionary that
// lacks the entry. The windows' captions stand in sections of the
// dictionary that start at a marker entry ("[FrmErrEcu]", "[FrmSetExpert]",
// EcuSession::SectionTexts).
#pragma once

#include <QString>

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

}  // namespace gascal
