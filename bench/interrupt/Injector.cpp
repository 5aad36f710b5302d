#include "Injector.h"

#include <limits>

#include "common/EventService.h"
#include "sim/core/SimEcu.h"

namespace gascal::interrupt {

namespace {
constexpr double kCableShortUs = 1e6;
constexpr double kCableLongUs = 15e6;
constexpr double kCableGoneUs = 1e12;  // longer than any case runs
// Looks at the line this often until an answer is back, at most this often.
constexpr double kAnswerPollUs = 200;
constexpr int kAnswerPollsMax = 25000;  // 5 s
}  // namespace

Injector::Injector(VirtualEventService& ev, std::shared_ptr<sim::SimEcu> ecu,
                   std::optional<CaseId> which, std::function<void()> esc,
                   std::function<void()> carDisturbed)
    : ev_(ev),
      ecu_(std::move(ecu)),
      which_(std::move(which)),
      esc_(std::move(esc)),
      carDisturbed_(std::move(carDisturbed)) {
    ecu_->SetRequestObserver([this](uint8_t, uint8_t, const char*) { OnRequest(); });
}

Injector::~Injector() {
    ecu_->SetRequestObserver({});
}

void Injector::Arm() {
    armed_ = true;
    // The fault on the first answer is set before its request comes.
    if (which_ && IsAnswerFault(which_->what) && which_->index == 1) SetAnswerFault(true);
}

bool Injector::CableBackWithin2Min() const {
    return !which_ || !injected_ || which_->what != Interruption::CableGone;
}

void Injector::SetAnswerFault(bool on) {
    sim::FailureSettings& f = ecu_->Failures();
    const double p = on ? 1.0 : 0.0;
    switch (which_->what) {
        case Interruption::AnswerLost:
            f.lose = p;
            break;
        case Interruption::Status254:
            f.status254 = p;
            break;
        case Interruption::Status255:
            f.status255 = p;
            break;
        case Interruption::Corrupt:
            f.corrupt = p;
            break;
        default:
            break;
    }
    faultSet_ = on;
    if (on && !injected_) {
        injected_ = true;
        if (where_) at_ = where_();
    }
}

// Called inside the simulated ECU as it takes a request, after it decided
// what happens to the answer: nothing here touches the line at once.
void Injector::OnRequest() {
    if (!armed_) return;
    ++exchanges_;
    if (!which_) return;
    if (IsAnswerFault(which_->what)) {
        if (faultSet_) SetAnswerFault(false);  // this was the one answer
        // The next request's answer is the one to disturb.
        if (which_->index == exchanges_ + 1 && !injected_) SetAnswerFault(true);
        return;
    }
    if (injected_ || which_->index != exchanges_) return;
    if (which_->kind == PointKind::Request) {
        ev_.Post(ev_.MicroSeconds(), [this] { Inject(); });
    } else if (which_->kind == PointKind::Answer) {
        ev_.Post(ev_.MicroSeconds() + kAnswerPollUs, [this] { InjectWhenAnswerIsBack(0); });
    }
}

void Injector::StepChanged() {
    if (!armed_) return;
    ++steps_;
    if (which_ && !injected_ && which_->kind == PointKind::Step && which_->index == steps_)
        ev_.Post(ev_.MicroSeconds(), [this] { Inject(); });
}

// The answer is back once nothing is on the line and the tool has taken
// what came.
void Injector::InjectWhenAnswerIsBack(int polls) {
    const double now = ev_.MicroSeconds();
    ecu_->AdvanceTo(now);
    const bool back =
        ecu_->NextEventUs() == std::numeric_limits<double>::infinity() && ecu_->Readable(now) == 0;
    if (back || polls >= kAnswerPollsMax) {
        Inject();
        return;
    }
    ev_.Post(now + kAnswerPollUs, [this, polls] { InjectWhenAnswerIsBack(polls + 1); });
}

void Injector::Inject() {
    if (injected_) return;
    injected_ = true;
    if (where_) at_ = where_();
    const double now = ev_.MicroSeconds();
    switch (which_->what) {
        case Interruption::Esc:
            if (esc_) esc_();
            break;
        case Interruption::KeyOff:
            ecu_->AdvanceTo(now);
            ecu_->SetKey(false);
            if (carDisturbed_) carDisturbed_();
            break;
        case Interruption::EngineStop:
            ecu_->AdvanceTo(now);
            ecu_->SetEngineRunning(false);
            if (carDisturbed_) carDisturbed_();
            break;
        case Interruption::Cable1s:
            ecu_->Vanish(kCableShortUs, now);
            break;
        case Interruption::Cable15s:
            ecu_->Vanish(kCableLongUs, now);
            break;
        case Interruption::CableGone:
            ecu_->Vanish(kCableGoneUs, now);
            break;
        case Interruption::EcuReset:
            ecu_->Reset(now);
            break;
        default:
            break;
    }
}

}  // namespace gascal::interrupt
