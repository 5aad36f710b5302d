// Every file the tool rewrites survives the tool being killed while it
// writes: a child process rewrites the file in a loop, switching between
// two versions, and is killed (SIGKILL) at a random moment; the file must
// then be exactly one of the two versions, never a mixture or a
// truncation. The calibration report, which grows by whole entries, must
// hold only whole entries.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <csignal>
#include <cstdio>
#include <functional>
#include <random>

#include "common/EventService.h"
#include "common/Helpers.h"
#include "common/Prompts.h"
#include "common/TextFile.h"
#include "data/core/ClsLingue.h"
#include "data/core/ParamFile.h"
#include "data/core/ParamImage.h"
#include "ecu/Calibration.h"
#include "ecu/InjectionMap.h"
#include "ecu/UpgradeBackup.h"
#include "link/core/ClsComm.h"
#include "link/firmware/LineReader.h"
#include "viewer/model/RecordingFiles.h"
#include "viewer/model/ViewerSettings.h"

namespace gascal {
namespace {

QByteArray Content(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return QByteArrayLiteral("<missing>");
    return f.readAll();
}

// Where two contents part, for the failure message.
std::string Difference(const QByteArray& a, const QByteArray& b) {
    qsizetype i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
    return "first difference at byte " + std::to_string(i) + ": \"" + a.mid(i, 40).toStdString() +
           "\" against \"" + b.mid(i, 40).toStdString() + "\"";
}

// One rewritten file: where it is and how the tool writes version 0 or 1.
struct RewrittenFile {
    const char* name;
    QString path;
    std::function<bool(int version)> write;
};

struct KillReport {
    int rounds = 0;
    int old = 0, fresh = 0;  // rounds that ended with version 0 / 1
};

// Runs `rounds` kills against the writer and checks the file after each.
KillReport KillWhileWriting(const RewrittenFile& f, int rounds, std::mt19937& random) {
    KillReport r;
    // The two versions as the tool writes them, and how long a write takes.
    EXPECT_TRUE(f.write(1)) << f.name;
    const QByteArray v1 = Content(f.path);
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < 10; ++i) EXPECT_TRUE(f.write(1 - i % 2)) << f.name;
    const qint64 writeUs = std::max<qint64>(t.nsecsElapsed() / 10000, 20);
    const QByteArray v0 = Content(f.path);
    EXPECT_NE(v0, v1) << f.name << ": both versions are the same";
    EXPECT_FALSE(v0.isEmpty()) << f.name;

    std::uniform_int_distribution<qint64> delay(0, 4 * writeUs);
    for (int round = 0; round < rounds; ++round) {
        EXPECT_TRUE(f.write(0)) << f.name;
        std::fflush(nullptr);
        const pid_t child = fork();
        if (child == 0) {
            // Rewrites the file until killed (or, should the test be gone,
            // for a few seconds at most).
            QElapsedTimer life;
            life.start();
            for (int v = 1; life.elapsed() < 5000; v ^= 1) f.write(v);
            _exit(0);
        }
        EXPECT_GT(child, 0);
        if (child <= 0) break;
        // Let it get going, then kill it at a random point of a write.
        ::usleep(static_cast<useconds_t>(writeUs + delay(random)));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status)) << f.name << ": the writer ended before it was killed";
        const QByteArray now = Content(f.path);
        ++r.rounds;
        if (now == v0) {
            ++r.old;
        } else if (now == v1) {
            ++r.fresh;
        } else {
            ADD_FAILURE() << f.name << ": after a kill in round " << round
                          << " the file is neither version (" << now.size() << " bytes; versions "
                          << v0.size() << " and " << v1.size() << "); " << Difference(now, v0)
                          << "; " << Difference(now, v1);
            break;
        }
    }
    return r;
}

class CrashSafeFiles : public ::testing::Test {
  protected:
    // A clock that stands still: files that carry their creation time are
    // the same every time they are written.
    VirtualEventService ev;
    ScopedEvents scopeEvents{ev};
    QTemporaryDir dir;
    ScriptedPrompts prompts;
    ScopedPrompts scope{prompts};
    std::mt19937 random{20261207};

    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        for (const char* sub : {"BIN", "LNG", "SAMPLES"})
            QDir(dir.path()).mkpath(QLatin1String(sub));
        SetInstallDir(dir.path());
    }
    QString Path(const QString& name) const { return dir.path() + QLatin1Char('/') + name; }
    void Check(const RewrittenFile& f, int rounds = 25) {
        const KillReport r = KillWhileWriting(f, rounds, random);
        std::printf("  %-28s %2d kills: %2d old, %2d new\n", f.name, r.rounds, r.old, r.fresh);
    }
};

