// The texts of the firmware upgrade window (FrmUpdate), the start-up window
// and About box (FrmStartUp) and the Info menu: their dictionary entries
// (400..439 of \LNG\M3.diz) with the English text used when the dictionary
// lacks an entry, and the About box's version label. docs/dictionary.md
// lists the same numbers.
#pragma once

#include <QString>
#include <functional>

#include "common/Helpers.h"

namespace gascal {

class EcuSession;

enum class UpText {
    UpdateCaption,
    MsgCommFailure,
    MsgNotAllowed,
    MsgInvitation,
    MsgCompleted,
    MsgAborted,
    MsgIncomplete,
    MsgFailed,
    MsgResume,
    MsgNoBackup,
    MsgBackupFailed,
    MsgFileNotVerified,
    MsgDefaultSetMissing,
    MsgIdentityMismatch,
    MsgBackupSaved,
    MsgNotStarted,
    MsgLinkLost,
    MsgBackupUnusable,
    MsgChunkRefused,
    MsgInterrupted,
    MsgNothingToDo,
    MsgChooseBackup,
    MsgProgrammingState,
    MsgConfigNotHeld,
    MenuInfo,
    MenuAbout,
    StartUpCaption,
    Count
};

// The text in the session's language: `lookup(entry)` gives the dictionary
// text (empty when missing), otherwise the English fallback is used.
QString UpgradeText(UpText id, const std::function<QString(int)>& lookup);
// The dictionary entry of a text.
int UpgradeTextEntry(UpText id);

// The dictionary marker whose four following entries name the lines of the
// About box's version label.
inline constexpr const char* kAboutMarker = "[Frm_About]";

// The version label of the About box (LblVersioneVal): the program's
// version, both firmwares (date - version), the two hour counters of block 2
// in hours, and the operating system the tool runs on.
QString AboutVersionText(const EcuSession& session, const OsVersionRecord& os);

// The line of the operating system: on Windows "Windows version: major minor
// build N (service pack)", elsewhere "Operating system: <name>, version
// <major.minor>, kernel <release>".
QString OperatingSystemLine(const OsVersionRecord& os);

// The About box offers "Update firmware" when the firmware file is newer
// than the ECU's firmware (a higher version, or the same version dated
// later), by the rule of the firmware check.
bool FirmwareFileIsNewer(const EcuSession& session);

}  // namespace gascal
