#include "app/gascal-cli/CliUpgrade.h"

#include <QFileInfo>
#include <cmath>

#include "app/gascal-cli/CliCommand.h"
#include "common/EventService.h"
#include "ecu/EcuSession.h"
#include "ecu/FirmwareUpgrade.h"
#include "ecu/SessionFacts.h"
#include "ecu/UpgradeTexts.h"

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
// The upgrade's message in the command line's words: the window's texts
// that send the fitter to its Next button say what to do here instead.
QString CommandLineText(const EcuSession& session, const FirmwareUpgrade& up) {
    const QString message = up.Message().trimmed();
    if (message == UpgradeText(UpText::MsgNotAllowed, session.Lookup()).trimmed())
        return QStringLiteral(
            "The upgrade is not allowed while the engine turns or the ignition key is on. Stop "
            "the engine, turn the key off and run the upgrade again.");
    return message;
}

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
    // The port found by a search is remembered, as after any connection.
    RememberFoundPort(session);
    if (const QString problem = FirmwareFileProblem(session); !problem.isEmpty()) {
        err << problem << "\n";
        return CLI_FILE;
    }
    const FirmwareSide fileSide = FileFirmware(session);
    const QString file = fileSide.version + QLatin1Char(' ') + fileSide.date;
    const bool waiting = EcuWaitsForProgram(session);
    if (!waiting) {
        const FirmwareSide ecuSide = EcuFirmware(session);
        const QString ecu = ecuSide.version + QLatin1Char(' ') + ecuSide.date;
        switch (JudgeSessionFirmware(session)) {
            case FirmwareVerdict::Incompatible:
                err << "This ECU's project (" << ecuSide.code.trimmed()
                    << ") does not match the firmware file's (" << fileSide.code.trimmed()
                    << "): it is not upgraded.\n";
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
        err << CommandLineText(session, up) << "\n";
        return ExitCode(up);
    }
    // The window waits for Next here; the command line goes on.
    if (up.Resuming())
        err << "The ECU waits for its firmware after an interrupted upgrade: it is written "
               "again now and its configuration restored from:\n"
            << up.BackupPath() << "\n";
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
        out << "FirmwareEcu: " << EcuFirmware(session).identity << "\n";
        out << "Backup: " << up.BackupPath() << "\n";
    } else if (!up.BackupPath().isEmpty() && up.EcuTouched()) {
        out << "Backup: " << up.BackupPath() << "\n";
    }
    return ExitCode(up);
}

std::vector<CliCommand> UpgradeCommands() {
    return {
        {"upgrade", AlwaysEcu,
         [](CliContext&, const QStringList& args) {
             UpgradeCommand command;
             QString error;
             if (!ParseUpgradeArgs(args, command, &error)) throw UsageError(error);
             return int(CLI_OK);
         },
         [](CliContext& cx, QStringList args) {
             UpgradeCommand command;
             ParseUpgradeArgs(args, command, nullptr);
             // Ctrl+C or SIGTERM ends the upgrade at its next safe point.
             InterruptGuard interrupts;
             return RunUpgradeCommand(cx.Ecu(), command, cx.out, cx.err, cx.Input(),
                                      [] { return InterruptGuard::Interrupted(); });
         },
         "upgrade [--yes] [--force] [--backup FILE] [--skip-failed]",
         "write the firmware file into the ECU (engine off,\n"
         "key off). Asks before erasing unless --yes; once\n"
         "agreed, the configuration is saved to a backup file\n"
         "(FILE, or the ECU's restore point, see history;\n"
         "its path is printed), written back and saved. An\n"
         "ECU on the file's firmware already has nothing to\n"
         "do unless --force.\n"
         "A chunk that fails three times stops it, with\n"
         "--skip-failed it ends incomplete; Ctrl+C ends it at\n"
         "the next safe point (exit 7). Run it again after an\n"
         "interruption: the ECU waiting for its program gets\n"
         "it, and its configuration from FILE or from the one\n"
         "unfinished upgrade point of its serial number; else\n"
         "the candidates are listed (exit 7)"},
    };
}

}  // namespace gascal
