#include "CaseChecks.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include "data/core/ParamImage.h"
#include "link/core/ClsComm.h"
#include "link/core/CommandTable.h"
#include "sim/core/SimEcu.h"
#include "sim/core/SimLayout.h"

namespace gascal::interrupt {

namespace {

void CopyFolder(const QString& from, const QString& to) {
    QDir().mkpath(to);
    for (const QString& f : QDir(from).entryList(QDir::Files))
        if (!f.startsWith(QLatin1Char('.'))) QFile::copy(from + "/" + f, to + "/" + f);
}

// The first differing byte, for the report.
QString FirstDifference(const std::vector<uint8_t>& want, const std::vector<uint8_t>& got) {
    for (size_t i = 0; i < want.size() && i < got.size(); ++i)
        if (want[i] != got[i])
            return QStringLiteral("byte %1 is %2, not %3").arg(i).arg(got[i]).arg(want[i]);
    return QStringLiteral("%1 bytes, not %2").arg(got.size()).arg(want.size());
}

}  // namespace

const char* PartName(Part p) {
    switch (p) {
        case Part::Block2Config:
            return "block 2";
        case Part::Block3:
            return "block 3";
        case Part::Block5:
            return "block 5";
        case Part::Table:
            return "the correction table";
        case Part::TestData:
            return "the test data";
        case Part::SavedFlash:
            return "the saved configuration";
    }
    return "?";
}

CarSnapshot CarSnapshot::Of(const sim::SimEcu& ecu) {
    CarSnapshot s;
    s.working = ecu.Working();
    s.saved = ecu.Saved();
    const auto& m = ecu.Counters().perCommand;
    const auto it = m.find(CMD_ERASE_FLASH);
    s.erases = it == m.end() ? 0 : it->second;
    return s;
}

std::vector<uint8_t> CarSnapshot::Bytes(Part p) const {
    switch (p) {
        case Part::Block2Config: {
            // What the tool writes there: the fuel asked for and the two
            // enables; the rest is the ECU's own report (the hour counters
            // go on counting while the engine runs).
            return {working.mem2[sim::mem2::WorkMode], working.mem2[sim::mem2::RpmCompEnable],
                    working.mem2[sim::mem2::VacuumAcqEnable]};
        }
        case Part::Block3:
            return AsBytes(working.Mem3Config());
        case Part::Block5:
            return AsBytes(working.mem5);
        case Part::Table:
            return AsBytes(working.table);
        case Part::TestData:
            return AsBytes(working.dcol);
        case Part::SavedFlash: {
            // Block 2 as the tool writes it; the ECU saves its hour counters itself.
            std::vector<uint8_t> v{saved.mem2[sim::mem2::WorkMode],
                                   saved.mem2[sim::mem2::RpmCompEnable],
                                   saved.mem2[sim::mem2::VacuumAcqEnable]};
            for (const auto& b : {AsBytes(saved.mem3), AsBytes(saved.mem5), AsBytes(saved.table),
                                  AsBytes(saved.dcol)})
                v.insert(v.end(), b.begin(), b.end());
            return v;
        }
    }
    return {};
}

std::vector<uint8_t> Mem3AsConfig(std::vector<uint8_t> mem3) {
    for (int i = 0; i < 8; ++i) {
        const size_t at = sim::CylOffset(sim::mem3::InjEnable, i, 1);
        if (at < mem3.size() && mem3[at] != sim::inj::Off) mem3[at] = sim::inj::Fitted;
    }
    return mem3;
}

double StoreAnswerWaitS() {
    const double answerUs =
        DEFAULT_ATTESA_GLOBALE_USEC * DEFAULT_MOL_ATTESA_GLOBALE + DEFAULT_IDLE_USEC;
    return (DEFAULT_NUM_RESEND + 1) * answerUs / 1e6;
}

bool OnlyEntriesOld(const QString& named, const std::vector<uint8_t>& now,
                    const std::vector<uint8_t>& want) {
    if (named.isEmpty() || now.size() != want.size()) return false;
    std::vector<bool> old(now.size() / 2, false);
    static const QRegularExpression range(QStringLiteral("(\\d+) to (\\d+)"));
    for (auto it = range.globalMatch(named.left(200)); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        for (int e = m.captured(1).toInt(); e <= m.captured(2).toInt(); ++e)
            if (e >= 0 && static_cast<size_t>(e) < old.size()) old[static_cast<size_t>(e)] = true;
    }
    for (size_t e = 0; e < old.size(); ++e)
        if ((now[2 * e] != want[2 * e] || now[2 * e + 1] != want[2 * e + 1]) && !old[e])
            return false;
    return true;
}

void InstallInto(const QString& dir) {
    CopyFolder(QStringLiteral(GASCAL_SOURCE_DIR "/installdata/BIN"), dir + "/BIN");
    CopyFolder(QStringLiteral(GASCAL_SOURCE_DIR "/installdata/LNG"), dir + "/LNG");
}

std::vector<uint8_t> TableBytesOf(const ParamImage& image) {
    std::vector<uint8_t> out;
    for (int start = 0; start < kCorTableSize; start += kCorChunkCount) {
        const std::vector<uint8_t> chunk = image.BuildCorChunk(start);
        out.insert(out.end(), chunk.begin() + 2, chunk.end());  // after start and count
    }
    return out;
}

void CaseChecks::Bound(bool ended, double boundS, double tookUs) {
    if (!ended)
        out_ << QStringLiteral("invariant 5: not ended within %1 s (ran %2 s)")
                    .arg(boundS)
                    .arg(tookUs / 1e6, 0, 'f', 1);
}

void CaseChecks::NoErase(const sim::SimEcu&) {
    if (after_.erases != before_.erases)
        out_ << QStringLiteral("invariant 4: the flash was erased");
}

void CaseChecks::Running(const sim::SimEcu& ecu) {
    if (ecu.Mode() != sim::EcuMode::Run)
        out_ << QStringLiteral("invariant 3: the ECU ended in %1 mode")
                    .arg(ecu.Mode() == sim::EcuMode::Slave ? QStringLiteral("slave")
                                                           : QStringLiteral("programming"));
}

void CaseChecks::Unchanged(Part p) {
    const std::vector<uint8_t> want = before_.Bytes(p), got = after_.Bytes(p);
    if (want != got)
        out_ << QStringLiteral("invariant 1: %1 changed: %2")
                    .arg(QLatin1String(PartName(p)), FirstDifference(want, got));
}

void CaseChecks::TableIs(const std::vector<uint8_t>& table, const char* what, bool orAsSaved) {
    const std::vector<uint8_t> got = after_.Bytes(Part::Table);
    if (orAsSaved && got == AsBytes(before_.saved.table)) return;
    if (got != table)
        out_ << QStringLiteral("invariant 2: the ECU's table is not %1: %2")
                    .arg(QLatin1String(what), FirstDifference(table, got));
}

void CaseChecks::Block2ConfigUnchangedButFuel() {
    std::vector<uint8_t> want = before_.Bytes(Part::Block2Config),
                         got = after_.Bytes(Part::Block2Config);
    want.erase(want.begin());
    got.erase(got.begin());
    if (want != got)
        out_ << QStringLiteral("invariant 1: block 2 changed: %1").arg(FirstDifference(want, got));
}

}  // namespace gascal::interrupt
