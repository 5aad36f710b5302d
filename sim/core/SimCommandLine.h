// Command-line options of the simulated ECU (gascal-ecusim), turned into the
// options a SimEcu starts with. Kept out of main() so that every option and
// every refusal can be tested.
#pragma once

#include <QString>
#include <QStringList>

#include "sim/core/SimEcu.h"

namespace gascal::sim {

struct SimCommandLine {
    SimOptions options;
    QString installDir;  // accepted for symmetry with the tool's programs
    bool help = false;
    bool verbose = false;    // one line on standard error per request
    bool engineSet = false;  // --engine given
    bool drive = false;      // --drive: the load sweep on both fuels (SimDrive.h)
};

// Parses the arguments (without the program name). On a bad option returns
// false with a message naming it.
bool ParseSimCommandLine(const QStringList& args, SimCommandLine& out, QString* error);

// The help text.
QString SimCommandLineHelp();

}  // namespace gascal::sim
