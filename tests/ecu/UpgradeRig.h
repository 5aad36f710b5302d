// The rig of the firmware upgrade tests: an installation folder with the
// shipped files, the tool's session on one simulated ECU in virtual time, and
// the configuration helpers that tell a restore from the factory's.
#pragma once

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <memory>

#include "common/EventService.h"
#include "common/Helpers.h"
#include "common/Prompts.h"
#include "common/TextFile.h"
#include "data/core/ParamFile.h"
#include "ecu/ConfigLoad.h"
#include "ecu/DirectRequests.h"
#include "ecu/EcuSession.h"
#include "ecu/FirmwareUpgrade.h"
#include "ecu/PollingCycle.h"
#include "ecu/UpgradeBackup.h"
#include "link/core/CommandTable.h"
#include "link/core/Frame.h"
#include "link/firmware/FirmwareWriter.h"
#include "link/firmware/FlashImage.h"
#include "link/firmware/LineReader.h"
#include "sim/core/SimEcu.h"
#include "sim/core/SimLayout.h"
#include "sim/core/SimPort.h"

namespace gascal::upgrade_rig {

inline void CopyFolder(const QString& from, const QString& to) {
    QDir().mkpath(to);
    for (const QString& f : QDir(from).entryList(QDir::Files))
        if (!f.startsWith(QLatin1Char('.'))) QFile::copy(from + "/" + f, to + "/" + f);
}

inline QByteArray Raw(const std::vector<uint8_t>& v) {
    return QByteArray(reinterpret_cast<const char*>(v.data()), static_cast<qsizetype>(v.size()));
}

// An installation folder with the shipped files, and a data folder of its
// own (the restore points) while it exists: a PC of its own.
struct Installation {
    Installation() : oldDataDir(qgetenv("GASCAL_DATA_DIR")) {
        CopyFolder(QStringLiteral(GASCAL_SOURCE_DIR "/installdata/BIN"), dir.path() + "/BIN");
        CopyFolder(QStringLiteral(GASCAL_SOURCE_DIR "/installdata/LNG"), dir.path() + "/LNG");
        qputenv("GASCAL_DATA_DIR", (dir.path() + "/Data").toLocal8Bit());
    }
    ~Installation() { qputenv("GASCAL_DATA_DIR", oldDataDir); }
    Installation(const Installation&) = delete;
    Installation& operator=(const Installation&) = delete;
    QString Path(const QString& rel = QString()) const {
        return rel.isEmpty() ? dir.path() : dir.path() + "/" + rel;
    }
    // The firmware image the installation's files describe.
    FlashImage Image(FlashTable& table, QString* identity = nullptr) const {
        FlashImage image;
        QString id;
        ReadFirmwareFileIdentity(table, image, Path("BIN/Flash.ini"), Path("BIN/TeluroInj468.frh"),
                                 id);
        if (identity) *identity = id;
        return image;
    }
    QTemporaryDir dir;
    QByteArray oldDataDir;
};

// The tool (an ECU session) on one simulated ECU, in virtual time.
struct Bench {
    explicit Bench(const Installation& inst, std::shared_ptr<sim::SimEcu> simEcu)
        : ecu(std::move(simEcu)), provider(ecu) {
        session = std::make_unique<EcuSession>(inst.Path(), &provider);
        session->StartLink();
    }
    ~Bench() { session.reset(); }
    bool Connect() { return DirectRequests(*session).Connect(30e6); }
    uint64_t Sent(uint8_t command) const {
        const auto& m = ecu->Counters().perCommand;
        const auto it = m.find(command);
        return it == m.end() ? 0 : it->second;
    }
    bool Send(uint8_t command, const std::vector<uint8_t>& data) {
        return session->Comm().SendAndWait(BuildRequest(command, Raw(data)));
    }
    // Presses a button and lets the upgrade's steps run until it waits for
    // the next one.
    static void Press(FirmwareUpgrade& up, void (FirmwareUpgrade::*button)()) {
        (up.*button)();
        Events().WaitUntil(MicroSeconds());
        for (int i = 0; i < 100000 && !up.Waiting(); ++i) WaitForEvents(MicroSeconds() + 1e6);
    }
    // Runs the upgrade as the window's buttons would: Next to check, Next to run.
    void Run(FirmwareUpgrade& up) {
        Press(up, &FirmwareUpgrade::Next);
        if (up.Stage() == UpgradeStage::Ready) Press(up, &FirmwareUpgrade::Next);
    }

