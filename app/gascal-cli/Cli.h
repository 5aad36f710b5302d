// gascal-cli: the tool's link and data layers without a window. The same
// link object, parameter image and requests as the window, so the frames on
// the wire, their order and the communication log are the same.
//
// Exit codes: 0 success, 1 differences found (diff), 2 usage or invalid
// input, 3 no ECU or link failure, 4 file error, 5 ECU incompatible,
// 6 calibration aborted, 7 firmware upgrade failed or incomplete, 8 a
// restore point of another ECU refused.
#pragma once

#include <QString>
#include <QStringList>
#include <QTextStream>
#include <memory>

namespace gascal {

namespace sim {
class SimEcu;
}

enum CliExit {
    CLI_OK = 0,
    CLI_DIFFERENT = 1,
    CLI_USAGE = 2,
    CLI_LINK = 3,
    CLI_FILE = 4,
    CLI_INCOMPATIBLE = 5,
    CLI_ABORTED = 6,
    CLI_UPGRADE = 7,
    CLI_OTHER_ECU = 8,       // restore: the point was taken from another ECU
    CLI_NOTHING_TO_FIT = 9,  // fit: no target in the map
    CLI_NOT_RESTORED = 10,   // a calibration's abort could not put everything back
};

struct CliEnvironment {
    // The simulated ECU that --sim talks to; a fresh default one when null.
    std::shared_ptr<sim::SimEcu> simEcu;
    // Installation folder when --install-dir is not given (the program's own
    // parent folder when empty).
    QString defaultInstallDir;
    // Where answers to questions come from (standard input when null).
    QTextStream* input = nullptr;
};

// Runs one command line (without the program name). Data go to `out`,
// progress and messages to `err`.
int RunCli(const QStringList& args, QTextStream& out, QTextStream& err,
           const CliEnvironment& env = {});

QString CliHelpText();

}  // namespace gascal
