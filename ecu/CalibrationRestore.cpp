// The calibration's exchanges with the ECU and its abort: what Timer3
// carries out after a step (reads, fuel, slave and running mode, the backup
// reads, the table, the restore), the backups taken at step 00, and the
// abort's step, which keeps asking for the restore until everything is back
// or the ECU has not answered for 2 minutes.
#include <algorithm>
#include <array>

#include "common/EventService.h"
#include "ecu/Calibration.h"
#include "ecu/DirectRequests.h"
#include "ecu/EcuSession.h"
#include "ecu/FuelSwitch.h"
#include "link/core/CommandTable.h"

namespace gascal {

namespace {
CalDone Outcome(bool ok) {
    return ok ? CalDone::Ok : CalDone::Failed;
}
}  // namespace

// --- Exchanges: run by the driver, never inside a step ------------------------------

bool Calibration::ReadLive() {
    ClsComm& comm = session_.Comm();
    if (comm.ComState() == ComState::Stopped) return false;
    DirectRequests direct(session_);
    comm.SetAttesaGlobale_usec(kCalReadWaitUs);
    // Without block 1 the check fails anyway: an absent ECU costs one read.
    const bool ok = direct.ReadBlock(1) && direct.ReadBlock(2);
    comm.AttesaGlobale_usec_Default();
    return ok;
}

bool Calibration::ReadBackups() {
    // The blocks and the table of the ECU connected now, read for this
    // calibration: an image from before (another car, or nothing read yet)
    // is never what an abort writes back.
    DirectRequests direct(session_);
    if (!direct.ReadSettings()) return false;
    return direct.Try([&] { return session_.Requests().ReadCorTable(); });
}

bool Calibration::SendTable(const CorTableArray& table) {
    ParamImage& image = session_.Image();
    tableTouched_ = true;
    image.CorTable = table;
    // One attempt: a write the ECU did not take is tried again after the
    // next step, and the link's own resends are behind each attempt.
    return session_.Requests().WriteCorTable();
}

void Calibration::CarryOut(const Wanted& w) {
    DirectRequests direct(session_);
    RequestBridge& requests = session_.Requests();
    FuelSwitch fuel(requests, session_.Image());
    if (w.backupReads) lastBackup_ = Outcome(ReadBackups());
    if (w.running) lastRunning_ = Outcome(direct.Try([&] { return fuel.SetRunning(); }));
    if (w.slave) {
        lastSlave_ = Outcome(direct.Try([&] { return requests.SendFixed(FRAME_SET_ECU_SLAVE); }));
        // The mode is marked once the ECU took the request.
        if (lastSlave_ == CalDone::Ok)
            session_.Image().Mem2Block.EcuMode = static_cast<uint8_t>(EcuRunMode::Slave);
    }
    if (w.restore) Restore();
    // A cycle never measures with a table the ECU has not taken: a failed
    // write stays pending and is tried again after every step.
    if (pendingTable_ && !w.restore && SendTable(*pendingTable_)) pendingTable_.reset();
    if (w.fuel) lastFuel_ = Outcome(direct.Try([&] { return fuel.Write(*w.fuel); }));
    if (w.gasEnd) lastGas_ = Outcome(direct.Try([&] { return fuel.Request(Fuel::Gas); }));
}

bool Calibration::RestoreBlock(int n) {
    ParamImage& image = session_.Image();
    DirectRequests direct(session_);
    RequestBridge& requests = session_.Requests();
    // Each block is read fresh and written only when it differs from the
    // backup. Block 2: only what the tool writes there (the fuel asked for
    // and the two enables); the hour counters go on counting in the ECU.
    if (!direct.ReadBlock(n)) return false;
    if (n == 2) {
        const Mem2Fields& m2 = image.Mem2Block;
        if (m2.WorkMode == backupMem2_.WorkMode && m2.RpmCompEnable == backupMem2_.RpmCompEnable &&
            m2.VacuumAcqEnable == backupMem2_.VacuumAcqEnable)
            return true;
        image.PendingEdits.Mem2Block.WorkMode = backupMem2_.WorkMode;
        image.PendingEdits.Mem2Block.RpmCompEnable = backupMem2_.RpmCompEnable;
        image.PendingEdits.Mem2Block.VacuumAcqEnable = backupMem2_.VacuumAcqEnable;
        if (direct.Try([&] { return requests.WriteBlock(2); })) return true;
        image.PendingEdits.Mem2Block.WorkMode = kPendingByte;
        return false;
    }
    if (n == 3) {
        // An injector's state on gas (2 to 4) is the ECU's own: one fitted
        // then and now is no change to put back, and its state is left to
        // the ECU; only an injector fitted or switched off since is.
        Mem3Fields want = backupMem3_;
        std::array<bool, 8> ecuOwned{};
        for (size_t i = 0; i < want.InjEnable.size(); ++i) {
            ecuOwned[i] = (want.InjEnable[i] != 0) == (image.Mem3Block.InjEnable[i] != 0);
            if (ecuOwned[i]) want.InjEnable[i] = image.Mem3Block.InjEnable[i];
        }
        if (image.Mem3Block == want) return true;
        image.PendingEdits.Mem3Block = want;
        for (size_t i = 0; i < want.InjEnable.size(); ++i)
            if (ecuOwned[i]) image.PendingEdits.Mem3Block.InjEnable[i] = kPendingByte;
    } else {
        if (image.Mem5Block == backupMem5_) return true;
        image.PendingEdits.Mem5Block = backupMem5_;
    }
    return direct.Try([&] { return requests.WriteBlock(n); });
}

void Calibration::Restore() {
    // In this order; the first part the ECU does not take ends the round
    // (an absent ECU would make every further part wait as long again).
    if (restoreLeft_ & RestoreRunning) {
        FuelSwitch fuel(session_.Requests(), session_.Image());
        if (!DirectRequests(session_).Try([&] { return fuel.SetRunning(); })) return;
        restoreLeft_ &= ~RestoreRunning;
    }
    const std::pair<CalRestorePart, int> blocks[] = {
        {RestoreBlock2, 2}, {RestoreBlock3, 3}, {RestoreBlock5, 5}};
    for (const auto& [bit, n] : blocks) {
        if (!(restoreLeft_ & bit)) continue;
        if (!RestoreBlock(n)) return;
        restoreLeft_ &= ~bit;
    }
    if (restoreLeft_ & RestoreTable) {
        CorTableArray t = session_.Image().CorTableEcu;
        std::copy_n(backupTable_.begin(), kCalTableBackupEntries, t.begin());
        if (!SendTable(t)) return;
        restoreLeft_ &= ~RestoreTable;
    }
}

// --- Backups ---------------------------------------------------------------------------

void Calibration::TakeBackups() {
    // Everything an abort puts back, as this ECU holds it now (at every
    // start: a setting changed since an earlier calibration is the one to
    // keep). The injector type's limits come from the same block 3.
    ParamImage& image = session_.Image();
    backupMem2_ = image.Mem2Block;
    backupMem3_ = image.Mem3Block;
    backupMem5_ = image.Mem5Block;
    backupHasBlock5_ = session_.HasBlock5();
    backupTable_ = image.CorTableEcu;
    backupModel_ = session_.Model().Model();
    settings_.SetInjectorType(session_.Scale(), image.Mem3Block.InjTypeCode);
    started_ = true;
}

// --- The abort (state 23) ----------------------------------------------------------------

void Calibration::HandleAbort() {
    WorkflowStep step("calibration");
    SetStep(-1);
    blinkRpm_ = blinkTemp_ = false;
    if (!started_) {
        // Nothing was changed before the backups.
        Show(T(CalText::MsgAborted));
        ToIdle();
        return;
    }
    if (!abortBegun_) {
        abortBegun_ = true;
        restoreUntilUs_ = MicroSeconds() + kRestoreRetryUs;
        pendingTable_.reset();
        // The model is the tool's own: back at once.
        if (!(session_.Model().Model() == backupModel_)) SetModel(backupModel_);
        restoreLeft_ = RestoreRunning | RestoreBlock2 | RestoreBlock3;
        if (backupHasBlock5_) restoreLeft_ |= RestoreBlock5;
        if (tableTouched_) restoreLeft_ |= RestoreTable;
    }
    if (restoreLeft_ == 0) {
        Show(T(CalText::MsgAborted));
        started_ = false;
        ToIdle();
        return;
    }
    if (MicroSeconds() >= restoreUntilUs_ || session_.LinkStopped()) {
        // Only now, and naming what is not back.
        notRestored_ = restoreLeft_;
        Show(T(CalText::MsgRestoreFailed).arg(NotRestoredNames().join(QStringLiteral(", "))));
        started_ = false;
        ToIdle();
        return;
    }
    Show(RowText());
    wanted_.restore = true;
}

}  // namespace gascal
