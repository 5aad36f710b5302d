// The firmware upgrade under every interruption: an ECU of the older
// identity on a stopped car, its configuration made unlike the factory's
// and saved, upgraded as the window's two "Next" presses do.
#include <QFile>
#include <QTemporaryDir>
#include <memory>

#include "CaseChecks.h"
#include "Injector.h"
#include "common/EventService.h"
#include "common/Prompts.h"
#include "ecu/DirectRequests.h"
#include "ecu/EcuSession.h"
#include "ecu/FirmwareUpgrade.h"
#include "link/core/ClsComm.h"
#include "link/core/CommandTable.h"
#include "link/core/Frame.h"
#include "link/firmware/FlashImage.h"
#include "sim/core/SimEcu.h"
#include "sim/core/SimLayout.h"
#include "sim/core/SimPort.h"

namespace gascal::interrupt {

namespace {

// Writing the whole flash takes about a minute of line time; a link that
// does not answer is given up after 2 minutes of silence, per phase.
constexpr double kBoundS = 900;
constexpr double kOnlineS = 30;
constexpr const char* kOlderVersion = "0139";

QByteArray Raw(const std::vector<uint8_t>& v) {
    return QByteArray(reinterpret_cast<const char*>(v.data()), static_cast<qsizetype>(v.size()));
}

struct UpgradeBench {
    UpgradeBench() : scopeEvents(ev), scopePrompts(prompts) {
        InstallInto(dir.path());
        sim::SimOptions o;
        o.firmwareVersion = QString::fromLatin1(kOlderVersion);
        o.key = o.engineRunning = false;
        ecu = std::make_shared<sim::SimEcu>(o);
        provider = std::make_unique<sim::SimUsbProvider>(ecu);
        session = std::make_unique<EcuSession>(dir.path(), provider.get());
        session->StartLink();
    }
    ~UpgradeBench() {
        injector.reset();
        up.reset();
        session.reset();
    }
    bool Send(uint8_t command, const std::vector<uint8_t>& data) {
        return session->Comm().SendAndWait(BuildRequest(command, Raw(data)));
    }
    // A configuration unlike the factory's, written and saved, so that what
    // the erase puts back cannot pass for a restore.
    bool Customise() {
        sim::ConfigImage c = ecu->Working();
        sim::PutU16(&c.mem3[sim::mem3::SwitchTemp], 47);
        sim::PutU16(&c.mem3[sim::mem3::SwitchRpm], 4321);
        for (size_t i = 0; i < sim::kTableEntries; ++i)
            c.SetTableEntry(i, static_cast<int16_t>(i * 7 - 300));
        sim::PutU32(&c.dcol[sim::dcol::SerialNumber], 468000777);
        c.mem2[sim::mem2::VacuumAcqEnable] = 1;
        sim::PutU16(&c.mem5[sim::mem5::SohTfraComm], 321);
        bool ok = Send(CMD_WRT_MEM3, AsBytes(c.mem3)) && Send(CMD_WRT_MEM2, AsBytes(c.mem2));
        for (uint8_t start = 0; start < sim::kTableEntries; start += 48) {
            std::vector<uint8_t> d{start, 48};
            d.insert(d.end(), c.table.begin() + 2 * start, c.table.begin() + 2 * (start + 48));
            ok = ok && Send(CMD_WRT_TBL_COR, d);
        }
        ok = ok && Send(CMD_WRIT_DCOL, AsBytes(c.dcol)) && Send(CMD_WRT_MEM5, AsBytes(c.mem5)) &&
             Send(CMD_SAVE_FLASH, {0});
        return ok && ecu->Saved() == ecu->Working();
    }

