#include "app/gascal-cli/CliUpgrade.h"

#include <QFileInfo>
#include <cmath>

#include "app/gascal-cli/Cli.h"
#include "common/EventService.h"
#include "common/Helpers.h"
#include "ecu/Captions.h"
#include "ecu/EcuSession.h"
#include "ecu/FirmwareCheck.h"
#include "ecu/FirmwareUpgrade.h"
#include "link/firmware/FlashImage.h"

namespace gascal {

namespace {
constexpr int kBarWidth = 40;

QString Seconds(double us) {
    return QString::number(us / 1e6, 'f', 1);
}

// What the upgrade's stop means for a script.
int ExitCode(const FirmwareUpgrade& up) {
    if (up.Outcome() == UpgradeOutcome::Complete) return CLI_OK;
    if (up.StopReason() == UpgradeStop::NothingToDo) return CLI_OK;
    if (up.EcuTouched()) return CLI_UPGRADE;
    switch (up.StopReason()) {
        case UpgradeStop::Link:
            return CLI_LINK;
        case UpgradeStop::FirmwareFile:
        case UpgradeStop::Backup:
        case UpgradeStop::DefaultSet:
            return CLI_FILE;
        default:
            return CLI_UPGRADE;
    }
}

// The progress bar of the writing on one line, the other steps on their own.
class Progress {
  public:
    explicit Progress(QTextStream& err) : err_(err) {}
    void Show(const FirmwareUpgrade& up) {
        const UpgradeStep step = up.Step();
        if (step != step_) {
            if (barShown_) err_ << "\n";
            barShown_ = false;
            step_ = step;
            const QString label = FirmwareUpgrade::StepLabel(step).trimmed();
            if (!label.isEmpty()) err_ << label << "\n";
            err_.flush();
            percent_ = -1;
        }
        if (step != UpgradeStep::WriteMemory) return;
        const int percent = static_cast<int>(std::floor(up.Progress() * 100));
        if (percent == percent_) return;
        percent_ = percent;
        const int filled = percent * kBarWidth / 100;
        err_ << "\r[" << QString(filled, QLatin1Char('#'))
             << QString(kBarWidth - filled, QLatin1Char('.')) << "] "
             << QStringLiteral("%1").arg(percent, 3) << " %";
        err_.flush();
        barShown_ = true;
    }
    void End() {
        if (barShown_) err_ << "\n";
        barShown_ = false;
    }

  private:
    QTextStream& err_;
    UpgradeStep step_ = UpgradeStep::None;
    int percent_ = -1;
    bool barShown_ = false;
};
}  // namespace

bool ParseUpgradeArgs(const QStringList& argsIn, UpgradeCommand& command, QString* error) {
    QStringList args = argsIn;
    command = UpgradeCommand();
    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == QLatin1String("--yes")) {
            command.yes = true;
        } else if (a == QLatin1String("--force")) {
            command.force = true;
        } else if (a == QLatin1String("--skip-failed")) {
            command.skipFailed = true;
        } else if (a == QLatin1String("--backup")) {
            if (i + 1 >= args.size() || args[i + 1].isEmpty()) {
                if (error) *error = QStringLiteral("--backup needs a FILE");
                return false;
            }
            command.backup = args[++i];
        } else {
            if (error) *error = QStringLiteral("upgrade: unexpected argument %1").arg(a);
            return false;
        }
    }
    return true;
}

namespace {
// Runs the machine's posted steps until it waits for a button or is over.
void RunUntilWaiting(FirmwareUpgrade& up, const std::function<bool()>& interrupted) {
    constexpr double kLookUs = 50000;
    while (!up.Waiting()) {
        WaitForEvents(MicroSeconds() + kLookUs);
        if (interrupted && interrupted()) up.Interrupt();
    }
}
}  // namespace

