#include "mainwindow/controller/MapModel.h"

#include <QPointer>
#include <algorithm>

#include "common/Helpers.h"
#include "common/Prompts.h"
#include "ecu/EcuSession.h"
#include "ecu/PollingCycle.h"

namespace gascal {

namespace {
// The pause after a button, so a double click does not ask twice.
constexpr double kButtonWaitUs = 250000;
}  // namespace

MapModel::MapModel(EcuSession& session, PollingCycle& cycle, QObject* parent)
    : QObject(parent), session_(session), cycle_(cycle) {
    ReloadTexts();
    InjectionMap& map = session_.Map();
    computeEnabled_ = map.ComputeEnabled();
    // The listeners outlive nothing: the map belongs to the session, which
    // outlives every page, so each checks that this model still exists.
    QPointer<MapModel> self(this);
    map.OnStepped([self](const MapStepResult& r) {
        if (self) self->Stepped(r);
    });
    map.OnTargetsChanged([self] {
        if (self) emit self->targetsChanged();
    });
}

void MapModel::ReloadTexts() {
    const QStringList t = session_.SectionTexts(
        QStringLiteral("[FrmMap]"),
        {QStringLiteral("Pressure (bar)"), QStringLiteral("Petrol time (ms)"),
         QStringLiteral("Read"), QStringLiteral("Clear Petrol"), QStringLiteral("Clear Gas"),
         QStringLiteral("Compute"), QStringLiteral("Open map..."), QStringLiteral("Save map..."),
         QStringLiteral("Petrol"), QStringLiteral("Gas"), QStringLiteral("Matches:"),
         QStringLiteral("The map file could not be read:"),
         QStringLiteral("The map file could not be written:")});
    texts_ = {t[0], t[1], t[2], t[3], t[4], t[5], t[6], t[7], t[8], t[9], t[10], t[11], t[12]};
}

void MapModel::Stepped(const MapStepResult& r) {
    if (r.computeEnabled != computeEnabled_) {
        computeEnabled_ = r.computeEnabled;
        emit computeChanged(computeEnabled_);
    }
    if (r.redrawn || r.relayout) emit mapChanged(r.relayout);
}

void MapModel::ShortWait() {
    emit busy(true);
    WaitMicroSeconds(kButtonWaitUs);
    emit busy(false);
}

// --- Buttons ---------------------------------------------------------------------

bool MapModel::ReadEnabled() const {
    return !cycle_.AutoTuning();
}

int MapModel::Matches() const {
    return session_.Map().Matches();
}

void MapModel::CmdMapRead_Click() {
    if (ReadEnabled()) cycle_.ReadMapSamples();
}

void MapModel::CmdMapClrPet_Click() {
    cycle_.ClearMapSamples(MapFuel::Petrol);
    emit mapChanged(false);
    ShortWait();
}

void MapModel::CmdMapClrGas_Click() {
    cycle_.ClearMapSamples(MapFuel::Gas);
    emit mapChanged(false);
    ShortWait();
}

void MapModel::CmdMapCompute_Click() {
    cycle_.ComputeMap();
    ShortWait();
}

bool MapModel::OpenFile(const QString& path) {
    if (!cycle_.OpenMapFile(path)) return false;
    emit mapChanged(true);
    return true;
}

bool MapModel::SaveFile(const QString& path) {
    return session_.Map().Save(path);
}

void MapModel::CmdMapOpen_Click() {
    FileDialogRequest req;
    req.title = texts_.open;
    req.title.remove(QStringLiteral("..."));
    req.filter = QString::fromLatin1(kMapFileFilter);
    req.startFolder = InstallDir();
    req.overwritePrompt = false;
    const QString path = UserPrompts().OpenFile(req);
    if (path.isEmpty() || !FileExists(path)) return;
    if (!OpenFile(path))
        UserPrompts().Message(texts_.notRead + QLatin1Char('\n') + path, session_.ProductTitle(),
                              BoxIcon::Warning);
}

void MapModel::CmdMapSave_Click() {
    session_.Comm().LoadWDogSend();
    FileDialogRequest req;
    req.title = texts_.save;
    req.title.remove(QStringLiteral("..."));
    req.filter = QString::fromLatin1(kMapFileFilter);
    req.startFolder = InstallDir();
    req.overwritePrompt = true;
    const QString path = UserPrompts().SaveFile(req);
    if (path.isEmpty()) return;
    if (!SaveFile(path))
        UserPrompts().Message(texts_.notWritten + QLatin1Char('\n') + path, session_.ProductTitle(),
                              BoxIcon::Critical);
}

// --- Drawing data ----------------------------------------------------------------

double MapModel::FullScale() const {
    return session_.Map().FullScale();
}

std::vector<QPointF> MapModel::Markers(MapFuel fuel) const {
    std::vector<QPointF> out;
    for (const MapMarker& m : session_.Map().Markers())
        if (m.fuel == fuel) out.emplace_back(m.bar * 1000, m.ms);
    return out;
}

std::optional<QPointF> MapModel::LivePoint() const {
    const ParamImage& image = session_.Image();
    if (!cycle_.Online() || !image.Mem1Block.KeyOn) return std::nullopt;
    return QPointF(std::clamp(image.Mem1Block.VacuumRaw, 0.0, kMapDrawMaxPressure),
                   std::clamp(image.Mem1Block.PetrolInjTimes[0], 0.0, FullScale()));
}

}  // namespace gascal
