#include "common/LogSink.h"

namespace gascal {

namespace {
class NullSink : public LogSink {
  public:
    void WriteLogRxTx(const QString&, const QString&) override {}
};
LogSink* g_sink = nullptr;
}  // namespace

LogSink& CommLog() {
    static NullSink none;
    return g_sink ? *g_sink : none;
}

void SetCommLog(LogSink* sink) {
    g_sink = sink;
}

}  // namespace gascal
