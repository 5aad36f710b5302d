// Where the link writes its communication log lines. The log file writer
// lives with the signal viewer (which also reads the live log); the link only
// knows this sink. Without an installed writer, lines go nowhere.
#pragma once

#include <QString>

namespace gascal {

class LogSink {
  public:
    virtual ~LogSink() = default;
    // Appends one record line of the given kind ("T ", "R ", "C ", a
    // diagnostic phrase, ...). Never fails towards the caller.
    virtual void WriteLogRxTx(const QString& kind, const QString& text) = 0;
};

LogSink& CommLog();
void SetCommLog(LogSink* sink);  // nullptr: lines are dropped

}  // namespace gascal
