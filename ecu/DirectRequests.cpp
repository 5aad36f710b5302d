#include "ecu/DirectRequests.h"

#include <algorithm>
#include <cmath>

#include "common/EventService.h"
#include "data/core/ParamImage.h"
#include "data/core/ParamRequests.h"
#include "ecu/EcuSession.h"
#include "link/core/CommandTable.h"

namespace gascal {

namespace {
constexpr double kConnectPollUs = 20000;
constexpr double kReopenMarginUs = 2e6;
constexpr double kReopenPollUs = 10000;
}  // namespace

SwitchRpmCheck CheckSwitchRpm(const ParamImage& image) {
    const Mem3Fields& m = image.Mem3Block;
    const Mem3Fields& p = image.PendingEdits.Mem3Block;
    SwitchRpmCheck c;
    c.coils = p.NumCoils >= 0 ? p.NumCoils : m.NumCoils;
    c.cylinders = p.NumCylinders >= 0 ? p.NumCylinders : m.NumCylinders;
    c.rpm = p.SwitchRpm > kPendingReal ? p.SwitchRpm : m.SwitchRpm;
    const double constant = ParamImage::RpmConstantFor(c.coils, c.cylinders);
    // A period that rounds to FFFF is the "no speed" value as well.
    constexpr double kLargestPeriod = kNoRpmPeriod - 0.5;
    c.lowest = std::ceil(constant / kLargestPeriod);
    c.fits = !(c.rpm > 0) || constant / c.rpm <= kLargestPeriod;
    return c;
}

bool DirectRequests::Connect(double timeoutUs,
                             const std::function<void(const QString&)>& searching) {
    ClsComm& comm = session_.Comm();
    const double deadline = MicroSeconds() + timeoutUs;
    QString lastSearch;
    while (MicroSeconds() < deadline) {
        if (comm.FlagRicercaCom() != SEARCH_OFF && searching) {
            const QString s = comm.FlagRicercaCom() == 0
                                  ? QStringLiteral("USB")
                                  : QStringLiteral("COM %1").arg(comm.FlagRicercaCom());
            if (s != lastSearch) {
                searching(s);
                lastSearch = s;
            }
        }
        if (comm.ComState() == ComState::Idle && !comm.LastKeepAliveAnswer().isEmpty() &&
            !comm.WDogPresente()) {
            // The ECU answered; the firmware file may still be unusable, which
            // the firmware check tells.
            if (comm.ReadFirmwareIdentity() || !comm.FirmwareEcu().isEmpty()) return true;
        }
        WaitMicroSeconds(kConnectPollUs);
    }
    return false;
}

bool DirectRequests::Try(const std::function<bool()>& request) {
    ClsComm& comm = session_.Comm();
    const double giveUpAt = giveUpUs_ > 0 ? MicroSeconds() + giveUpUs_ : 0;
    // The link abandons an exchange still running at the give-up time.
    const double before = comm.GiveUpAtUs();
    comm.SetGiveUpAtUs(giveUpAt);
    bool done = false;
    for (int attempt = 0; attempt < kRequestAttempts && !done; ++attempt) {
        if (giveUpAt > 0 && MicroSeconds() >= giveUpAt) break;
        if (request()) {
            done = true;
            break;
        }
        if (comm.ComState() == ComState::Stopped) break;
        // After a link error the supervision reopens the port; wait for it.
        double until = MicroSeconds() + comm.AttesaGlobaleDefault_usec() + kReopenMarginUs;
        if (giveUpAt > 0) until = std::min(until, giveUpAt);
        while (comm.ComState() != ComState::Idle && MicroSeconds() < until)
            WaitMicroSeconds(kReopenPollUs);
    }
    comm.SetGiveUpAtUs(before);
    return done;
}

bool DirectRequests::ReadBlock(int n) {
    return Try([&] { return session_.Requests().ReadBlock(n); });
}

bool DirectRequests::ReadSettings() {
    if (!ReadBlock(2) || !ReadBlock(3)) return false;
    return !session_.HasBlock5() || ReadBlock(5);
}

bool DirectRequests::ReadTable() {
    if (!Try([&] { return session_.Requests().ReadCorTable(); })) return false;
    session_.Image().CorTable = session_.Image().CorTableEcu;
    return true;
}

bool DirectRequests::ReadConfiguration() {
    return ReadSettings() && ReadBlock(kBlockTestData) && ReadTable();
}

DirectRequests::WriteResult DirectRequests::WriteBlocks(
    const std::set<int>& blocks, const std::function<bool(int)>& beforeWrite) {
    for (int block : {3, 2, 5}) {
        if (!blocks.count(block)) continue;
        // A block is always read fresh immediately before it is written.
        if (!ReadBlock(block)) return {WriteStep::FreshRead, block};
        if (beforeWrite && !beforeWrite(block)) return {WriteStep::Write, block};
        if (!Try([&] { return session_.Requests().WriteBlock(block); }))
            return {WriteStep::Write, block};
        if (!ReadBlock(block)) return {WriteStep::ReadBack, block};
    }
    return {};
}

bool DirectRequests::SaveFlash() {
    return Try([&] { return session_.Requests().SaveFlash(); });
}

bool DirectRequests::ReadSamples(MapFuel fuel) {
    const bool gas = fuel == MapFuel::Gas;
    RequestBridge& q = session_.Requests();
    const bool ok = Try([&] {
        return gas ? q.SendSimple(CMD_READ_SMPL_GAS) && q.SendSimple(CMD_READ_SMPL_GAS1)
                   : q.SendSimple(CMD_READ_SMPL_BNZ) && q.SendSimple(CMD_READ_SMPL_BNZ1);
    });
    if (ok) session_.Map().ReadSamples(fuel, q, session_.Image());
    return ok;
}

bool DirectRequests::ClearSamples(MapFuel fuel) {
    const uint8_t command = fuel == MapFuel::Gas ? CMD_CANC_SMPL_GAS : CMD_CANC_SMPL_BNZ;
    if (!Try([&] { return session_.Requests().SendSimple(command); })) return false;
    session_.Map().ClearFuel(fuel);
    return true;
}

}  // namespace gascal
