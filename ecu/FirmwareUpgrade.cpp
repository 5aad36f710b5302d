// The firmware upgrade's driver and its state table: what each state shows
// and enables, what the driver does for it (an exchange, a question, a due
// time, nothing) and which handler takes the result.
#include "ecu/FirmwareUpgrade.h"

#include <algorithm>

#include "common/EventService.h"
#include "common/Prompts.h"
#include "ecu/EcuSession.h"
#include "ecu/RequestBridge.h"
#include "ecu/UpgradeTexts.h"
#include "link/core/CommandTable.h"
#include "link/core/Frame.h"

namespace gascal {

namespace {
constexpr double kReopenMarginUs = 2e6;
constexpr double kReopenPollUs = 10000;
constexpr uint32_t kModeByteAddress = 0x0000013A;
}  // namespace

// What the driver does in a state.
enum class UpKind : uint8_t {
    Button,    // waits for Next or Esc
    Exchange,  // one ECU exchange with its tries
    Question,  // one question to the fitter
    Timed,     // the handler runs at the due time
    Over,      // finished or aborted: only Esc (close) remains
};

enum Buttons : uint8_t {
    kNone = 0,
    kNextShown = 1,  // "Next" visible
    kNextOn = 2,     // "Next" enabled
    kEsc = 4,        // "Esc" enabled (and taken between steps)
    kBar = 8,        // the bar visible on entering
};

struct FirmwareUpgrade::Row {
    UpState state;
    UpgradeStep step;  // None: the step shown stays
    UpgradeStage stage;
    int text;                  // UpText shown on entering, -1 none
    double bandLow, bandHigh;  // the bar's range in this state (low > high: unchanged)
    uint8_t buttons;
    UpKind kind;
    int tries;
    bool (FirmwareUpgrade::*act)();  // the exchange's one try, or the question
    void (FirmwareUpgrade::*handler)(bool ok);
};

namespace {
using F = FirmwareUpgrade;
using S = UpState;
using P = UpgradeStep;
using G = UpgradeStage;
constexpr int kNoText = -1;
constexpr double kKeep = 2, kKeepHigh = 0;
}  // namespace

// clang-format off
const FirmwareUpgrade::Row FirmwareUpgrade::kTable[] = {
// state             step                   stage         text                                  bar band        buttons                      kind              tries act                handler
{S::Checking,       P::None,              G::Checking, kNoText,                                 kKeep, kKeepHigh, kNextShown | kNextOn | kEsc, UpKind::Button,   0, nullptr,            nullptr},
{S::PressRead,      P::None,              G::Checking, kNoText,                                 kKeep, kKeepHigh, kNextShown | kEsc,          UpKind::Exchange, 1, &F::XReadLive,      &F::OnPressRead},
{S::CheckRead,      P::None,              G::Checking, kNoText,                                 kKeep, kKeepHigh, kNextShown | kEsc,          UpKind::Exchange, 1, &F::XReadLive,      &F::OnCheckRead},
{S::ModeRead,       P::None,              G::Checking, kNoText,                                 kKeep, kKeepHigh, kNextShown | kEsc,          UpKind::Exchange, 1, &F::XModeRead,      &F::OnModeRead},
{S::SerialRead,     P::None,              G::Checking, kNoText,                                 kKeep, kKeepHigh, kNextShown | kEsc,          UpKind::Exchange, 1, &F::XSerialRead,    &F::OnSerialRead},
{S::ChooseBackup,   P::None,              G::Checking, kNoText,                                 kKeep, kKeepHigh, kNextShown,                 UpKind::Question, 1, &F::QChooseBackup,  &F::OnChooseBackup},
{S::CheckFailPause, P::None,              G::Checking, static_cast<int>(UpText::MsgCommFailure), kKeep, kKeepHigh, kNextShown,                UpKind::Timed,    0, nullptr,            &F::OnCheckFailPause},
{S::Ready,          P::None,              G::Ready,    kNoText,                                 kKeep, kKeepHigh, kNextShown | kNextOn | kEsc, UpKind::Button,   0, nullptr,            nullptr},
{S::SaveBlock2,     P::SaveConfiguration, G::Ready,    kNoText,                                 kKeep, kKeepHigh, kNextShown | kEsc,          UpKind::Exchange, 3, &F::XSaveBlock2,    &F::OnSaveBlock},
{S::SaveBlock3,     P::SaveConfiguration, G::Ready,    kNoText,                                 kKeep, kKeepHigh, kNextShown | kEsc,          UpKind::Exchange, 3, &F::XSaveBlock3,    &F::OnSaveBlock},
{S::SaveTable,      P::SaveConfiguration, G::Ready,    kNoText,                                 kKeep, kKeepHigh, kNextShown | kEsc,          UpKind::Exchange, 3, &F::XSaveTable,     &F::OnSaveTable},
{S::SaveBlock5,     P::SaveConfiguration, G::Ready,    kNoText,                                 kKeep, kKeepHigh, kNextShown | kEsc,          UpKind::Exchange, 3, &F::XSaveBlock5,    &F::OnSaveBlock},
{S::SaveTestData,   P::SaveConfiguration, G::Ready,    kNoText,                                 kKeep, kKeepHigh, kNextShown | kEsc,          UpKind::Exchange, 3, &F::XSaveTestData,  &F::OnSaveTestData},
{S::Confirm,        P::SaveConfiguration, G::Ready,    kNoText,                                 kKeep, kKeepHigh, kNextShown,                 UpKind::Question, 1, &F::QConfirm,       &F::OnConfirm},
{S::Programming,    P::Initialization,    G::Ready,    kNoText,                                 0, 0,             kBar,                       UpKind::Exchange, 3, &F::XProgramming,   &F::OnProgramming},
{S::Erase,          P::EraseFlash,        G::Ready,    kNoText,                                 0, 0,             kBar,                       UpKind::Exchange, 3, &F::XErase,         &F::OnErase},
{S::Write,          P::WriteMemory,       G::Ready,    kNoText,                                 0, 1,             kBar,                       UpKind::Exchange, 3, &F::XWriteChunk,    &F::OnWrite},
{S::SkipQuestion,   P::WriteMemory,       G::Ready,    kNoText,                                 0, 1,             kBar,                       UpKind::Question, 1, &F::QSkipChunk,     &F::OnSkipQuestion},
{S::WriteEnd,       P::WriteEnd,          G::Ready,    kNoText,                                 1, 1,             kBar,                       UpKind::Exchange, 3, &F::XWriteEnd,      &F::OnWriteEnd},
{S::EndSettle,      P::WriteEnd,          G::Ready,    kNoText,                                 1, 1,             kBar,                       UpKind::Timed,    0, nullptr,            &F::OnEndSettle},
{S::EndBlink,       P::WriteEnd,          G::Ready,    kNoText,                                 1, 1,             kBar,                       UpKind::Timed,    0, nullptr,            &F::OnBlink},
{S::ReadIdentity,   P::ReadIdentity,      G::Ready,    kNoText,                                 1, 1,             kBar,                       UpKind::Exchange, 3, &F::XReadIdentity,  &F::OnReadIdentity},
{S::Restore,        P::Configuration,     G::Ready,    kNoText,                                 0, 1,             kBar,                       UpKind::Exchange, 3, &F::XRestore,       &F::OnRestore},
{S::RestoreGrow,    P::Configuration,     G::Ready,    kNoText,                                 0, 1,             kBar,                       UpKind::Timed,    0, nullptr,            &F::OnRestoreGrow},
{S::SaveFlash,      P::SaveFlash,         G::Ready,    kNoText,                                 1, 1,             kBar,                       UpKind::Exchange, 3, &F::XSaveFlash,     &F::OnSaveFlash},
{S::Verify,         P::SaveFlash,         G::Ready,    kNoText,                                 1, 1,             kBar,                       UpKind::Exchange, 3, &F::XVerify,        &F::OnVerify},
{S::FinalBlink,     P::EndUpgrade,        G::Ready,    kNoText,                                 1, 1,             kBar,                       UpKind::Timed,    0, nullptr,            &F::OnBlink},
{S::Finished,       P::None,              G::Finished, kNoText,                                 kKeep, kKeepHigh, kEsc,                       UpKind::Over,     0, nullptr,            nullptr},
{S::Aborted,        P::None,              G::Aborted,  kNoText,                                 kKeep, kKeepHigh, kEsc,                       UpKind::Over,     0, nullptr,            nullptr},
};
// clang-format on

const FirmwareUpgrade::Row& FirmwareUpgrade::RowOf(UpState s) {
    const Row& r = kTable[static_cast<size_t>(s)];
    return r;
}

bool EcuWaitsForProgram(EcuSession& session) {
    ClsComm& comm = session.Comm();
    if (comm.ComState() == ComState::Stopped) return false;
    const double until = MicroSeconds() + comm.AttesaGlobaleDefault_usec() + kReopenMarginUs;
    while (comm.ComState() != ComState::Idle && comm.ComState() != ComState::Stopped &&
           MicroSeconds() < until)
        WaitMicroSeconds(kReopenPollUs);
    QByteArray data;
    for (int shift = 24; shift >= 0; shift -= 8)
        data.append(static_cast<char>(kModeByteAddress >> shift));
    data.append('\x01');
    session.Requests().ForgetAnswer(CMD_READ_MEM_ZONE);
    if (!comm.SendAndWait(BuildRequest(CMD_READ_MEM_ZONE, data))) return false;
    const std::vector<uint8_t> mode = HexToBytes(session.Requests().LastAnswer(CMD_READ_MEM_ZONE));
    return !mode.empty() && mode[0] == ECU_PROGRAMMING;
}

FirmwareUpgrade::FirmwareUpgrade(EcuSession& session, Options options)
    : session_(session),
      options_(std::move(options)),
      fileIdentity_(session.Comm().FirmwareFle()),
      alive_(std::make_shared<bool>(true)) {
    for (size_t i = 0; i < std::size(kTable); ++i)
        Q_ASSERT(kTable[i].state == static_cast<UpState>(i));
}

FirmwareUpgrade::~FirmwareUpgrade() {
    *alive_ = false;
}

// --- What is shown -------------------------------------------------------------------

QString FirmwareUpgrade::StepLabel(UpgradeStep step) {
    switch (step) {
        case UpgradeStep::None:
            return QString();
        case UpgradeStep::SaveConfiguration:
            return QString();
        case UpgradeStep::Initialization:
            return QStringLiteral("Inizialization ");
        case UpgradeStep::EraseFlash:
            return QStringLiteral("Erase Flash ");
        case UpgradeStep::WriteMemory:
            return QStringLiteral("Write Memory");
        case UpgradeStep::WriteEnd:
            return QStringLiteral("Write End");
        case UpgradeStep::ReadIdentity:
            return QString();
        case UpgradeStep::Configuration:
            return QStringLiteral("Configuration ");
        case UpgradeStep::SaveFlash:
            return QStringLiteral("Save Flash ");
        case UpgradeStep::EndUpgrade:
            return QStringLiteral("End UpGrade ");
    }
    return QString();
}

QString FirmwareUpgrade::EcuRelease() const {
    const ClsComm& c = session_.Comm();
    return c.FirmwareEcuVersStr() + QStringLiteral(" - ") + c.FirmwareEcuDataStr();
}

QString FirmwareUpgrade::FileRelease() const {
    const ClsComm& c = session_.Comm();
    return c.FirmwareFleVersStr() + QStringLiteral(" - ") + c.FirmwareFleDataStr();
}

bool FirmwareUpgrade::NextVisible() const {
    return nextShown_ && (RowOf(state_).buttons & kNextShown);
}
bool FirmwareUpgrade::NextEnabled() const {
    return NextVisible() && (RowOf(state_).buttons & kNextOn);
}
bool FirmwareUpgrade::EscEnabled() const {
    return !closeRequested_ && (RowOf(state_).buttons & kEsc);
}
bool FirmwareUpgrade::Busy() const {
    const UpKind k = RowOf(state_).kind;
    return k != UpKind::Button && k != UpKind::Over && stage_ == UpgradeStage::Ready;
}
bool FirmwareUpgrade::Waiting() const {
    const UpKind k = RowOf(state_).kind;
    return !scheduled_ && (k == UpKind::Button || k == UpKind::Over);
}

void FirmwareUpgrade::Changed() {
    for (const auto& f : listeners_) f();
}

void FirmwareUpgrade::Say(const QString& text) {
    message_ = text;
    Changed();
}

QString FirmwareUpgrade::Text(UpText id) const {
    return UpgradeText(id, session_.Lookup());
}

void FirmwareUpgrade::SetProgress(double fraction) {
    const Row& r = RowOf(state_);
    if (r.bandLow > r.bandHigh) return;
    progress_ = r.bandLow + (r.bandHigh - r.bandLow) * std::clamp(fraction, 0.0, 1.0);
}

// --- Driver ----------------------------------------------------------------------------

void FirmwareUpgrade::Enter(UpState s) {
    state_ = s;
    const Row& r = RowOf(s);
    stage_ = r.stage;
    // The bar starts at its band's low end when a new step begins.
    if (r.step != UpgradeStep::None && r.step != step_) {
        if (r.bandLow <= r.bandHigh) progress_ = r.bandLow;
        if (r.buttons & kBar) barVisible_ = true;
        step_ = r.step;
    }
    if (r.text != kNoText) message_ = Text(static_cast<UpText>(r.text));
    switch (r.kind) {
        case UpKind::Exchange:
        case UpKind::Question:
            Schedule(MicroSeconds());
            break;
        case UpKind::Timed:
            Schedule(dueUs_);
            break;
        case UpKind::Button:
        case UpKind::Over:
            break;
    }
    Changed();
}

void FirmwareUpgrade::Schedule(double atUs) {
    if (scheduled_) return;
    scheduled_ = true;
    std::weak_ptr<bool> alive = alive_;
    Events().Post(atUs, [this, alive] {
        const auto a = alive.lock();
        if (a && *a) Drive();
    });
}

bool FirmwareUpgrade::TakeEvent(const Row& row) {
    // "Esc" wins over whatever the step would do next, as long as the ECU
    // has not been touched.
    if (escPending_ && (row.buttons & kEsc)) {
        escPending_ = false;
        Abort(UpgradeStop::Cancelled);
        return true;
    }
    escPending_ = false;
    if (options_.interrupted && options_.interrupted()) interruptPending_ = true;
    if (!interruptPending_) return false;
    if (!touched_) {
        interruptPending_ = false;
        Abort(UpgradeStop::Interrupted);
        return true;
    }
    // Once the end of writing was answered the ECU runs the new firmware
    // with the factory configuration, which no later run would recognise:
    // the few exchanges that put its own configuration back are finished
    // first.
    if (written_) return false;
    interruptPending_ = false;
    Finish(UpgradeOutcome::Incomplete, UpgradeStop::Interrupted,
           Text(UpText::MsgInterrupted) + QStringLiteral("\n") + backupPath_);
    return true;
}

void FirmwareUpgrade::Drive() {
    scheduled_ = false;
    const UpState s = state_;
    const Row& row = RowOf(s);
    if (row.kind == UpKind::Button || row.kind == UpKind::Over) return;
    // Posted events also run inside the link timer's own waits (the port
    // reopening); an exchange started there would wait for the link timer
    // that waits for it. The driver runs again once that tick is over.
    if (session_.LinkTimer().Busy()) {
        Schedule(MicroSeconds() + kReopenPollUs);
        return;
    }
    bool ok = true;
    // The exchange and the question happen here, outside any step: the
    // link's send and wait processes events, the fitter's answer may too.
    if (row.kind == UpKind::Exchange) {
        ok = RunExchange(row);
    } else if (row.kind == UpKind::Question) {
        ok = (this->*row.act)();
    }
    if (TakeEvent(row)) return;
    {
        WorkflowStep step("upgrade");
        (this->*row.handler)(ok);
    }
    if (!boxText_.isEmpty()) {
        const QString text = boxText_;
        boxText_.clear();
        UserPrompts().MessageBox(text, Text(UpText::UpdateCaption), boxIcon_, BoxButtons::Ok);
    }
}

void FirmwareUpgrade::Box(const QString& text, BoxIcon icon) {
    boxText_ = text;
    boxIcon_ = icon;
}

bool FirmwareUpgrade::RunExchange(const Row& row) {
    for (int attempt = 0; attempt < row.tries; ++attempt) {
        if (attempt > 0) ++figures_.retries;
        if (!AwaitLink()) return false;
        if ((this->*row.act)()) return true;
    }
    return false;
}

bool FirmwareUpgrade::AwaitLink() {
    // After a link error the supervision closes the port, opens it again and
    // looks for the ECU; with a cable pulled and put back that takes the
    // link's resends and the search. The try waits for it, for as long as
    // the upgrade allows the ECU to stay silent.
    ClsComm& comm = session_.Comm();
    const double until = MicroSeconds() + kUpgradeSilenceUs;
    while (comm.ComState() != ComState::Idle) {
        if (comm.ComState() == ComState::Stopped || MicroSeconds() >= until) return false;
        // An Esc the state takes ends the wait; so does an interrupt, unless
        // the configuration is to be put back.
        if (escPending_ && (RowOf(state_).buttons & kEsc)) return false;
        if (!written_ && (interruptPending_ || (options_.interrupted && options_.interrupted())))
            return false;
        WaitMicroSeconds(kReopenPollUs);
    }
    return true;
}

bool FirmwareUpgrade::Silent() const {
    const double last = std::max(session_.Requests().LastAnswerUs(), figures_.startUs);
    return MicroSeconds() - last > kUpgradeSilenceUs;
}

double FirmwareUpgrade::SlowWaitUs() const {
    const ClsComm& comm = session_.Comm();
    const double normal = comm.AttesaGlobaleDefault_usec();
    return std::max(normal, std::min(normal * comm.MolAttesaGlobale(), kSlowCommandMaxWaitUs));
}

// --- Events ------------------------------------------------------------------------------

void FirmwareUpgrade::Next() {
    if (!NextEnabled() || closeRequested_) return;
    pressedIn_ = stage_;
    Enter(UpState::PressRead);
}

void FirmwareUpgrade::Esc() {
    if (!EscEnabled()) return;
    if (scheduled_ || !Waiting()) {
        // A step's exchange is under way: the Esc is taken when it is over.
        escPending_ = true;
        return;
    }
    switch (stage_) {
        case UpgradeStage::Finished:
            // Closes with what the upgrade achieved: only a complete upgrade is a success.
            closeRequested_ = true;
            Changed();
            break;
        case UpgradeStage::Aborted:
            result_ = false;
            closeRequested_ = true;
            Changed();
            break;
        case UpgradeStage::Checking:
        case UpgradeStage::Ready:
            Abort(UpgradeStop::Cancelled);
            break;
    }
}

void FirmwareUpgrade::Interrupt() {
    if (Waiting()) {
        if (stage_ == UpgradeStage::Checking || stage_ == UpgradeStage::Ready)
            Abort(UpgradeStop::Interrupted);
        return;
    }
    interruptPending_ = true;
}

// --- Endings -------------------------------------------------------------------------------

void FirmwareUpgrade::Abort(UpgradeStop why) {
    outcome_ = UpgradeOutcome::Cancelled;
    stop_ = why;
    nextShown_ = false;
    result_ = false;
    message_ = QStringLiteral("\n") + Text(UpText::MsgAborted) + QStringLiteral("\n");
    Enter(UpState::Aborted);
}

void FirmwareUpgrade::Finish(UpgradeOutcome outcome, UpgradeStop why, const QString& text) {
    outcome_ = outcome;
    stop_ = why;
    result_ = outcome == UpgradeOutcome::Complete;
    nextShown_ = false;
    barVisible_ = false;
    figures_.endUs = MicroSeconds();
    message_ = text;
    Enter(UpState::Finished);
}

void FirmwareUpgrade::Fail(UpgradeStop why, const QString& reason) {
    if (!touched_) {
        Finish(UpgradeOutcome::Failed, why,
               reason + QStringLiteral("\n") + Text(UpText::MsgNotStarted));
        return;
    }
    // The ECU may wait for its program now: where its configuration is.
    Finish(UpgradeOutcome::Failed, why,
           reason + QStringLiteral("\n\n") + Text(UpText::MsgFailed) + QStringLiteral("\n") +
               backupPath_);
}

}  // namespace gascal
