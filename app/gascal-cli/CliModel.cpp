// gascal-cli's line model commands: the model rebuilt from the ECU's
// correction table, and the model edited as the Modeling tab's buttons do.
#include <map>

#include "app/gascal-cli/CliCommand.h"
#include "ecu/DirectRequests.h"
#include "ecu/EcuSession.h"
#include "ecu/ModelEditor.h"

namespace gascal {

namespace {

// One edit of `write-model`, in the order given.
struct ModelAction {
    enum class Kind : uint8_t { Reset, ResetLine, Press } kind = Kind::Press;
    EditButton button = EditButton::Up;
    int point = -1;  // the point label clicked first (point buttons)
    int count = 0;   // steps while the button is held
};

constexpr int kMaxPressCount = 100000;

// One --press item: NAME[:POINT]=COUNT.
ModelAction ParsePress(const QString& item) {
    static const std::map<QString, EditButton> kButtons{
        {QStringLiteral("up"), EditButton::Up},
        {QStringLiteral("down"), EditButton::Down},
        {QStringLiteral("left"), EditButton::Left},
        {QStringLiteral("right"), EditButton::Right},
        {QStringLiteral("alfa-up"), EditButton::AlfaUp},
        {QStringLiteral("alfa-down"), EditButton::AlfaDown},
        {QStringLiteral("offset-up"), EditButton::OffsetUp},
        {QStringLiteral("offset-down"), EditButton::OffsetDown},
    };
    const int eq = item.indexOf(QLatin1Char('='));
    if (eq <= 0)
        throw UsageError(QStringLiteral("--press: expected NAME[:POINT]=COUNT, got ") + item);
    QString name = item.left(eq).trimmed().toLower();
    ModelAction act;
    const int colon = name.indexOf(QLatin1Char(':'));
    if (colon >= 0) {
        bool ok = false;
        act.point = name.mid(colon + 1).trimmed().toInt(&ok);
        if (!ok || act.point < 0 || act.point >= kModelPoints)
            throw UsageError(
                QStringLiteral("--press %1: the point is a number from 0 to 6").arg(item));
        name = name.left(colon).trimmed();
    }
    const auto b = kButtons.find(name);
    if (b == kButtons.end()) throw UsageError(QStringLiteral("--press: unknown button ") + name);
    act.button = b->second;
    if (IsLineButton(act.button) && colon >= 0)
        throw UsageError(QStringLiteral("--press %1: %2 moves the whole line and takes no point")
                             .arg(item, name));
    if (!IsLineButton(act.button) && colon < 0)
        throw UsageError(
            QStringLiteral("--press %1: %2 needs a point (%2:POINT=COUNT)").arg(item, name));
    bool ok = false;
    act.count = item.mid(eq + 1).trimmed().toInt(&ok);
    if (!ok || act.count <= 0 || act.count > kMaxPressCount)
        throw UsageError(QStringLiteral("--press %1: the count is a whole number from 1 to %2")
                             .arg(item)
                             .arg(kMaxPressCount));
    return act;
}

std::vector<ModelAction> ParseModelActions(const QStringList& args) {
    std::vector<ModelAction> actions;
    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == QLatin1String("--reset")) {
            actions.push_back({ModelAction::Kind::Reset});
        } else if (a == QLatin1String("--reset-line")) {
            actions.push_back({ModelAction::Kind::ResetLine});
        } else if (a != QLatin1String("--press")) {
            throw UsageError(QStringLiteral("write-model: unexpected argument ") + a);
        } else if (i + 1 >= args.size()) {
            throw UsageError(QStringLiteral("--press needs NAME[:POINT]=COUNT"));
        } else {
            actions.push_back(ParsePress(args[++i]));
        }
    }
    return actions;
}

int RunModel(CliContext& cx, QStringList) {
    if (!cx.Direct().ReadTable()) {
        cx.err << "The correction table could not be read.\n";
        return CLI_LINK;
    }
    cx.Ecu().RebuildModelFromTable();
    cx.PrintModel(cx.Ecu().Model().Model());
    return CLI_OK;
}

int CheckWriteModel(CliContext&, const QStringList& argsIn) {
    QStringList args = argsIn;
    TakeFlag(args, QStringLiteral("--save"));
    ParseModelActions(args);
    return CLI_OK;
}

int RunWriteModel(CliContext& cx, QStringList args) {
    const bool save = TakeFlag(args, QStringLiteral("--save"));
    const std::vector<ModelAction> actions = ParseModelActions(args);
    EcuSession& ecu = cx.Ecu();
    if (!cx.Direct().ReadTable()) {
        cx.err << "The correction table could not be read; nothing was written.\n";
        return CLI_LINK;
    }
    ecu.RebuildModelFromTable();
    if (actions.empty()) {
        cx.PrintModel(ecu.Model().Model());
        return CLI_OK;
    }
    // Each press as the Modeling tab's buttons do it: the point's label is
    // clicked, then the button is held for COUNT steps, every step within
    // its limits and the model's invariants.
    ModelEditor& editor = ecu.Model();
    for (const ModelAction& a : actions) {
        switch (a.kind) {
            case ModelAction::Kind::Reset:
                editor.Reset();
                break;
            case ModelAction::Kind::ResetLine:
                editor.ResetLine();
                break;
            case ModelAction::Kind::Press:
                if (!IsLineButton(a.button)) editor.SelectPoint(a.point);
                editor.Hold(a.button, a.count);
                break;
        }
    }
    ecu.BuildTableFromModel();
    if (!cx.Direct().Try([&] { return ecu.Requests().WriteCorTable(); })) {
        // A write cut between its chunks leaves the ECU with a table part new
        // and part old: say which part may be old.
        if (!cx.SayTableNotWhole())
            cx.err << "The correction table could not be written; the ECU keeps its own.\n";
        return CLI_LINK;
    }
    // What the ECU holds now, as `model` reads it.
    cx.PrintHeldModel(editor.Model());
    cx.err << "Correction table written.\n";
    return cx.StoreOrWarn(save, "the table");
}

}  // namespace

std::vector<CliCommand> ModelCommands() {
    return {
        {"model", AlwaysEcu, CheckNoArgs, RunModel, "model",
         "the line model rebuilt from the ECU's correction\n"
         "table: ALFA=, OFFSET=, P0=x;y .. P6=x;y (ms)"},
        {"write-model", AlwaysEcu, CheckWriteModel, RunWriteModel,
         "write-model [--reset] [--reset-line] [--press NAME[:POINT]=COUNT]... [--save]",
         "edit the model as the Modeling tab's buttons do\n"
         "(in the order given, every limit kept), write the\n"
         "table once and print the model as `model` does.\n"
         "NAME: up, down (points 1-5), left (+0.128 ms),\n"
         "right (-0.128 ms) (points 1-4), alfa-up, alfa-down,\n"
         "offset-up, offset-down (no POINT); COUNT: steps\n"
         "while held. A press the button would ignore does\n"
         "nothing. Without edits nothing is written.\n"
         "--save stores the table in the ECU's flash."},
    };
}

}  // namespace gascal
