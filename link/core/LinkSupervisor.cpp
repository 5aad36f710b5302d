#include "link/core/LinkSupervisor.h"

#include "common/EventService.h"

namespace gascal {

// --- Port search window ---------------------------------------------------------------

void FrmInitModel::SetTipoMessaggio(int tipo) {
    if (tipo != 0 && tipo != 1 && tipo != 3) return;
    tipo_ = tipo;
    if (tipo == 3) {
        label_ = QStringLiteral("SEARCH COM");
    } else {
        const int i = tipo;  // 0: first dictionary text, 1: second
        label_ = i < texts_.size() ? texts_[i] : QString();
    }
}

void FrmInitModel::Show() {
    if (!visible_) {
        visible_ = true;
        timerRunning_ = true;
    }
}

void FrmInitModel::ElaboraMsgCom(bool offlineMode, bool searchRunning, bool firstReadingPending) {
    if (offlineMode) {
        visible_ = false;
        timerRunning_ = false;
    } else if (searchRunning) {
        if (tipo_ != 3) SetTipoMessaggio(3);
        Show();
    } else if (firstReadingPending) {
        SetTipoMessaggio(0);
        Show();
    } else if (visible_) {
        visible_ = false;
        timerRunning_ = false;
        label_.clear();
    }
}

// --- Device menu ------------------------------------------------------------------------

QString LinkSupervisor::PortItemCaption(int item) {
    if (item == 0) return QStringLiteral(" USB");
    return QStringLiteral("  COM ") + QString::number(item);
}

int LinkSupervisor::PortaDiComSelected() const {
    for (int i = 0; i < PORT_ITEMS; ++i)
        if (ticks_[i]) return i;
    return PORT_ITEMS;
}

void LinkSupervisor::TickOnly(int item) {
    ticks_.fill(false);
    if (item >= 0 && item < PORT_ITEMS) ticks_[item] = true;
}

// The item a search cursor stands for: a cursor past COM9 is no port, and
// the search goes on with the cable, so the cable's item is ticked.
static int SearchItem(int flag) {
    return flag < PORT_ITEMS ? flag : 0;
}

void LinkSupervisor::TickCurrentPort() {
    const int flag = comm_.FlagRicercaCom();
    if (flag != SEARCH_OFF)
        TickOnly(SearchItem(flag));
    else
        TickOnly(comm_.UsbCom() == 1 ? 0 : comm_.ComPort());
}

void LinkSupervisor::SelezionaCom(int idCom, bool isUsb) {
    menuEnabled_ = false;
    TickOnly(isUsb ? 0 : idCom);
    const double until = MicroSeconds() + SELECT_PORT_WAIT_USEC;
    while (comm_.ComState() != ComState::Idle && MicroSeconds() < until) WaitForEvents(until);
    if (timerControl_) timerControl_(false);
    comm_.CloseComPort();
    comm_.SetUsbCom(isUsb ? 1 : 0);
    if (!isUsb) comm_.SetComPort(idCom);
    comm_.Reopen();
    if (timerControl_) timerControl_(true);
    menuEnabled_ = true;
}

void LinkSupervisor::PortItemChosen(int item) {
    if (item < 0 || item >= PORT_ITEMS) return;
    comm_.SearchReport().Clear();
    comm_.SetFlagRicercaCom(SEARCH_OFF);
    offlineTicked_ = false;
    offlineMode_ = false;
    SelezionaCom(item, item == 0);
    comm_.WriteSetCom(QStringLiteral("\\BIN\\SetCom.ini"));
}

void LinkSupervisor::SearchComChosen() {
    comm_.SearchReport().Clear();
    comm_.SetFlagRicercaCom(0);
    comm_.SetFirmwareEcu(QString());
    offlineMode_ = false;
    comm_.Reopen();
    offlineTicked_ = false;
    TickOnly(0);
}

void LinkSupervisor::OfflineChosen() {
    offlineRequest_ = true;
    offlineTicked_ = true;
    TickOnly(-1);
    if (linkTimer_) linkTimer_->Wake();
}

// --- Link timer -------------------------------------------------------------------------

LinkSupervisor::~LinkSupervisor() {
    if (linkTimer_ && comm_.LinkTimer() == linkTimer_) comm_.SetLinkTimer(nullptr);
}

void LinkSupervisor::SetLinkTimer(Timer* timer) {
    linkTimer_ = timer;
    comm_.SetLinkTimer(timer);
}

void LinkSupervisor::SleepUntilDue() {
    // An offline request made during this tick's waits is applied next tick.
    if (!linkTimer_ || offlineRequest_) return;
    comm_.SleepLinkTimer();
}

void LinkSupervisor::Timer1Tick() {
    ApplyOfflineRequest();
    StepAndShow();
}

void LinkSupervisor::ApplyOfflineRequest() {
    if (!offlineRequest_) return;
    comm_.Stop();
    comm_.SetNumWDogSend(0);
    offlineRequest_ = false;
    offlineMode_ = true;
}

void LinkSupervisor::StepAndShow() {
    // The port about to be tried is shown before the step: its open and
    // keep-alive take a while, and the window repaints during those waits.
    ShowSearchCell();
    comm_.SupervisionStep();
    AggiornaStatoCom();
}

void LinkSupervisor::SetCell(int cell, const StatusCell& c) {
    StatusCell& target = cell == 0 ? cell0_ : cell1_;
    const bool changed = target.text != c.text || target.background != c.background ||
                         target.foreground != c.foreground;
    target = c;
    if (changed && observer_) observer_(cell, target);
}

void LinkSupervisor::ShowSearchCell() {
    const int flag = comm_.FlagRicercaCom();
    if (flag == SEARCH_OFF) return;
    TickOnly(SearchItem(flag));
    SetCell(0, {QStringLiteral("SEARCH COMUNICATION PORT: ") +
                    (flag == 0 ? QStringLiteral("USB")
                               : QStringLiteral("COM ") + QString::number(flag)),
                std::nullopt, std::nullopt});
}

void LinkSupervisor::AggiornaStatoCom() {
    StatusCell c1 = cell1_;
    ComState state = comm_.ComState();
    // While no ECU has answered on the port (a search, a port that stays
    // silent) the exchanges are attempts: the cell reads as the port's
    // opening, never OK.
    if (!comm_.EcuAnswered() && (state == ComState::Idle || state == ComState::Sending ||
                                 state == ComState::AwaitingAnswer))
        state = ComState::OpenOrSearch;
    switch (state) {
        case ComState::Reopen:
            c1 = {QStringLiteral("COM CLOSED"), COLOR_RED, COLOR_WHITE};
            break;
        case ComState::Idle:
            c1.text = QStringLiteral("COM OK   ");
            break;
        case ComState::Sending:
            c1.text = QStringLiteral("COM OK...");
            break;
        case ComState::AwaitingAnswer: {
            QString next = QStringLiteral("COM OK.  ");
            if (c1.text == QLatin1String("COM OK.  "))
                next = QStringLiteral("COM OK.. ");
            else if (c1.text == QLatin1String("COM OK.. "))
                next = QStringLiteral("COM OK...");
            c1 = {next, COLOR_GREEN, COLOR_BLACK};
            break;
        }
        case ComState::LinkError:
            c1 = {QStringLiteral("COM WDOG"), COLOR_RED, COLOR_WHITE};
            break;
        case ComState::OpenOrSearch:
            c1 = {QStringLiteral("COM INI"), COLOR_GREEN, COLOR_BLACK};
            break;
        case ComState::Stopped:
            c1 = {QStringLiteral("COM STOP"), COLOR_RED, COLOR_WHITE};
            break;
        default:
            c1 = {QStringLiteral("Text...."), COLOR_RED, COLOR_WHITE};
            break;
    }
    SetCell(1, c1);
    const int flag = comm_.FlagRicercaCom();
    if (flag != SEARCH_OFF) {
        // The tick follows the search cursor, like the text (a cursor past
        // COM9 ticks the cable, which the search tries next).
        TickOnly(SearchItem(flag));
        SetCell(0, {QStringLiteral("SEARCH COMUNICATION PORT: ") +
                        (flag == 0 ? QStringLiteral("USB")
                                   : QStringLiteral("COM ") + QString::number(flag)),
                    std::nullopt, std::nullopt});
    } else if (cell0_.text.startsWith(QLatin1String("SEARCH COMUNICATION PORT: "))) {
        // The search is over: its progress text goes.
        SetCell(0, {QString(), std::nullopt, std::nullopt});
    }
}

}  // namespace gascal
