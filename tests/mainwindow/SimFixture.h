// A whole tool session on the in-process simulated ECU, in virtual time: a
// fresh installation folder with the shipped data files (and no port
// settings, so the first start searches and finds the simulator on the USB
// slot), scripted prompts, the start-up routine and the main controller.
#pragma once

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <memory>
#include <vector>

#include "common/EventService.h"
#include "common/Prompts.h"
#include "link/firmware/FlashImage.h"
#include "mainwindow/controller/MainSession.h"
#include "sim/core/SimEcu.h"
#include "sim/core/SimPort.h"

namespace gascal::testing {

inline void CopyTree(const QString& from, const QString& to) {
    QDir src(from);
    QDir().mkpath(to);
    for (const QString& f : src.entryList(QDir::Files)) {
        if (f.startsWith(QLatin1Char('.'))) continue;
        QFile::copy(src.filePath(f), to + QLatin1Char('/') + f);
    }
}

// The firmware upgrade window as a test answers it: counted, and online
// afterwards as told.
struct ScriptedUpgrade {
    bool upgradeResult = false;
    int upgrades = 0, offered = 0;
};

struct Requested {
    Request what;
    bool ok;
    uint64_t tick;  // polling tick on which it was issued
};

class SimSession {
  public:
    explicit SimSession(sim::SimOptions opts = DefaultOptions(), bool withFeatures = false)
        : scopeEvents(ev), scopePrompts(prompts) {
        root = dir.path();
        CopyTree(QStringLiteral(GASCAL_SOURCE_DIR "/installdata/BIN"), root + "/BIN");
        CopyTree(QStringLiteral(GASCAL_SOURCE_DIR "/installdata/LNG"), root + "/LNG");
        ecu = std::make_shared<sim::SimEcu>(opts);
        provider = std::make_unique<sim::SimUsbProvider>(ecu);
        session = std::make_unique<MainSession>(root, provider.get());
        if (withFeatures) {
            cycle().SetUpgradeRunner([this](bool wasOffered) {
                ++features.upgrades;
                if (wasOffered) ++features.offered;
                return features.upgradeResult;
            });
        }
        sched().OnResult([this](Request r, bool ok) {
            requests.push_back({r, ok, cycle().PollTimer().Ticks()});
        });
    }

    // Identity text of the shipped firmware file ("VVVVDDMMYYYY" + descriptor).
    static QString ShippedFirmwareIdentity() {
        FlashTable table;
        FlashImage image;
        QString identity;
        ReadFirmwareFileIdentity(
            table, image, QStringLiteral(GASCAL_SOURCE_DIR "/installdata/BIN/Flash.ini"),
            QStringLiteral(GASCAL_SOURCE_DIR "/installdata/BIN/TeluroInj468.frh"), identity);
        return identity;
    }
    // Version digits of the shipped firmware file, "0140" for 01.00.40.
    static QString ShippedVersion() { return ShippedFirmwareIdentity().left(4); }
    static int ShippedVersionNum() { return ShippedVersion().toInt(); }
    // Version digits `delta` numbers from the shipped file's.
    static QString VersionBeside(int delta) {
        const QString v = ShippedVersion();
        return v.left(2) +
               QStringLiteral("%1").arg(v.right(2).toInt() + delta, 2, 10, QLatin1Char('0'));
    }
    static QString ShippedDate() { return ShippedFirmwareIdentity().mid(4, 8); }

    static sim::SimOptions DefaultOptions() {
        sim::SimOptions o;
        // The firmware file's version with an older date: the ECU is accepted
        // after the upgrade offer.
        o.firmwareVersion = ShippedVersion();
        o.firmwareDate = QStringLiteral("15032025");
        o.key = true;
        o.engineRunning = true;
        o.warm = true;
        return o;
    }

    MainController& ctl() { return session->Controller(); }
    PollingCycle& cycle() { return session->Cycle(); }
    RequestScheduler& sched() { return session->Cycle().Scheduler(); }
    SettingsModel& settings() { return session->Settings(); }
    LiveModel& live() { return session->Live(); }
    EcuSession& tool() { return session->Ecu(); }
    ClsComm& comm() { return session->Ecu().Comm(); }
    ParamImage& image() { return session->Ecu().Image(); }
    ClsLingue& lingue() { return session->Ecu().Lingue(); }
    ScaleConfig& scale() { return session->Ecu().Scale(); }
    void Start() { session->LoadAndStart(); }
    bool RunUntil(const std::function<bool()>& pred, double seconds) {
        return ev.RunUntil(pred, seconds * 1e6);
    }
    void RunFor(double seconds) { ev.RunFor(seconds * 1e6); }
    bool StartAndGoOnline(double seconds = 30) {
        Start();
        return RunUntil([this] { return cycle().Online() && !cycle().FirstRefreshPending(); },
                        seconds);
    }
    uint64_t Sent(uint8_t command) const {
        const auto& m = ecu->Counters().perCommand;
        const auto it = m.find(command);
        return it == m.end() ? 0 : it->second;
    }

    QTemporaryDir dir;
    QString root;
    VirtualEventService ev;
    ScopedEvents scopeEvents;
    ScriptedPrompts prompts;
    ScopedPrompts scopePrompts;
    ScriptedUpgrade features;
    std::shared_ptr<sim::SimEcu> ecu;
    std::unique_ptr<sim::SimUsbProvider> provider;
    std::unique_ptr<MainSession> session;
    std::vector<Requested> requests;
};

}  // namespace gascal::testing