ParamImage ImageVersion(int v) {
    ParamImage image;
    for (size_t i = 0; i < image.CorTable.size(); ++i)
        image.CorTable[i] = v ? 1.0 + i * 0.013 : i * 0.011;
    image.Mem3Block.SwitchRpm = v ? 1600 : 1400;
    return image;
}

MapPoints MapVersion(int v) {
    MapPoints m;
    for (size_t i = 0; i < m.X_VacmBnz.size(); ++i) {
        m.X_VacmBnz[i] = 200 + 10 * i + v * 20;
        m.Y_TinjBnz[i] = 2 + 0.2 * i;
        m.X_VacmGas[i] = 220 + 10 * i;
        m.Y_TinjGas[i] = 2.4 + 0.2 * i + v;
    }
    return m;
}

TEST_F(CrashSafeFiles, ConfigurationFilesAreOldOrNew) {
    const ParamImage images[2] = {ImageVersion(0), ImageVersion(1)};
    Check({"parameter file (*.var)", Path("car.var"), [&](int v) {
               return SaveParamFile(Path("car.var"), images[v], 140, QStringLiteral("gascal"));
           }});

    SavedConfiguration saved;
    saved.mem2.assign(kMem2Bytes, 1);
    saved.mem3.assign(kMem3Bytes, 2);
    saved.mem5.assign(kMem5Bytes, 3);
    saved.table.assign(2 * kCorTableSize, 4);
    saved.testData.assign(16, 5);
    saved.ecuIdentity = QStringLiteral("014025031500") + QString(32, QLatin1Char('G'));
    saved.ecuVersion = 140;
    ASSERT_TRUE(saved.Complete());
    Check({"upgrade backup", Path("backup.var"), [&](int v) {
               return WriteUpgradeBackup(Path("backup.var"), saved, images[v], 140,
                                         QStringLiteral("gascal"));
           }});

    ClsComm comm;
    Check({"port settings (SetCom.ini)", Path("BIN/SetCom.ini"), [&](int v) {
               comm.SetComPort(v ? 5 : 3);
               comm.SetTitolo(v ? QStringLiteral("second") : QStringLiteral("first"));
               comm.WriteSetCom(QStringLiteral("\\BIN\\SetCom.ini"));
               return true;
           }});

    QStringList lines;
    for (int i = 0; i < 400; ++i)
        lines << QStringLiteral("[Key%1]").arg(i) << QString::number(i * 7);
    Check({"scrambled configuration", Path("LNG/ConfigScale.ini"), [&](int v) {
               QStringList l = lines;
               l[1] = QString::number(v);
               return WriteScrambledFile(Path("LNG/ConfigScale.ini"), l);
           }});
}

TEST_F(CrashSafeFiles, LanguageFilesAreOldOrNew) {
    ASSERT_TRUE(QFile::copy(QStringLiteral(GASCAL_SOURCE_DIR "/installdata/LNG/M3.diz"),
                            Path("LNG/M3.diz")));
    ASSERT_TRUE(WriteLatin1Lines(Path("LNG/M3.con"), {QStringLiteral("0")}));
    ClsLingue lingue;
    lingue.SetPathDizionario(Path("LNG/M3.diz"));
    lingue.SetPathAttualeLingua(Path("LNG/M3.con"));
    lingue.LoadDizionario();
    ASSERT_GT(lingue.UboundVoci(), 100);
    const QString entry = lingue.VoceDizionario(0, 100);
    Check({"dictionary (M3.diz)", Path("LNG/M3.diz"), [&](int v) {
               lingue.SetVoceDizionario(0, 100, v ? entry + QStringLiteral(" (edited)") : entry);
               return lingue.SaveDizionario();
           }});
    Check({"current language (M3.con)", Path("LNG/M3.con"), [&](int v) {
               lingue.SetIdLingua(v);
               return true;
           }});
}

