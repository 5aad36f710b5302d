// gascal-cli's commands: one table row each (name, whether it needs an ECU,
// the check of its arguments, what it runs, its help), and what a command
// works with once the ECU answers (CliContext).
//
// The dispatcher (Cli.cpp) runs a row in this order: the arguments are
// checked first, so a typing mistake sends nothing and a missing file is
// said before the ECU is looked for; then, for a command that needs an ECU,
// the ECU is looked for and judged against the firmware file; then the
// command runs.
#pragma once

#include <signal.h>

#include <QString>
#include <QStringList>
#include <QTextStream>
#include <functional>
#include <memory>
#include <vector>

#include "app/gascal-cli/Cli.h"
#include "app/gascal-cli/CliFields.h"

namespace gascal {

class EcuSession;
class DirectRequests;
class MachinePortChain;
class CommLogWriter;
struct LineModel;

namespace sim {
class SimEcu;
class SimUsbProvider;
}  // namespace sim

// A mistake on the command line: said with a pointer to --help, exit 2.
class UsageError {
  public:
    explicit UsageError(QString m) : message(std::move(m)) {}
    QString message;
};

// The program's own options, before the command.
struct CliOptions {
    QString installDir;
    QString port;
    bool sim = false;
    double timeoutS = 30;
    int lang = -1;
    bool help = false;
    bool listPorts = false;
    QString command;
    QStringList args;
};

// What a command works with: the options, the output streams, the ECU
// session and its requests. Without an ECU (needsEcu false) the session is
// the installation's alone: no link, no communication log.
class CliContext {
  public:
    CliContext(const CliOptions& o, QTextStream& out, QTextStream& err, const CliEnvironment& env);
    ~CliContext();
    CliContext(const CliContext&) = delete;
    CliContext& operator=(const CliContext&) = delete;

    // The session with the link and the communication log started.
    void StartLink();
    // The installation's session alone (no link, no log).
    void StartOffline();
    // Looks for the ECU: CLI_OK once it answered.
    int Connect();
    // The window's firmware verdict as an exit code; says what is wrong.
    int CheckCompatibility();

    const CliOptions& options;
    QTextStream& out;
    QTextStream& err;
    const CliEnvironment& env;

    EcuSession& Ecu() { return *ecu_; }
    DirectRequests& Direct() { return *direct_; }
    const std::vector<CliField>& Fields() const { return fields_; }
    // The simulated ECU under --sim (null otherwise).
    const std::shared_ptr<sim::SimEcu>& SimEcu() const { return simEcu_; }
    // Answers to questions (standard input unless the environment gives one).
    QTextStream& Input();

    // --- What several commands print -------------------------------------------
    QString Port() const;
    void PrintIdentity();
    void PrintField(const CliField& f);
    void PrintModel(const LineModel& m);
    // The model the ECU holds now: `m` rebuilt from the table read back.
    void PrintHeldModel(LineModel m);
    // Stores the ECU's working memory in its flash and says so.
    int StoreInFlash();
    // After a table write cut between its chunks: says which entries the
    // ECU may hold old (true), or nothing when it holds the table whole.
    bool SayTableNotWhole();
    // After a change: stores it with --save, else says when the ECU's next
    // reset would lose it (`what`: "the change", "the table", ...).
    int StoreOrWarn(bool save, const char* what);

  private:
    void SetUpSession(bool link);

    std::unique_ptr<QTextStream> stdin_;
    std::unique_ptr<CommLogWriter> log_;
    std::shared_ptr<sim::SimEcu> simEcu_;
    std::unique_ptr<sim::SimUsbProvider> simProvider_;
    std::unique_ptr<MachinePortChain> ports_;
    std::unique_ptr<EcuSession> ecu_;
    std::unique_ptr<DirectRequests> direct_;
    std::vector<CliField> fields_;  // built once the scale factors are known
};

// One command of the table.
struct CliCommand {
    QString name;
    // False for a command on files alone: it runs on the installation's
    // session without a link (`export`, `diff` of two files).
    std::function<bool(const QStringList& args)> needsEcu;
    // Checks the arguments before the ECU is looked for: throws UsageError
    // for a mistake, or returns an exit code other than CLI_OK to stop (a
    // file that cannot be read). May be empty (nothing to check).
    std::function<int(CliContext&, const QStringList& args)> check;
    std::function<int(CliContext&, QStringList args)> run;
    // The usage line ("live [--count N] [--csv]") and what it does, for --help.
    QString usage;
    QString help;
    // What it does when no ECU answers; empty: it ends with the link's
    // failure.
    std::function<int(CliContext&, const QStringList& args)> withoutEcu;
};

inline bool AlwaysEcu(const QStringList&) {
    return true;
}

// The rows by subject, in the order --help lists them.
std::vector<CliCommand> ParamCommands();        // CliParams.cpp
std::vector<CliCommand> LiveCommands();         // CliLive.cpp
std::vector<CliCommand> ModelCommands();        // CliModel.cpp
std::vector<CliCommand> MapCommands();          // CliMap.cpp
std::vector<CliCommand> UpgradeCommands();      // CliUpgrade.cpp
std::vector<CliCommand> FileCommands();         // CliFiles.cpp
std::vector<CliCommand> CalibrationCommands();  // CliCalibrate.cpp
std::vector<CliCommand> HistoryCommands();      // CliHistory.cpp

// The row of a command by name (null for none).
const CliCommand* FindCommand(const QString& name);

// --- Arguments -------------------------------------------------------------------
// A command's flag: removed from args, true when it was there.
bool TakeFlag(QStringList& args, const QString& flag);
// "--count N": N (positive) removed from args, `def` when absent.
int TakeIntOption(QStringList& args, const QString& opt, int def);
// "--file F": F removed from args, empty when absent; given once at most.
QString TakeValueOption(QStringList& args, const QString& opt);
// Anything left over is a mistake.
void NoMoreArgs(const QStringList& args, const QString& command);
// The check of a command that takes no arguments.
int CheckNoArgs(CliContext& cx, const QStringList& args);
// A time or a model coordinate: three decimals, decimal point.
QString Ms3(double v);

// SIGINT and SIGTERM while it lives set Interrupted(); the previous
// handlers come back after.
class InterruptGuard {
  public:
    InterruptGuard();
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;
    static bool Interrupted();

  private:
    struct sigaction oldInt_ {
    }, oldTerm_{};
};

}  // namespace gascal
