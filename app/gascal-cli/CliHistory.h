// gascal-cli and the restore points: the point every connection takes when
// the ECU's configuration changed since its newest point, the point taken
// before a command that writes a whole configuration or many settings, and
// the commands that list, restore and compare points.
//
//   history [--serial N] [--all]   one line per point, newest first:
//                                  ID TIME SERIAL REASON FLASH FILE (tabs)
//   restore ID [--yes] [--other-ecu]
//   diff ID|FILE [ID|FILE]         (a point's ID stands for its file)
#pragma once

#include <QString>
#include <QStringList>
#include <QTextStream>
#include <functional>

namespace gascal {

class EcuSession;
class DirectRequests;

// After the ECU was found and judged: reads its configuration (blocks, test
// data, table) and takes the connection point, or the point before the
// command (set, write-model, load-params, calibrate). A point that cannot
// be written stops a command that would change the ECU (exit 4, the reason
// on `err`); for the others it is only said.
int CliTakeCommandPoint(const QString& command, const QStringList& args, EcuSession& ecu,
                        DirectRequests& direct, QTextStream& err);

// `history` lists without an ECU when it is given --serial; with --all it
// lists every ECU's points even when no ECU answers.
bool CliHistoryWithoutEcu(const QStringList& args);
bool CliHistoryOfAll(const QStringList& args);
// Checked before the ECU is looked for: the options, and for `restore`
// that the point exists and is not damaged. CLI_OK (0) or the exit code.
int CliCheckHistoryArgs(const QString& command, const QStringList& args, QTextStream& err);
// `history`; `ecu` is null when no ECU was connected.
int CliHistory(QStringList args, EcuSession* ecu, QTextStream& out, QTextStream& err);
// `restore`: `load(path)` is the ordinary parameter-file load of the
// command line (its exit code).
int CliRestore(QStringList args, EcuSession& ecu, QTextStream& err, QTextStream& in,
               const std::function<int(const QString&)>& load);
// `diff`: every argument that is a point's ID (and no file of that name)
// becomes the point's file. CLI_OK or the exit code (2 unknown, 4 damaged).
int CliResolvePointIds(QStringList& args, QTextStream& err);

}  // namespace gascal