int RunUpgradeCommand(EcuSession& session, const UpgradeCommand& command, QTextStream& out,
                      QTextStream& err, QTextStream& in, const std::function<bool()>& interrupted) {
    ClsComm& comm = session.Comm();
    // The port found by a search is remembered, as after any connection.
    if (comm.FlagRicercaCom() != SEARCH_OFF) comm.StopSearchAndRemember();
    const QString firmwarePath = FirmwareFilePath();
    if (!FileExists(firmwarePath) || comm.FirmwareFle().isEmpty()) {
        err << FirmwareFileMessage(session.Lookup(), firmwarePath,
                                   FileExists(firmwarePath) ? comm.FirmwareFileError() : QString())
            << "\n";
        return CLI_FILE;
    }
    const QString file = comm.FirmwareFleVersStr() + QLatin1Char(' ') + comm.FirmwareFleDataStr();
    const bool waiting = EcuWaitsForProgram(session);
    if (!waiting) {
        const QString ecu =
            comm.FirmwareEcuVersStr() + QLatin1Char(' ') + comm.FirmwareEcuDataStr();
        switch (JudgeFirmware(comm.FirmwareEcu(), comm.FirmwareFle())) {
            case FirmwareVerdict::Incompatible:
                err << "This ECU's project (" << comm.DescProgettoEcu_CODICE().trimmed()
                    << ") does not match the firmware file's ("
                    << comm.DescProgettoFle_CODICE().trimmed() << "): it is not upgraded.\n";
                return CLI_INCOMPATIBLE;
            case FirmwareVerdict::EcuNewer:
                err << "The ECU's firmware (" << ecu << ") is newer than the firmware file ("
                    << file << "): it is not upgraded.\n";
                return CLI_INCOMPATIBLE;
            case FirmwareVerdict::Accepted:
                if (!command.force) {
                    err << "The ECU runs the firmware of the file (" << ecu
                        << "): nothing to do.\n";
                    return CLI_OK;
                }
                err << "The ECU runs the firmware of the file (" << ecu
                    << "): it is written again (--force).\n";
                break;
            case FirmwareVerdict::UpgradeNeeded:
            case FirmwareVerdict::UpgradeOffered:
                err << "Upgrading the ECU from " << ecu << " to " << file << ".\n";
                break;
        }
        // An earlier backup is never overwritten.
        if (!command.backup.isEmpty() && QFileInfo::exists(command.backup)) {
            err << "The backup file exists already: " << command.backup
                << "\nGive another name; nothing was changed.\n";
            return CLI_FILE;
        }
    }
    err.flush();

    FirmwareUpgrade::Options options;
    options.skipFailedChunks = command.skipFailed;
    options.backupPath = command.backup;
    options.force = command.force;
    options.interrupted = interrupted;
    options.confirmErase = [&](const QString&) {
        if (command.yes) return true;
        err << "Erase the ECU's flash and write firmware " << file << "? [y/N] ";
        err.flush();
        const QString answer = in.readLine().trimmed().toLower();
        return answer == QLatin1String("y") || answer == QLatin1String("yes");
    };
    FirmwareUpgrade up(session, options);
    Progress progress(err);
    bool backupShown = false;
    up.OnChanged([&] {
        // The backup is written once the fitter agreed, before the ECU is changed.
        if (!backupShown && up.EcuTouched() && !up.Resuming() && !up.BackupPath().isEmpty()) {
            err << "Configuration saved to " << up.BackupPath() << "\n";
            backupShown = true;
        }
        progress.Show(up);
    });

    up.Next();
    RunUntilWaiting(up, interrupted);
    if (up.Stage() != UpgradeStage::Ready) {
        progress.End();
        err << up.Message().trimmed() << "\n";
        return ExitCode(up);
    }
    if (up.Resuming()) err << up.Message().trimmed() << "\n";
    up.Next();
    RunUntilWaiting(up, interrupted);
    progress.End();
    err << up.Message().trimmed() << "\n";
    const FirmwareUpgrade::Figures& f = up.Counts();
    const double writing =
        f.writeStartUs > 0 ? (f.writeEndUs > 0 ? f.writeEndUs : f.endUs) - f.writeStartUs : 0;
    if (up.EcuTouched())
        err << "Upgrade time " << Seconds(f.endUs - f.startUs) << " s; writing " << Seconds(writing)
            << " s, " << f.sent << " chunks sent, " << f.blank << " erased chunks not sent"
            << (f.skipped ? QStringLiteral(", %1 skipped").arg(f.skipped) : QString()) << ".\n";
    if (up.Outcome() == UpgradeOutcome::Complete) {
        out << "FirmwareEcu: " << comm.FirmwareEcu() << "\n";
        out << "Backup: " << up.BackupPath() << "\n";
    } else if (!up.BackupPath().isEmpty() && up.EcuTouched()) {
        out << "Backup: " << up.BackupPath() << "\n";
    }
    return ExitCode(up);
}

}  // namespace gascal