TEST_F(CrashSafeFiles, MapAndViewerFilesAreOldOrNew) {
    const MapPoints maps[2] = {MapVersion(0), MapVersion(1)};
    Check({"map file", Path("car.map"),
           [&](int v) { return WriteMapFile(Path("car.map"), maps[v]); }});
    Check({"points report (Map.txt)", Path("Map.txt"),
           [&](int v) { return WriteMapReport(Path("Map.txt"), maps[v], maps[1 - v]); }});

    ChannelSettings settings[2] = {DefaultChannelSettings(), DefaultChannelSettings()};
    settings[1][2].gain *= 2;
    Check({"viewer settings", Path("LNG/OsciConfig.ini"),
           [&](int v) { return SaveViewerSettings(Path("LNG/OsciConfig.ini"), settings[v]); }});

    // A recording of a few hundred kilobytes: copied from two sources, and
    // cleaned in place.
    QStringList log;
    for (int i = 0; i < 6000; ++i) {
        log << QStringLiteral("\"%1 T 4102030C51\"").arg(i * 70);
        if (i % 3) log << QStringLiteral("\"%1 T 4102030C51\"").arg(i * 70 + 1);
        log << QStringLiteral("\"%1 R 42010C0C000102030405060708090A0B0C\"").arg(i * 70 + 30);
    }
    ASSERT_TRUE(WriteLatin1Lines(Path("a.log"), log));
    log[0] = QStringLiteral("\"0 O another recording\"");
    ASSERT_TRUE(WriteLatin1Lines(Path("b.log"), log));
    Check({"saved recording (*.vfl)", Path("SAMPLES/drive.vfl"), [&](int v) {
               return CopyViewFile(Path(v ? "b.log" : "a.log"), Path("SAMPLES/drive.vfl"));
           }});
    Check({"recording cleaned in place", Path("SAMPLES/clean.vfl"), [&](int v) {
               // (The very first version 1 cleans a fresh copy.)
               if (v && !QFile::exists(Path("SAMPLES/clean.vfl")))
                   CopyViewFile(Path("a.log"), Path("SAMPLES/clean.vfl"));
               return v ? CleanRecording(Path("SAMPLES/clean.vfl"))
                        : CopyViewFile(Path("a.log"), Path("SAMPLES/clean.vfl"));
           }});

    // Everything else the tool writes whole (the exported table, the
    // installation's own copies, the port handle file) goes through the
    // same replacement.
    QByteArray big[2] = {QByteArray(1 << 20, 'a'), QByteArray((1 << 20) + 17, 'b')};
    Check({"any file written whole", Path("export.csv"),
           [&](int v) { return AtomicWrite(Path("export.csv"), big[v]); }});
}

// The calibration report grows by one entry a write: after a kill it holds
// whole entries only.
TEST_F(CrashSafeFiles, CalibrationReportHoldsWholeEntries) {
    const QString path = Path("TaraCorr.txt");
    const QString line = QStringLiteral("TaraMax TInjRef 5,1234 TInjMed 5,2345 TCorr 0,1111");
    const QByteArray entry = '"' + line.toLatin1() + "\"\r\n";
    int seenEntries = 0;
    for (int round = 0; round < 25; ++round) {
        QFile::remove(path);
        std::fflush(nullptr);
        const pid_t child = fork();
        if (child == 0) {
            QElapsedTimer life;
            life.start();
            while (life.elapsed() < 5000) Calibration::AppendReportEntry(path, line);
            _exit(0);
        }
        ASSERT_GT(child, 0);
        ::usleep(
            static_cast<useconds_t>(2000 + std::uniform_int_distribution<int>(0, 20000)(random)));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status));
        const QByteArray now = QFile::exists(path) ? Content(path) : QByteArray();
        ASSERT_EQ(now.size() % entry.size(), 0) << "a cut entry after round " << round << ": "
                                                << now.right(3 * entry.size()).toStdString();
        ASSERT_EQ(now, entry.repeated(now.size() / entry.size()));
        seenEntries += now.size() / entry.size();
    }
    EXPECT_GT(seenEntries, 0);
}

}  // namespace
}  // namespace gascal
