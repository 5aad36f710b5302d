// gascal-cli upgrade: the window's firmware upgrade from the command line,
// the same procedure (ecu/FirmwareUpgrade) on a connected ECU session.
//
//   upgrade [--yes] [--force] [--backup FILE] [--skip-failed]
//
// A progress bar goes to standard error. Before the ECU is changed the
// fitter is asked whether to erase and write, unless --yes answers that one
// question; once agreed, the configuration is written to the ECU's restore
// point, or to --backup's file (its path is printed). An ECU that runs the file's firmware already
// has nothing to do unless --force is given. A chunk that fails three times stops the upgrade as
// failed; with --skip-failed it is left out and the upgrade ends incomplete (never as a success).
// An ECU found waiting for its program after an interrupted upgrade is written again and its
// configuration restored from the backup of its interrupted upgrade: --backup FILE, or the one
// unfinished upgrade's restore point of its serial number; when that is not clear the candidates
// are listed and nothing is done. SIGINT and SIGTERM end the upgrade at the next safe point.
#pragma once

#include <QString>
#include <QStringList>
#include <QTextStream>
#include <functional>

namespace gascal {

class EcuSession;

struct UpgradeCommand {
    bool yes = false;
    bool force = false;
    bool skipFailed = false;
    QString backup;
};

// The command's own arguments; false with `error` for a usage mistake.
bool ParseUpgradeArgs(const QStringList& args, UpgradeCommand& command, QString* error);

// Runs the upgrade on a connected session; the exit code: 0 complete or
// nothing to do, 3 the ECU did not answer before anything was changed, 4 a
// file could not be used (firmware file, backup), 5 an ECU this installation
// does not serve, 7 failed, incomplete, interrupted, refused or declined, or
// a backup to be chosen. `interrupted` tells whether SIGINT or SIGTERM came.
int RunUpgradeCommand(EcuSession& session, const UpgradeCommand& command, QTextStream& out,
                      QTextStream& err, QTextStream& in,
                      const std::function<bool()>& interrupted = {});

}  // namespace gascal
