// Where the programs find their installation folder, and the per-user copy
// of an installation that the user may not write to.
//
// The installation folder holds BIN and LNG. The tool writes into it (the
// port settings, the communication log, reports, recordings, the current
// language), so it must be writable by whoever runs the tool:
//   1. --install-dir DIR is used as it is.
//   2. The parent of the program's own folder, when it holds BIN and LNG
//      (a build tree, an unpacked copy): used as it is when its BIN folder
//      is writable; otherwise it is the installed defaults of rule 4.
//   3. Else <program folder>/../share/gascal (the package: /usr/bin and
//      /usr/share/gascal) is the installed defaults of rule 4.
//   4. The installed defaults are copied into the user's own folder
//      (<data home>/gascal, by default ~/.local/share/gascal), which then is
//      the installation folder. Only files the copy lacks are copied; a
//      copy the user never changed follows the installed file when that
//      changes (a package update), a file the user changed or wrote is never
//      touched. The record of what was copied is the copy's ".defaults"
//      file.
#pragma once

#include <QString>
#include <QStringList>

namespace gascal {

// Name of the record of copied files inside a per-user copy.
inline constexpr const char* kDefaultsRecord = ".defaults";

struct InstallLocation {
    QString dir;         // the installation folder to use; empty when none was found
    QString defaults;    // the installed tree copied from; empty when `dir` is used as it is
    QStringList copied;  // files copied or refreshed by this start (relative, '/'-separated)
    QString error;       // why there is no installation folder
};

// True when the folder holds the BIN and LNG folders of an installation.
bool IsInstallTree(const QString& dir);

// Applies the rules above. `programFolder` is the running program's folder,
// `explicitDir` the --install-dir value (empty when not given), `dataHome`
// the user's data folder (empty: the system's, $XDG_DATA_HOME or
// ~/.local/share).
InstallLocation LocateInstallDir(const QString& programFolder, const QString& explicitDir,
                                 const QString& dataHome = QString());

// Brings the per-user copy `userTree` up to date with the installed tree
// `defaults` as rule 4 says. Programs (executable files) and hidden files
// are not copied. False with `error` when the copy cannot be made.
bool SyncUserTree(const QString& defaults, const QString& userTree, QStringList* copied,
                  QString* error);

}  // namespace gascal
