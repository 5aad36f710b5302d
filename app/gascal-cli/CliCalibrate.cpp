// gascal-cli calibrate: the window's automatic calibration on the running
// engine, its instructions said in the command line's words, its report
// entries and result on standard output.
#include "app/gascal-cli/CliCalibrate.h"

#include <QRegularExpression>

#include "app/gascal-cli/CliCommand.h"
#include "common/EventService.h"
#include "common/Helpers.h"
#include "common/Prompts.h"
#include "ecu/Calibration.h"
#include "ecu/DirectRequests.h"
#include "ecu/EcuSession.h"
#include "sim/core/SimFitter.h"

namespace gascal {

namespace {

constexpr double kCalibrateLookUs = 50000;  // how often the run looks for Ctrl+C and the end

// The limit the line was held at ("smallest OFFSET"); empty for none.
QString LineLimit(LimitApplied line) {
    switch (line) {
        case LimitApplied::OffsetMin:
            return QStringLiteral("smallest OFFSET");
        case LimitApplied::OffsetMax:
            return QStringLiteral("largest OFFSET");
        case LimitApplied::AlfaMin:
            return QStringLiteral("smallest ALFA");
        case LimitApplied::AlfaMax:
            return QStringLiteral("largest ALFA");
        case LimitApplied::None:
            break;
    }
    return {};
}

QString LimitNames(const FinalLimitResult& limits) {
    QStringList which;
    if (limits.line != LimitApplied::None) which << LineLimit(limits.line);
    if (limits.entriesRaised > 0)
        which << QStringLiteral("table entries raised: %1").arg(limits.entriesRaised);
    if (limits.entriesLowered > 0)
        which << QStringLiteral("table entries lowered: %1").arg(limits.entriesLowered);
    return which.join(QStringLiteral(", "));
}

// The question at a result with a limit.
QString KeepQuestion(const Calibration& cal) {
    return QStringLiteral(
               "Calibration finished, but a limit was applied (%1). Keep the result? "
               "No puts everything back as it was.")
        .arg(LimitNames(cal.Result().limits));
}

// "1081 < 1980": what the screen shows under a step that waits for the
// engine speed or the gas temperature, as a number with the decimal separator.
double Number(QString text) {
    return text.replace(DecimalSeparator(), QStringLiteral(".")).toDouble();
}

// The result line on standard output, as the window shows the result.
void PrintResult(QTextStream& out, CalState st, const CalResult& res) {
    out << "result: state " << static_cast<int>(st);
    if (res.limits.line != LimitApplied::None) out << ", limit: " << LineLimit(res.limits.line);
    if (res.limits.entriesRaised > 0) out << ", table entries raised: " << res.limits.entriesRaised;
    if (res.limits.entriesLowered > 0)
        out << ", table entries lowered: " << res.limits.entriesLowered;
    out << ", OFFSET at the end of step 03: " << Ms3(res.savedOffset) << "\n";
    if (res.twoPointAsked) {
        const auto r = [](const std::optional<double>& v) {
            return v ? Ms3(*v) : QStringLiteral("?");
        };
        if (res.twoPoint.possible)
            out << "two-point: ALFA " << Ms3(res.twoPoint.alfa)
                << (res.twoPoint.alfaLimited ? " (limited)" : "") << ", OFFSET "
                << Ms3(res.twoPoint.offset) << ", idle " << r(res.residualIdleBefore) << " -> "
                << r(res.residualIdleAfter) << " ms, raised speed " << r(res.residualRaisedBefore)
                << " -> " << r(res.residualRaisedAfter) << " ms\n";
        else
            out << "two-point: not possible\n";
    }
    out.flush();
}

int CheckCalibrate(CliContext&, const QStringList& argsIn) {
    QStringList args = argsIn;
    TakeFlag(args, QStringLiteral("--yes"));
    TakeFlag(args, QStringLiteral("--two-point"));
    TakeFlag(args, QStringLiteral("--save"));
    NoMoreArgs(args, QStringLiteral("calibrate"));
    return CLI_OK;
}

int RunCalibrate(CliContext& cx, QStringList args) {
    const bool yes = TakeFlag(args, QStringLiteral("--yes"));
    const bool twoPoint = TakeFlag(args, QStringLiteral("--two-point"));
    const bool save = TakeFlag(args, QStringLiteral("--save"));
    EcuSession& ecu = cx.Ecu();
    QTextStream& err = cx.err;
    // The calibration starts from what the ECU holds: its blocks, its table
    // and the model rebuilt from that table.
    if (!cx.Direct().ReadBlock(1) || !cx.Direct().ReadConfiguration()) {
        err << "The ECU's configuration could not be read; nothing was changed.\n";
        return CLI_LINK;
    }
    ecu.RebuildModelFromTable();

    Calibration cal(ecu);
    cal.SetTwoPoint(twoPoint);
    // The ECU's blocks and table were just read.
    cal.SetEcuReady([] { return true; });
    std::unique_ptr<sim::SimFitter> fitter;
    if (cx.SimEcu()) fitter = std::make_unique<sim::SimFitter>(cx.SimEcu());
    QString shown;
    cal.OnChanged([&] {
        const QString message = CommandLineMessage(cal);
        if (message != shown) {
            shown = message;
            if (!shown.isEmpty()) err << shown << "\n";
            err.flush();
        }
        // Under --sim the simulated fitter does what the instructions say.
        if (fitter)
            fitter->Follow(sim::TaskForInstruction(static_cast<int>(cal.Instruction())),
                           cal.RaisedTargetRpm());
    });
    cal.OnStepChanged([&](int step) {
        if (step < 0) return;
        err << QStringLiteral("step %1").arg(step, 2, 10, QLatin1Char('0')) << "\n";
        err.flush();
    });
    cal.OnReportEntry([&](const QString& line) {
        cx.out << ReportEntryLine(line) << "\n";
        cx.out.flush();
    });
    const auto T = [&](CalText t) { return cal.Texts().value(static_cast<int>(t)); };
    if (!yes && !UserPrompts().AskYesNo(T(CalText::AskStart), ecu.ProductTitle())) {
        err << "Not started; nothing was changed.\n";
        return CLI_ABORTED;
    }

    // The calibration runs on its own Timer3 ticks; this loop only looks
    // and answers its questions. Ctrl+C is one more event: the abort and
    // its restore then run to their end before the program exits.
    InterruptGuard interrupts;
    bool aborted = false, interruptTold = false, resultTaken = false;
    cal.Yes();
    while (cal.Running()) {
        WaitMicroSeconds(kCalibrateLookUs);
        if (InterruptGuard::Interrupted() && !interruptTold) {
            interruptTold = true;
            err << "Interrupted: the calibration is aborted; everything is put back before the "
                   "program ends.\n";
            err.flush();
            // A finished calibration is kept (as when the window closes).
            if (cal.State() != CalState::End) aborted = true;
            cal.EndForClose();
            continue;
        }
        const CalState st = cal.State();
        if (st == CalState::Abort) aborted = true;
        if (resultTaken || interruptTold || (st != CalState::End && st != CalState::EndWithLimit))
            continue;
        resultTaken = true;
        PrintResult(cx.out, st, cal.Result());
        if (st == CalState::EndWithLimit) {
            if (yes || UserPrompts().AskYesNo(KeepQuestion(cal), ecu.ProductTitle())) {
                cal.Yes();  // the result is kept
            } else {
                cal.Esc();  // everything put back
                aborted = true;
                continue;
            }
        }
        if (yes || UserPrompts().AskYesNo(T(CalText::AskGas), ecu.ProductTitle())) {
            cal.Yes();  // gas, then the ECU's own running mode
        } else {
            cal.EndOnPetrol();
            err << "The car stays on petrol; the ECU is back in running mode.\n";
        }
    }
    if (cal.NotRestored() != 0) {
        // The abort gave up: exactly what is not as it was.
        err << "Not put back: " << cal.NotRestoredNames().join(QStringLiteral("; ")) << "\n";
        err.flush();
        return CLI_NOT_RESTORED;
    }
    if (aborted) return CLI_ABORTED;
    // The model the ECU holds now, as `model` prints it.
    if (cx.Direct().ReadTable())
        cx.PrintHeldModel(ecu.Model().Model());
    else
        cx.PrintModel(ecu.Model().Model());
    // The result is in the ECU's working memory: stored when asked for.
    return cx.StoreOrWarn(save, "the calibration");
}

}  // namespace

QString ReportEntryLine(QString line) {
    return line.replace(DecimalSeparator(), QStringLiteral("."));
}

QString CommandLineMessage(const Calibration& cal) {
    const auto T = [&](CalText t) { return cal.Texts().value(static_cast<int>(t)); };
    const QString message = cal.Message();
    // The command line asks its own questions: the texts that name the
    // window's buttons are said without them.
    if (message == T(CalText::MsgIdle)) return {};
    if (message == T(CalText::MsgGasFailed))
        return QStringLiteral("The ECU did not take the switch to gas.");
    QStringList lines = message.split(QLatin1Char('\n'));
    // The result as the window words it, with its button; the question
    // that follows is the command line's.
    const CalResult& result = cal.Result();
    if (result.endState != CalState::Idle &&
        lines[0] == cal.ResultText().split(QLatin1Char('\n')).first()) {
        if (result.endState == CalState::EndWithLimit)
            lines[0] = QStringLiteral("Calibration finished, but a limit was applied (%1).")
                           .arg(LimitNames(result.limits));
        else
            lines[0] =
                QStringLiteral("Calibration finished: OFFSET %1 ms.").arg(Ms3(result.savedOffset));
    }
    // A step waiting for the engine speed or the gas temperature shows the
    // reading under its threshold ("1081 < 1980"): said as what to do.
    static const QRegularExpression below(QStringLiteral("^(-?[0-9.,]+) < (-?[0-9.,]+)$"));
    const QRegularExpressionMatch m = below.match(lines.last());
    if (lines.size() < 2 || !m.hasMatch()) return lines.join(QLatin1Char('\n'));
    const QString now = FormatCliNumber(Number(m.captured(1)), 2);
    const QString limit = FormatCliNumber(Number(m.captured(2)), 2);
    switch (cal.State()) {
        case CalState::WaitGasTemp:
            lines.last() =
                QStringLiteral("let the engine warm up: gas temperature above %1 °C (now %2)")
                    .arg(limit, now);
            break;
        case CalState::IdleWait:
        case CalState::ConfirmIdleWait:
            lines.last() =
                QStringLiteral("keep the engine running above %1 rpm (now %2)").arg(limit, now);
            break;
        default:
            lines.last() =
                QStringLiteral("raise the engine speed above %1 rpm (now %2)").arg(limit, now);
            break;
    }
    return lines.join(QLatin1Char('\n'));
}

std::vector<CliCommand> CalibrationCommands() {
    return {
        {"calibrate", AlwaysEcu, CheckCalibrate, RunCalibrate,
         "calibrate [--yes] [--two-point] [--save]",
         "automatic calibration on the running engine, as the\n"
         "window's Calibration tab: the fitter's instructions\n"
         "and a line `step 00`..`step 03` on standard error,\n"
         "each report entry (TaraCorr.txt, with a decimal\n"
         "point), the result and the final model (as `model`)\n"
         "on standard output.\n"
         "Asks before it starts and before it switches to gas\n"
         "at the end, unless --yes. --two-point sets ALFA from\n"
         "the raised-speed and idle balances and checks it.\n"
         "Ctrl+C or SIGTERM aborts and puts everything back;\n"
         "while the ECU does not answer the abort keeps\n"
         "trying for 2 minutes. With --sim a simulated fitter\n"
         "follows the instructions. Exit 0 when it ends, 6\n"
         "when aborted with everything put back, 10 when the\n"
         "abort could not put everything back (named on\n"
         "standard error). --save stores the result in the\n"
         "ECU's flash."},
    };
}

}  // namespace gascal
