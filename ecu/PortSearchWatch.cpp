#include "ecu/PortSearchWatch.h"

#include "common/Helpers.h"
#include "common/Prompts.h"
#include "ecu/EcuSession.h"
#include "link/core/PortDiagnosis.h"

namespace gascal {

namespace {
const char* const kPortsSection = "[Ports]";
}

PortSearchWatch::PortSearchWatch(EcuSession& session)
    : session_(session),
      // No settings file: the link searches from the cable and will write
      // the file once an ECU answers.
      firstStart_(session.Comm().MemoDatiCom() && session.Comm().FlagRicercaCom() != SEARCH_OFF) {}

void PortSearchWatch::Check() {
    if (busy_) return;
    ClsComm& comm = session_.Comm();
    if (comm.SearchReport().FailedRounds() == 0) {
        // An answer or a new search cleared the record: the next failure
        // is told again.
        shown_ = false;
        return;
    }
    if (shown_ || comm.FlagRicercaCom() == SEARCH_OFF) return;
    shown_ = true;
    busy_ = true;
    const QStringList texts =
        session_.SectionTexts(QString::fromLatin1(kPortsSection), PortTextDefaults());
    const QString message = PortSearchMessage(comm.SearchReport().Attempts(), texts);
    if (firstStart_ && startSimulator_ && !offered_) {
        offered_ = true;
        const QString question =
            message + QStringLiteral("\n\n") + PortTextOf(texts, PortText::OfferSimulator);
        if (UserPrompts().AskYesNo(question, AppTitle())) {
            startSimulator_();
            // The simulated ECU is USB device 0 now, for this run only.
            UseSimulatedEcuPort(session_.Comm());
            session_.Supervisor().SelezionaCom(0, true);
        }
    } else {
        UserPrompts().Message(
            message + QStringLiteral("\n\n") + PortTextOf(texts, PortText::SearchGoesOn),
            AppTitle(), BoxIcon::Information);
    }
    busy_ = false;
}

}  // namespace gascal
