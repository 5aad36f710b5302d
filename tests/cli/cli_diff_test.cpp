// gascal-cli diff against the simulated ECU in virtual time: a parameter
// file compared with the ECU, and two files with each other.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextStream>
#include <functional>

#include "app/gascal-cli/Cli.h"
#include "common/EventService.h"
#include "common/TextFile.h"
#include "sim/core/SimEcu.h"

using namespace gascal;

namespace {

// A private installation folder with the shipped data files.
struct Installation {
    Installation() {
        for (const QString& sub : {QStringLiteral("BIN"), QStringLiteral("LNG")}) {
            QDir().mkpath(dir.filePath(sub));
            QDir src(QStringLiteral(GASCAL_SOURCE_DIR "/installdata/") + sub);
            for (const QString& f : src.entryList(QDir::Files))
                if (!f.startsWith('.')) QFile::copy(src.filePath(f), dir.filePath(sub + "/" + f));
        }
    }
    QString File(const QString& rel) const { return dir.filePath(rel); }
    QTemporaryDir dir;
};

struct Result {
    int rc = -1;
    QString out, err;
    QStringList Lines() const { return out.split('\n', Qt::SkipEmptyParts); }
};

Result RunCommand(const QStringList& args, std::shared_ptr<sim::SimEcu> ecu,
                  const Installation& inst) {
    VirtualEventService ev;
    ScopedEvents scope(ev);
    Result r;
    QTextStream out(&r.out), err(&r.err);
    CliEnvironment env;
    env.simEcu = std::move(ecu);
    r.rc = RunCli(QStringList{"--install-dir", inst.dir.path()} + args, out, err, env);
    out.flush();
    err.flush();
    return r;
}

// Changes line `k` after the "[COR]" line of a parameter file (table entry k).
void SetTableLine(const QString& path, int k, const QString& value) {
    QStringList lines;
    ASSERT_TRUE(ReadLatin1Lines(path, lines));
    const int cor = lines.indexOf("[COR]");
    ASSERT_GE(cor, 0);
    lines[cor + 1 + k] = value;
    ASSERT_TRUE(WriteLatin1Lines(path, lines));
}

}  // namespace

TEST(CliDiff, AFileSavedFromTheEcuNamesExactlyTheSettingChangedSince) {
    struct Case {
        const char* set;
        const char* expected;  // the one line of the output
    };
    const Case cases[] = {
        {"SwitchTempRaw=55", "SwitchTempRaw: 35 | 55"},
        {"InjTrim2=0,4", "InjTrim2: 0 | 0.4"},
        {"ShowRpmHigh=3100", "ShowRpmHigh: 2700 | 3100"},
        {"RpmCompEnable=0", "RpmCompEnable: 1 | 0"},
    };
    for (const Case& c : cases) {
        Installation inst;
        auto ecu = std::make_shared<sim::SimEcu>();
        const QString file = inst.File("car.var");
        ASSERT_EQ(RunCommand({"--sim", "save-params", file}, ecu, inst).rc, 0);
        const Result same = RunCommand({"--sim", "diff", file}, ecu, inst);
        EXPECT_EQ(same.rc, 0) << same.err.toStdString();
        EXPECT_TRUE(same.out.isEmpty()) << same.out.toStdString();
        ASSERT_EQ(RunCommand({"--sim", "set", c.set}, ecu, inst).rc, 0) << c.set;
        const Result r = RunCommand({"--sim", "diff", file}, ecu, inst);
        EXPECT_EQ(r.rc, 1) << c.set << r.err.toStdString();
        EXPECT_EQ(r.Lines(), QStringList({c.expected})) << c.set;
        EXPECT_TRUE(r.err.contains("1 difference.")) << r.err.toStdString();
    }
}

TEST(CliDiff, TwoFilesAreComparedWithoutAnEcu) {
    Installation inst;
    auto ecu = std::make_shared<sim::SimEcu>();
    const QString a = inst.File("a.var"), b = inst.File("b.var");
    ASSERT_EQ(RunCommand({"--sim", "save-params", a}, ecu, inst).rc, 0);
    ASSERT_TRUE(QFile::copy(a, b));
    EXPECT_EQ(RunCommand({"diff", a, b}, nullptr, inst).rc, 0);
    // The model's slope, a point's position and a time entry of the table.
    SetTableLine(b, 185, " 1,2");
    SetTableLine(b, 189, " 100");
    SetTableLine(b, 57, " 0,4");
    auto untouched = std::make_shared<sim::SimEcu>();
    const Result r = RunCommand({"diff", a, b}, untouched, inst);
    EXPECT_EQ(r.rc, 1) << r.err.toStdString();
    const QStringList lines = r.Lines();
    ASSERT_EQ(lines.size(), 4) << r.out.toStdString();
    EXPECT_TRUE(lines[0].startsWith("ALFA: ")) << lines[0].toStdString();
    EXPECT_TRUE(lines[0].endsWith(" | 1.2")) << lines[0].toStdString();
    EXPECT_TRUE(lines[1].startsWith("ModX3: ")) << lines[1].toStdString();
    EXPECT_TRUE(lines[1].endsWith(" | 12.8")) << lines[1].toStdString();  // 100 steps of 0.128 ms
    EXPECT_TRUE(lines[2].startsWith("ModY3: ")) << lines[2].toStdString();
    EXPECT_TRUE(lines[3].startsWith("CorTable57: ")) << lines[3].toStdString();
    EXPECT_TRUE(lines[3].endsWith(" | 0.4")) << lines[3].toStdString();
    EXPECT_EQ(untouched->Counters().requests, 0u);  // no ECU was asked
}

