#include "mainwindow/controller/ModelingModel.h"

#include <algorithm>

#include "common/EventService.h"
#include "common/Helpers.h"
#include "ecu/EcuSession.h"
#include "ecu/InjectionMap.h"
#include "ecu/ModelEditor.h"
#include "ecu/PollingCycle.h"

namespace gascal {

std::vector<QPointF> CutAtX(const std::vector<QPointF>& line, double maxX) {
    std::vector<QPointF> out;
    for (size_t i = 0; i < line.size(); ++i) {
        const QPointF& p = line[i];
        if (p.x() <= maxX) {
            out.push_back(p);
            continue;
        }
        if (i > 0) {
            const QPointF& a = line[i - 1];
            if (a.x() < maxX) {
                const double t = (maxX - a.x()) / (p.x() - a.x());
                out.emplace_back(maxX, a.y() + t * (p.y() - a.y()));
            }
        }
        break;
    }
    return out;
}

ModelingModel::ModelingModel(EcuSession& session, PollingCycle& cycle)
    : session_(session), cycle_(cycle) {
    ReloadTexts();
}

ModelingModel::~ModelingModel() {
    // A hold still running ends with the page: its repeats stop and the
    // edit is written as a release would.
    if (Holding()) ButtonUp();
}

namespace {
constexpr int kFirstFitText = 16;  // entry 117: "Fit"
}  // namespace

void ModelingModel::ReloadTexts() {
    // The section's entries, in this order.
    const QStringList fallbacks = {
        QStringLiteral("Petrol time (ms)"), QStringLiteral("Gas time (ms)"),
        QStringLiteral("Point"), QStringLiteral("Petrol (ms)"), QStringLiteral("Shift (ms)"),
        QStringLiteral("ALFA"), QStringLiteral("OFFSET"), QStringLiteral("Reset line"),
        QStringLiteral("Reset"), QStringLiteral("Clear Model"), QStringLiteral("Open..."),
        QStringLiteral("Save..."), QStringLiteral("Undo"), QStringLiteral("Redo"),
        QStringLiteral("Put every point back on the line? ALFA and OFFSET are kept."),
        QStringLiteral("Return the whole model to its defaults (ALFA 1, OFFSET 0)?"),
        // The fit to the targets.
        QStringLiteral("Fit"),
        QStringLiteral(
            "Distance to the targets, largest / mean: before %1 / %2 ms, after %3 / %4 ms"),
        QStringLiteral("The targets lie at one petrol time: only OFFSET was fitted.")};
    QStringList t = session_.SectionTexts(QStringLiteral("[FrmMod]"), fallbacks);
    // A dictionary from before the fit holds placeholders where its texts go.
    for (int k = kFirstFitText; k < t.size(); ++k)
        if (t[k] == QLatin1String("-")) t[k] = fallbacks[k];
    texts_ = {t[0],  t[1],  t[2],  t[3],  t[4],  t[5],  t[6],  t[7],  t[8], t[9],
              t[10], t[11], t[12], t[13], t[14], t[15], t[16], t[17], t[18]};
}

ModelEditor& ModelingModel::Editor() {
    return session_.Model();
}
const ModelEditor& ModelingModel::Editor() const {
    return session_.Model();
}

// --- Edit buttons ----------------------------------------------------------------------

bool ModelingModel::ButtonDown(EditButton b) {
    ModelEditor& editor = Editor();
    if (editor.Held()) ButtonUp();  // a release that never came
    if (!editor.Press(b)) return false;
    ++*holdToken_;
    ladder_.Restart();
    holdSteps_ = 1;
    editor.RepeatStep();
    ScheduleRepeat();
    return true;
}

void ModelingModel::ScheduleRepeat() {
    const std::weak_ptr<int> token = holdToken_;
    const int hold = *holdToken_;
    Events().Post(MicroSeconds() + ladder_.Interval() * 1e6, [this, token, hold] {
        const auto alive = token.lock();
        if (!alive || *alive != hold || !Editor().Held()) return;
        ladder_.Next();
        Editor().RepeatStep();
        ++holdSteps_;
        ScheduleRepeat();
    });
}

void ModelingModel::ButtonUp() {
    ++*holdToken_;
    if (Editor().Held()) Editor().Release();
}

bool ModelingModel::Holding() const {
    return Editor().Held();
}

// --- Resets, undo ----------------------------------------------------------------------

bool ModelingModel::CmdResetLine_Click() {
    ButtonUp();
    return Editor().AskAndResetLine(texts_.resetLineQuestion, session_.ProductTitle(),
                                    [this] { session_.Comm().LoadWDogSend(); });
}

bool ModelingModel::CmdReset_Click() {
    ButtonUp();
    return Editor().AskAndReset(texts_.resetQuestion, session_.ProductTitle(),
                                [this] { session_.Comm().LoadWDogSend(); });
}

void ModelingModel::CmdShpMapMod_Click() {
    session_.Map().ClearTargets();
    WaitMicroSeconds(250000);
}

void ModelingModel::OnTargetsChanged(std::function<void()> f) {
    session_.Map().OnTargetsChanged(std::move(f));
}

bool ModelingModel::Undo() {
    return !Holding() && Editor().Undo();
}
bool ModelingModel::Redo() {
    return !Holding() && Editor().Redo();
}

// --- Fit ------------------------------------------------------------------------------------

bool ModelingModel::CanFit() const {
    return !Holding() && !session_.Map().Targets().empty();
}

FitResult ModelingModel::CmdFit_Click() {
    ButtonUp();
    const std::vector<FitTarget> targets = FitTargets(session_.Map().Targets());
    if (targets.empty()) return FitResult{FitOutcome::Nothing, Editor().Model()};
    FitResult r = FitModel(Editor().Model(), targets, FitLimitsOf(session_.Scale()));
    if (r.outcome != FitOutcome::Nothing) Editor().Apply(r.model);
    lastFit_ = r;
    for (const auto& f : fitted_) f();
    return r;
}

QString ModelingModel::FitSummary() const {
    if (!lastFit_) return QString();
    const auto ms = [](double v) {
        return QString::number(v, 'f', 3).replace(QLatin1Char('.'), DecimalSeparator());
    };
    QString s = texts_.fitDistances.arg(ms(lastFit_->before.largest), ms(lastFit_->before.mean),
                                        ms(lastFit_->after.largest), ms(lastFit_->after.mean));
    if (lastFit_->outcome == FitOutcome::OffsetOnly) s += QLatin1Char('\n') + texts_.fitOffsetOnly;
    return s;
}

// --- Drawing data ------------------------------------------------------------------------

std::vector<QPointF> ModelingModel::ReferenceLine() const {
    const LineModel& m = Editor().Model();
    return CutAtX({{0, LineAt(m, 0)}, {kLineEndMs, LineAt(m, kLineEndMs)}}, kModelGraphMaxX);
}

std::vector<QPointF> ModelingModel::Points() const {
    const LineModel& m = Editor().Model();
    std::vector<QPointF> out;
    for (int i = 0; i < kModelPoints; ++i) out.emplace_back(m.ModX[i], m.ModY[i]);
    return out;
}

std::vector<QPointF> ModelingModel::Segments() const {
    return CutAtX(Points(), kModelGraphMaxX);
}

std::vector<QPointF> ModelingModel::Targets() const {
    std::vector<QPointF> out;
    for (const TargetMarker& t : session_.Map().Targets())
        out.emplace_back(t.drawPetrolMs, t.drawGasMs);
    return out;
}

std::optional<QPointF> ModelingModel::LivePoint() const {
    const ParamImage& image = session_.Image();
    if (!cycle_.Online() || !image.Mem1Block.KeyOn) return std::nullopt;
    const double petrol = image.Mem1Block.PetrolInjTimes[0];
    const double gas = image.Mem1Block.GasInjTimes[0];
    // On petrol there is no gas time to show: the point would sit on the axis.
    if (petrol <= 0 || gas <= 0) return std::nullopt;
    return QPointF(std::clamp(petrol, 0.0, kModelGraphMaxX), std::clamp(gas, 0.0, kModelGraphMaxY));
}

}  // namespace gascal
