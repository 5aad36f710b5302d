#include "ecu/UpgradeTexts.h"

#include <array>

#include "data/core/ClsLingue.h"
#include "data/core/ParamFile.h"
#include "ecu/EcuSession.h"
#include "ecu/FirmwareCheck.h"

namespace gascal {

namespace {

struct TextEntry {
    UpText id;
    int entry;
    const char* english;
};

const std::array<TextEntry, static_cast<size_t>(UpText::Count)> kTexts{{
    {UpText::UpdateCaption, 400, "Firmware upgrade"},
    {UpText::MsgCommFailure, 401, "Communication with the ECU failed."},
    {UpText::MsgNotAllowed, 402,
     "The upgrade is not allowed while the engine turns or the ignition key is on. Stop the "
     "engine, turn the key off and press Next again."},
    {UpText::MsgInvitation, 403,
     "Ready. The ECU's configuration is saved, its firmware is erased and written again and the "
     "configuration is written back. Do not disconnect the cable or switch off until the end. "
     "Press Next to start."},
    {UpText::MsgCompleted, 404,
     "Upgrade completed: the ECU runs the new firmware with its configuration."},
    {UpText::MsgAborted, 405, "Upgrade cancelled: the ECU was not changed."},
    {UpText::MsgIncomplete, 406,
     "The upgrade is incomplete: part of the firmware could not be written and the ECU waits for "
     "its program. Run the upgrade again. The configuration is kept in:"},
    {UpText::MsgFailed, 407,
     "The upgrade did not complete and the ECU may wait for its program. Run the upgrade again. "
     "The configuration is kept in:"},
    {UpText::MsgResume, 408,
     "The ECU waits for its firmware after an interrupted upgrade. Press Next to write it; the "
     "configuration is then restored from:"},
    {UpText::MsgNoBackup, 409,
     "The ECU waits for its firmware after an interrupted upgrade, but no restore point of an "
     "upgrade of its configuration was found. Nothing was changed."},
    {UpText::MsgBackupFailed, 410,
     "The configuration could not be saved to a backup file; nothing was changed:"},
    {UpText::MsgFileNotVerified, 411,
     "The firmware file could not be verified; nothing was changed."},
    {UpText::MsgDefaultSetMissing, 412,
     "The default parameter set holds no block 5 for this ECU; nothing was changed:"},
    {UpText::MsgIdentityMismatch, 413,
     "After writing, the ECU does not report the firmware of the file."},
    {UpText::MsgBackupSaved, 414, "Configuration saved to:"},
    {UpText::MsgNotStarted, 415, "The upgrade did not start: the ECU was not changed."},
    {UpText::MsgLinkLost, 416, "The ECU stopped answering."},
    {UpText::MsgBackupUnusable, 417,
     "The backup of the interrupted upgrade cannot be used; nothing was changed:"},
    {UpText::MsgChunkRefused, 418, "A part of the firmware could not be written at address"},
    {UpText::MsgInterrupted, 419,
     "The upgrade was interrupted and is incomplete: the ECU waits for its program. Run the "
     "upgrade again to finish it; the configuration is kept in:"},
    {UpText::MsgNothingToDo, 423,
     "The ECU runs the firmware of the file already, version and date alike: nothing to do."},
    {UpText::MsgChooseBackup, 424,
     "The ECU waits for its firmware after an interrupted upgrade. Choose the backup of this "
     "ECU's configuration (serial number, time, file); nothing was changed:"},
    {UpText::MsgProgrammingState, 425,
     "The ECU is in programming state: an upgrade was interrupted and the ECU waits for its "
     "program. Run the upgrade again to finish it."},
    {UpText::MsgConfigNotHeld, 429,
     "The ECU runs the new firmware but does not keep its configuration as written back; load "
     "it from the backup. Parts that differ:"},
    {UpText::MenuInfo, 420, "&Info"},
    {UpText::MenuAbout, 421, "&About..."},
    {UpText::StartUpCaption, 422, "About"},
}};

// English lines of the About box when the dictionary has no "[Frm_About]".
const char* const kAboutLines[] = {
    "ECU firmware: ", "File firmware: ", "Hours on gas: ", "Hours on petrol: "};

}  // namespace

int UpgradeTextEntry(UpText id) {
    return kTexts[static_cast<size_t>(id)].entry;
}

QString UpgradeText(UpText id, const std::function<QString(int)>& lookup) {
    const TextEntry& t = kTexts[static_cast<size_t>(id)];
    if (lookup) {
        const QString s = lookup(t.entry);
        if (!s.isEmpty()) return s;
    }
    return QString::fromLatin1(t.english);
}

QString OperatingSystemLine(const OsVersionRecord& os) {
    const QString major = os.version.section(QLatin1Char('.'), 0, 0);
    const QString minor = os.version.section(QLatin1Char('.'), 1, 1);
#ifdef Q_OS_WIN
    return QStringLiteral("Windows version: %1 %2 build %3 (%4)")
        .arg(major, minor)
        .arg(os.build)
        .arg(os.servicePack);
#else
    // Another system is named as it names itself, never as a Windows: its
    // name, its version and the kernel's release.
    return QStringLiteral("Operating system: %1, version %2.%3, kernel %4")
        .arg(os.name, major, minor.isEmpty() ? QStringLiteral("0") : minor, os.servicePack);
#endif
}

QString AboutVersionText(const EcuSession& session, const OsVersionRecord& os) {
    // L1..L4 are the four entries after the marker in the current language.
    QString lines[4];
    for (int i = 0; i < 4; ++i) lines[i] = QString::fromLatin1(kAboutLines[i]);
    const ClsLingue& lng = session.Lingue();
    const int id = session.Language();
    for (int i = 0; i <= lng.UboundVociLingua(id); ++i) {
        if (lng.VoceDizionario(id, i) != QLatin1String(kAboutMarker)) continue;
        for (int k = 0; k < 4; ++k) {
            const QString t = lng.VoceDizionario(id, i + 1 + k);
            if (!t.isEmpty()) lines[k] = t;
        }
        break;
    }
    const ClsComm& comm = session.Comm();
    const Mem2Fields& m2 = session.Image().Mem2Block;
    const auto hours = [](double minutes) {
        return QString::number(static_cast<long long>(minutes) / 60);
    };
    QString t;
    t += QStringLiteral("\n") + QString::fromLatin1(kSoftwareVersionText) + QStringLiteral("\n\n");
    t += lines[0] + comm.FirmwareEcuDataStr() + QStringLiteral(" - ") + comm.FirmwareEcuVersStr() +
         QStringLiteral("\n");
    t += lines[1] + comm.FirmwareFleDataStr() + QStringLiteral(" - ") + comm.FirmwareFleVersStr() +
         QStringLiteral("\n\n");
    t += lines[2] + hours(m2.HoursCounter1) + QStringLiteral("\n");
    t += lines[3] + hours(m2.HoursCounter2) + QStringLiteral("\n\n\n");
    t += OperatingSystemLine(os);
    return t;
}

bool FirmwareFileIsNewer(const EcuSession& session) {
    const ClsComm& comm = session.Comm();
    if (comm.FirmwareEcu().isEmpty() || comm.FirmwareFle().isEmpty()) return false;
    const FirmwareVerdict v = JudgeFirmware(comm.FirmwareEcu(), comm.FirmwareFle());
    return v == FirmwareVerdict::UpgradeNeeded || v == FirmwareVerdict::UpgradeOffered;
}

}  // namespace gascal