TEST(CliDiff, FilesAreCheckedBeforeTheEcuIsAsked) {
    Installation inst;
    auto ecu = std::make_shared<sim::SimEcu>();
    const QString good = inst.File("good.var"), broken = inst.File("broken.var");
    ASSERT_EQ(RunCommand({"--sim", "save-params", good}, ecu, inst).rc, 0);
    QStringList lines;
    ASSERT_TRUE(ReadLatin1Lines(good, lines));
    lines.replaceInStrings(QRegularExpression("^B3.*"), "B3NOTHEX");
    ASSERT_TRUE(WriteLatin1Lines(broken, lines));
    struct Case {
        QStringList args;
        int rc;
    };
    const Case cases[] = {
        {{"--sim", "diff", inst.File("none.var")}, 4},
        {{"--sim", "diff", broken}, 4},
        {{"diff", good, broken}, 4},
        {{"--sim", "diff"}, 2},
        {{"--sim", "diff", good, good, good}, 2},
    };
    for (const Case& c : cases) {
        auto fresh = std::make_shared<sim::SimEcu>();
        const Result r = RunCommand(c.args, fresh, inst);
        EXPECT_EQ(r.rc, c.rc) << c.args.join(' ').toStdString() << r.err.toStdString();
        EXPECT_EQ(fresh->Counters().requests, 0u) << c.args.join(' ').toStdString();
    }
}

TEST(CliDiff, HelpDocumentsTheCommandAndItsExitCode) {
    const QString help = CliHelpText();
    for (const char* word : {"diff FILE [FILE2]", "1 differences found (diff)"})
        EXPECT_TRUE(help.contains(word)) << word;
}

// "No differences" means a load would change nothing: what is not a
// parameter file is refused, a partial file is compared only in what it
// holds (the rest is listed as not in the file), and what a load never
// writes (the hour counters) is not compared.
TEST(CliDiff, DiffDescribesWhatALoadWouldWrite) {
    struct Case {
        const char* name;
        std::function<QByteArray(const QByteArray& whole)> make;
        int rc;
        QStringList lines;  // standard output
    };
    const Case cases[] = {
        {"empty", [](const QByteArray&) { return QByteArray(); }, 4, {}},
        {"hello", [](const QByteArray&) { return QByteArray("hello\r\n"); }, 4, {}},
        {"cut inside [COR]",
         [](const QByteArray& w) {
             // Ends after entry 99's line.
             QList<QByteArray> l = w.split('\n');
             const int cor = l.indexOf("[COR]\r");
             return l.mid(0, cor + 101).join('\n') + '\n';
         },
         0,
         {"[COR] entries 100 to 191: not in the file", "[ADT]: not in the file"}},
        {"other hour counters",
         [](const QByteArray& w) {
             QByteArray c = w;
             const int b2 = c.indexOf("\nB2") + 1;
             c.replace(b2 + 2 + 6, 8, "78563412");  // HoursCounter1
             return c;
         },
         0,
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Installation inst;
        auto ecu = std::make_shared<sim::SimEcu>();
        const QString a = inst.File("a.var"), b = inst.File("b.var");
        ASSERT_EQ(RunCommand({"--sim", "save-params", a}, ecu, inst).rc, 0);
        QFile fa(a);
        ASSERT_TRUE(fa.open(QIODevice::ReadOnly));
        QFile fb(b);
        ASSERT_TRUE(fb.open(QIODevice::WriteOnly));
        fb.write(c.make(fa.readAll()));
        fb.close();
        const Result withEcu = RunCommand({"--sim", "diff", b}, ecu, inst);
        EXPECT_EQ(withEcu.rc, c.rc) << withEcu.err.toStdString();
        EXPECT_EQ(withEcu.Lines(), c.lines) << withEcu.out.toStdString();
        const Result files = RunCommand({"diff", a, b}, nullptr, inst);
        EXPECT_EQ(files.rc, c.rc) << files.err.toStdString();
        QStringList second;
        for (const QString& l : c.lines)
            second << QString(l).replace("not in the file", "not in the file (second)");
        EXPECT_EQ(files.Lines(), second) << files.out.toStdString();
        if (c.rc == 4) {
            EXPECT_TRUE(withEcu.err.contains("not a parameter file"));
        }
    }
}
