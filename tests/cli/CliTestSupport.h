// What the command-line tests share: a private installation folder with the
// shipped data files, and a run of the command line in process on the
// virtual clock against a simulated ECU.
#pragma once

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTextStream>
#include <functional>
#include <memory>

#include "app/gascal-cli/Cli.h"
#include "common/EventService.h"
#include "sim/core/SimEcu.h"

namespace gascal::testing {

// A private installation folder with the shipped data files, so each test
// has its own settings file and communication log.
class Installation {
  public:
    Installation() {
        const QString tree = QStringLiteral(GASCAL_TREE_DIR);
        QDir().mkpath(dir.filePath("BIN"));
        QDir().mkpath(dir.filePath("LNG"));
        for (const QString& sub : {QStringLiteral("BIN"), QStringLiteral("LNG")}) {
            QDir src(tree + "/" + sub);
            for (const QString& f : src.entryList(QDir::Files)) {
                if (QFileInfo(src.filePath(f)).isExecutable()) continue;
                if (f.startsWith("RxTx") || f == "SetCom.ini" || f == "Handle.ini") continue;
                QFile::copy(src.filePath(f), dir.filePath(sub + "/" + f));
            }
        }
    }
    QString Path() const { return dir.path(); }
    QString File(const QString& rel) const { return dir.filePath(rel); }
    QTemporaryDir dir;
};

struct Result {
    int rc = -1;
    QString out, err;
};

// Runs the command line in process on the virtual clock. `atStart` runs on
// that clock before the command line (to post events into the run).
inline Result RunVirtual(const QStringList& args, std::shared_ptr<sim::SimEcu> ecu,
                         const Installation& inst, const std::function<void()>& atStart = {}) {
    VirtualEventService ev;
    ScopedEvents scope(ev);
    if (atStart) atStart();
    Result r;
    QTextStream out(&r.out), err(&r.err);
    CliEnvironment env;
    env.simEcu = std::move(ecu);
    QStringList all{"--install-dir", inst.Path()};
    all += args;
    r.rc = RunCli(all, out, err, env);
    out.flush();
    err.flush();
    return r;
}

inline std::shared_ptr<sim::SimEcu> NewEcu(sim::SimOptions o = {}) {
    return std::make_shared<sim::SimEcu>(o);
}

inline uint16_t U16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

}  // namespace gascal::testing
