// What gascal-cli calibrate says, apart from running the calibration.
#pragma once

#include <QString>

namespace gascal {

class Calibration;

// A report entry of \TaraCorr.txt as standard output carries it: the
// numbers with a decimal point.
QString ReportEntryLine(QString line);

// The calibration's message in the command line's words: no window buttons
// ("Press Yes to ...": the command line asks its own questions), and a
// reading under a step's threshold ("1081 < 1980" on the screen) said as
// what to do ("raise the engine speed above 1980 rpm (now 1081)"). Empty
// when there is nothing to say.
QString CommandLineMessage(const Calibration& cal);

}  // namespace gascal