    QTemporaryDir dir;
    VirtualEventService ev;
    ScopedEvents scopeEvents;
    ScriptedPrompts prompts;
    ScopedPrompts scopePrompts;
    std::shared_ptr<sim::SimEcu> ecu;
    std::unique_ptr<sim::SimUsbProvider> provider;
    std::unique_ptr<EcuSession> session;
    std::unique_ptr<FirmwareUpgrade> up;
    std::unique_ptr<Injector> injector;
};

using UpgradeRun = CaseRun;

const char* OutcomeName(UpgradeOutcome o) {
    switch (o) {
        case UpgradeOutcome::Pending:
            return "pending";
        case UpgradeOutcome::Complete:
            return "completed";
        case UpgradeOutcome::Incomplete:
            return "incomplete";
        case UpgradeOutcome::Failed:
            return "failed";
        case UpgradeOutcome::Cancelled:
            return "cancelled";
    }
    return "?";
}

UpgradeRun RunUpgrade(const std::optional<CaseId>& which) {
    UpgradeRun out;
    if (which) out.result.id = *which;
    CaseResult& r = out.result;
    UpgradeBench b;
    if (!DirectRequests(*b.session).Connect(kOnlineS * 1e6) || !b.Customise()) {
        r.violations << QStringLiteral("setup: the ECU was not reached or not customised");
        return out;
    }
    FlashTable table;
    FlashImage image;
    QString fileIdentity;
    ReadFirmwareFileIdentity(table, image, b.dir.path() + "/BIN/Flash.ini",
                             b.dir.path() + "/BIN/TeluroInj468.frh", fileIdentity);
    const std::vector<uint8_t> flashBefore = b.ecu->FlashImage().Bytes();
    const CarSnapshot before = CarSnapshot::Of(*b.ecu);
    std::optional<uint64_t> erasesAtEsc;

    b.up = std::make_unique<FirmwareUpgrade>(*b.session);
    b.injector = std::make_unique<Injector>(b.ev, b.ecu, which, [&] {
        // Once the sequence runs the window's Esc is disabled: nothing to press.
        if (!b.up->EscEnabled()) return;
        erasesAtEsc = CarSnapshot::Of(*b.ecu).erases;
        b.up->Esc();
    });
    b.injector->SetWhere(
        [&] { return QStringLiteral("upgrade state %1").arg(static_cast<int>(b.up->State())); });
    UpState last = b.up->State();
    bool leftChecking = false;
    b.up->OnChanged([&] {
        if (b.up->State() != last) {
            last = b.up->State();
            leftChecking |= last != UpState::Checking;
            b.injector->StepChanged();
        }
    });
    const double t0 = b.ev.MicroSeconds();
    b.injector->Arm();
    const auto over = [&] {
        const UpgradeStage s = b.up->Stage();
        // Finished, aborted, the window asked to close (Esc in stage 0), or
        // back in stage 0 after a check that did not pass: the fitter stops.
        return b.up->Waiting() &&
               (s == UpgradeStage::Finished || s == UpgradeStage::Aborted ||
                b.up->CloseRequested() || (leftChecking && b.up->State() == UpState::Checking));
    };
    // Next to check; Next again once it is ready.
    b.up->Next();
    bool pressedRun = false;
    const bool ended = b.ev.RunUntil(
        [&] {
            if (!pressedRun && !erasesAtEsc && b.up->Waiting() &&
                b.up->Stage() == UpgradeStage::Ready) {
                pressedRun = true;
                b.up->Next();
            }
            return over();
        },
        kBoundS * 1e6);
    out.shape = {b.injector->Exchanges(), b.injector->Steps()};
    r.injected = b.injector->Injected();
    r.at = b.injector->InjectedAt();
    const UpgradeOutcome outcome = b.up->Outcome();
    r.outcome = ended ? QString::fromLatin1(OutcomeName(outcome)) : QStringLiteral("hung");

    CaseChecks c(before, CarSnapshot::Of(*b.ecu), r.violations);
    c.Bound(ended, kBoundS, b.ev.MicroSeconds() - t0);
    const uint64_t erases = CarSnapshot::Of(*b.ecu).erases;
    if (erasesAtEsc && erases != *erasesAtEsc)
        r.violations << QStringLiteral("invariant 4: the flash was erased after Esc");
    const UpgradeStop stop = b.up->StopReason();
    if ((stop == UpgradeStop::NotAllowed || stop == UpgradeStop::Backup ||
         stop == UpgradeStop::Declined || stop == UpgradeStop::FirmwareFile) &&
        erases != before.erases)
        r.violations << QStringLiteral(
            "invariant 4: the flash was erased after a refusal or a failed backup");

    const bool newFirmware = b.ecu->FlashImage().Bytes() == image.Bytes();
    if (outcome == UpgradeOutcome::Complete) {
        if (!newFirmware)
            r.violations << QStringLiteral(
                "invariant 2: complete, but the flash is not the file's");
        if (b.session->Comm().FirmwareEcu() != fileIdentity)
            r.violations << QStringLiteral(
                "invariant 2: complete, but the tool reads another identity");
        c.Running(*b.ecu);
        for (Part p : {Part::Block2Config, Part::Block3, Part::Block5, Part::Table, Part::TestData})
            c.Unchanged(p);
        if (b.ecu->Saved() != b.ecu->Working())
            r.violations << QStringLiteral(
                "invariant 1: complete, but the configuration is not saved");
    } else if (!b.up->EcuTouched()) {
        // Nothing was changed: the ECU runs its old firmware with its configuration.
        if (erases != before.erases)
            r.violations << QStringLiteral("invariant 4: erased without touching the ECU");
        if (b.ecu->FlashImage().Bytes() != flashBefore)
            r.violations << QStringLiteral(
                "invariant 1: the flash changed though the ECU was not touched");
        c.Running(*b.ecu);
        for (Part p : {Part::Block2Config, Part::Block3, Part::Block5, Part::Table, Part::TestData})
            c.Unchanged(p);
    } else {
        // Touched and not complete: the tool says so and where the backup is.
        if (b.up->BackupPath().isEmpty() || !QFile::exists(b.up->BackupPath()))
            r.violations << QStringLiteral(
                "invariant 1: the ECU was changed and there is no backup");
        else if (!b.up->Message().contains(b.up->BackupPath()))
            r.violations << QStringLiteral(
                "invariant 2: not complete, and the message does not name the backup");
        // A cable back within 2 minutes lets the upgrade finish by itself.
        if (which &&
            (which->what == Interruption::Cable1s || which->what == Interruption::Cable15s))
            r.violations << QStringLiteral(
                                "invariant 5: the cable came back, yet the upgrade ended %1")
                                .arg(QString::fromLatin1(OutcomeName(outcome)));
    }
    return out;
}

}  // namespace

Workflow UpgradeWorkflow() {
    return {QStringLiteral("upgrade"), [] { return RunUpgrade(std::nullopt).shape; },
            [](const CaseId& id) { return RunUpgrade(id).result; }};
}

}  // namespace gascal::interrupt
