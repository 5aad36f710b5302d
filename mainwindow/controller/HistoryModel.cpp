#include "mainwindow/controller/HistoryModel.h"

#include <array>
#include <map>

#include "common/Prompts.h"
#include "data/core/DataTexts.h"
#include "ecu/EcuSession.h"
#include "ecu/PollingCycle.h"
#include "mainwindow/controller/CalibrationModel.h"
#include "mainwindow/controller/MainController.h"

namespace gascal {

namespace {

const std::array<const char*, static_cast<size_t>(HistText::Count)> kEnglish{{
    "&History...",
    "Restore points",
    "ECU (serial number)",
    "Time",
    "Reason",
    "Stored in flash",
    "Compare with ECU",
    "Compare with point...",
    "Restore",
    "Close",
    "yes",
    "no",
    "damaged",
    "Load restore point %1 (%2) into the ECU? Its configuration replaces the ECU's and is "
    "stored in the ECU's flash.",
    "The restore point could not be written, so nothing was changed:",
    "This point was taken from the ECU with serial number %1; the connected ECU has %2. Load it "
    "all the same?",
    "No ECU is connected: the points of the ECU with a serial number can be looked at only.",
}};

const std::array<const char*, 11> kReasonEnglish{
    {"connection", "before a load", "before a calibration", "before an upgrade", "after an upgrade",
     "before a model reset", "before set", "before write-model", "window closed", "taken offline",
     "after a restore"}};

const QString kTimeShown = QStringLiteral("dd/MM/yyyy HH:mm:ss");

}  // namespace

QString HistoryText(const EcuSession& session, HistText t) {
    const int i = static_cast<int>(t);
    const QString fallback = QString::fromLatin1(kEnglish[static_cast<size_t>(i)]);
    const QString text = session.Text(kHistTextFirstEntry + i);
    return text.isEmpty() || text == QLatin1String("-") ? fallback : text;
}

QString PointReasonText(const EcuSession& session, PointReason r) {
    const size_t i = static_cast<size_t>(r);
    if (i >= kReasonEnglish.size()) return PointReasonName(r);
    const QString text = session.Text(kReasonTextFirstEntry + static_cast<int>(i));
    return text.isEmpty() || text == QLatin1String("-") ? QString::fromLatin1(kReasonEnglish[i])
                                                        : text;
}

static std::map<const PollingCycle*, HistoryModel*>& Models() {
    static std::map<const PollingCycle*, HistoryModel*> models;
    return models;
}

HistoryModel::HistoryModel(EcuSession& session, PollingCycle& cycle)
    : session_(session), cycle_(cycle), points_(session) {
    Models()[&cycle] = this;
}

HistoryModel::~HistoryModel() {
    Models().erase(&cycle_);
}

HistoryModel* HistoryModel::Of(const PollingCycle& cycle) {
    const auto it = Models().find(&cycle);
    return it == Models().end() ? nullptr : it->second;
}

void HistoryModel::Failed(const QString& why) {
    lastFailure_ = why;
}

bool HistoryModel::TakeBefore(PointReason reason) {
    QString why;
    if (points_.Take(reason, &why)) return true;
    Failed(why);
    UserPrompts().MessageBox(
        HistoryText(session_, HistText::PointFailed) + QStringLiteral("\r\n") + why,
        HistoryText(session_, HistText::Title), BoxIcon::Critical, BoxButtons::Ok);
    return false;
}

void HistoryModel::Install(CalibrationModel& calibration, MainController& controller) {
    // Every connection, once blocks, test data and table are read: a point
    // when the configuration is not the ECU's newest point.
    cycle_.OnFirstRefresh([this] {
        QString why;
        if (!points_.TakeIfChanged(PointReason::Connection, &why)) Failed(why);
    });
    // Before a file's configuration is written: a point, or no load.
    cycle_.SetBeforeLoad([this](const QString& path) {
        if (!restoring_.isEmpty() && path == restoring_) return TakeBefore(PointReason::Load);
        const bool factory = path == session_.LoadOptions().defaultSetPath;
        return TakeBefore(factory ? PointReason::ModelReset : PointReason::Load);
    });
    // The restored configuration as the ECU took it.
    cycle_.OnConfigLoaded([this](const QString& path, const ConfigLoad::Result& r) {
        if (path != restoring_ || !r.ok) return;
        restoring_.clear();
        QString why;
        if (!points_.Take(PointReason::Restore, &why)) Failed(why);
    });
    calibration.SetBeforeStart([this] { return TakeBefore(PointReason::Calibration); });
    controller.SetBeforeLeave([this](bool close) {
        QString why;
        if (!points_.TakeIfWritten(close ? PointReason::Close : PointReason::Offline, &why))
            Failed(why);
    });
    cycle_.OnClosed([this] {
        QString why;
        if (!points_.TakeIfWritten(PointReason::Close, &why)) Failed(why);
    });
}

std::optional<uint32_t> HistoryModel::ConnectedSerial() const {
    return EcuSerialNumber(session_.Comm());
}

std::vector<uint32_t> HistoryModel::Serials() const {
    std::vector<uint32_t> out;
    const std::optional<uint32_t> connected = ConnectedSerial();
    if (connected) out.push_back(*connected);
    for (uint32_t s : HistorySerials(Root()))
        if (!connected || s != *connected) out.push_back(s);
    return out;
}

std::vector<RestorePoint> HistoryModel::PointsOf(uint32_t serial) const {
    return ListHistory(Root(), serial);
}

FileCompareResult HistoryModel::CompareWithEcu(const RestorePoint& p) const {
    if (p.damaged) return {};
    return CompareFileWithEcu(session_, p.path);
}

std::vector<ParamDifference> HistoryModel::ComparePoints(const RestorePoint& first,
                                                         const RestorePoint& second) const {
    if (first.damaged || second.damaged) return {};
    const ParamLoadOptions options = session_.LoadOptions();
    const ParamFileRead a = ReadParamFileForCompare(first.path, session_.Image(), options);
    const ParamFileRead b = ReadParamFileForCompare(second.path, session_.Image(), options);
    if (!a.Usable() || !b.Usable()) return {};
    return CompareParams(a.Side(), b.Side());
}

bool HistoryModel::Restore(const RestorePoint& p) {
    if (p.damaged || !cycle_.ConfigFileToLoad().isEmpty()) return false;
    const QString title = HistoryText(session_, HistText::Title);
    const std::optional<uint32_t> serial = ConnectedSerial();
    if (serial && *serial != p.serial &&
        !UserPrompts().AskYesNo(
            HistoryText(session_, HistText::OtherEcu).arg(p.serial).arg(*serial), title))
        return false;
    if (!UserPrompts().AskYesNo(
            HistoryText(session_, HistText::AskRestore).arg(p.id, p.time.toString(kTimeShown)),
            title))
        return false;
    restoring_ = p.path;
    cycle_.LoadConfigFileLater(p.path);
    return true;
}

}  // namespace gascal
