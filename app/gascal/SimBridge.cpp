#include "app/gascal/SimBridge.h"

#include "common/EventService.h"

namespace gascal {

namespace {
// Probability per request of the failures the panel turns on.
constexpr double kFailureRate = 0.1;
constexpr double kVanishUs = 3e6;
}  // namespace

void SimBridge::SetKey(bool on) {
    ecu_->SetKey(on);
}
bool SimBridge::Key() const {
    return ecu_->Engine().Controls().key;
}
void SimBridge::SetEngineRunning(bool on) {
    ecu_->SetEngineRunning(on);
}
void SimBridge::SetTargetRpm(double rpm) {
    ecu_->SetTargetRpm(rpm);
}
void SimBridge::SetLoad(double load) {
    ecu_->SetLoad(load);
}

void SimBridge::FollowCalibration(CalInstruction instruction, double askedRpm) {
    if (!fitterOn_) return;
    fitter_.Follow(sim::TaskForInstruction(static_cast<int>(instruction)), askedRpm);
}

QStringList SimBridge::FailureNames() const {
    return {QStringLiteral("Corrupt answer bytes (10 %)"),
            QStringLiteral("Lose answers (10 %)"),
            QStringLiteral("Status 254 answers (10 %)"),
            QStringLiteral("Status 255 answers (10 %)"),
            QStringLiteral("Late answers (10 %)"),
            QStringLiteral("Split answers (10 %)"),
            QStringLiteral("Collision noise (10 %)"),
            QStringLiteral("Pull the cable for 3 s"),
            QStringLiteral("ECU reset")};
}

void SimBridge::InjectFailure(int index) {
    auto& f = ecu_->Failures();
    switch (index) {
        case 0:
            f.corrupt = kFailureRate;
            break;
        case 1:
            f.lose = kFailureRate;
            break;
        case 2:
            f.status254 = kFailureRate;
            break;
        case 3:
            f.status255 = kFailureRate;
            break;
        case 4:
            f.late = kFailureRate;
            break;
        case 5:
            f.split = kFailureRate;
            break;
        case 6:
            f.collision = kFailureRate;
            break;
        case 7:
            ecu_->Vanish(kVanishUs, MicroSeconds());
            break;
        case 8:
            ecu_->Reset(MicroSeconds());
            break;
        default:
            break;
    }
}

void SimBridge::ClearFailures() {
    ecu_->Failures() = sim::FailureSettings{};
}

bool SimBridge::StartDrive() {
    if (!session_ || Driving()) return false;
    drive_ = std::make_unique<MapDrive>(*session_, ecu_, nullptr);
    return true;
}

QString SimBridge::Summary() const {
    const auto& st = ecu_->Engine().State();
    const char* mode = ecu_->Mode() == sim::EcuMode::Slave ? "slave" : "running";
    return QStringLiteral(
               "Engine %1 rpm, reducer %2 \u00B0C, on %3, ECU %4; requests %5, answers %6")
               .arg(qRound(st.rpm))
               .arg(qRound(st.reducerC))
               .arg(ecu_->OnGas() ? QStringLiteral("gas") : QStringLiteral("petrol"))
               .arg(QString::fromLatin1(mode))
               .arg(ecu_->Counters().requests)
               .arg(ecu_->Counters().answers) +
           (drive_ ? QStringLiteral("; drive: ") + drive_->Progress() : QString());
}

}  // namespace gascal