    std::shared_ptr<sim::SimEcu> ecu;
    sim::SimUsbProvider provider;
    std::unique_ptr<EcuSession> session;
};

inline sim::SimOptions StoppedCar(const QString& version, bool old = false) {
    sim::SimOptions o;
    o.firmwareVersion = version;
    o.oldFirmware = old;
    o.key = false;
    o.engineRunning = false;
    return o;
}

// A configuration unlike the factory's, written and saved, so that what the
// erase puts back (the factory configuration) cannot pass for a restore.
inline void Customise(Bench& b, bool withBlock5) {
    sim::ConfigImage c = b.ecu->Working();
    sim::PutU16(&c.mem3[sim::mem3::SwitchTemp], 47);
    sim::PutU16(&c.mem3[sim::mem3::SwitchRpm], 4321);
    for (int k = 0; k < 8; ++k)
        sim::PutU16(&c.mem3[sim::mem3::InjTrim + 2 * k], static_cast<uint16_t>(-3 * k + 5));
    for (size_t i = 0; i < sim::kTableEntries; ++i)
        c.SetTableEntry(i, static_cast<int16_t>(i * 7 - 300));
    sim::PutU32(&c.dcol[sim::dcol::SerialNumber], 468000777);
    sim::PutU32(&c.mem2[sim::mem2::Hours1], 123456);
    sim::PutU32(&c.mem2[sim::mem2::Hours2], 6543);
    c.mem2[sim::mem2::VacuumAcqEnable] = 1;
    sim::PutU16(&c.mem5[sim::mem5::SohTfraComm], 321);
    ASSERT_TRUE(b.Send(CMD_WRT_MEM3, std::vector<uint8_t>(c.mem3.begin(), c.mem3.end())));
    ASSERT_TRUE(b.Send(CMD_WRT_MEM2, std::vector<uint8_t>(c.mem2.begin(), c.mem2.end())));
    for (uint8_t start = 0; start < sim::kTableEntries; start += 48) {
        std::vector<uint8_t> d{start, 48};
        d.insert(d.end(), c.table.begin() + 2 * start, c.table.begin() + 2 * (start + 48));
        ASSERT_TRUE(b.Send(CMD_WRT_TBL_COR, d));
    }
    ASSERT_TRUE(b.Send(CMD_WRIT_DCOL, std::vector<uint8_t>(c.dcol.begin(), c.dcol.end())));
    if (withBlock5) {
        ASSERT_TRUE(b.Send(CMD_WRT_MEM5, std::vector<uint8_t>(c.mem5.begin(), c.mem5.end())));
    }
    ASSERT_TRUE(b.Send(CMD_SAVE_FLASH, {0}));
    ASSERT_EQ(b.ecu->Saved(), b.ecu->Working());
}

// The configuration bytes of block 2 (the rest are the ECU's own reports).
inline std::vector<uint8_t> Mem2Config(const sim::ConfigImage& c) {
    std::vector<uint8_t> v{c.mem2[sim::mem2::WorkMode]};
    v.insert(v.end(), c.mem2.begin() + sim::mem2::Hours1, c.mem2.begin() + sim::mem2::CutOff);
    return v;
}

// The block-5 bytes of the installation's default set.
inline std::vector<uint8_t> DefaultSetBlock5(const Installation& inst) {
    QStringList lines;
    ReadLatin1Lines(inst.Path("LNG/Default.Xar"), lines);
    for (const QString& l : lines)
        if (l.trimmed().startsWith("B5")) return HexToBytes(l.trimmed().mid(2));
    return {};
}

// Number of 128-byte chunks of the image that hold anything but 0xFF.
inline int ChunksWithData(const FlashImage& image) {
    int n = 0;
    for (int64_t off = 0; off <= image.TableFlashUBound(); off += 128) {
        bool data = false;
        for (int64_t i = off; i < off + 128 && i <= image.TableFlashUBound(); ++i)
            data |= image.TableFlash(i) != 0xFF;
        n += data ? 1 : 0;
    }
    return n;
}

// A firmware file of the given version in the installation (plain text).
inline void InstallFirmware(const Installation& inst, const QString& version) {
    FirmwareDescription d;
    d.version = version;
    ASSERT_TRUE(WriteLatin1Lines(inst.Path("BIN/TeluroInj468.frh"), BuildFirmwareLines(d)));
}

class UpgradeOnSim : public ::testing::Test {
  protected:
    VirtualEventService ev;
    ScopedEvents scopeEvents{ev};
    ScriptedPrompts prompts;
    ScopedPrompts scopePrompts{prompts};
};

}  // namespace gascal::upgrade_rig
