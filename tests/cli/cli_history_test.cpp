// gascal-cli and the restore points, against the simulated ECU: a
// connection takes a point only when the configuration changed, a command
// that changes the ECU takes one before it, `history` lists them, `restore`
// puts one back byte for byte and refuses another ECU's point or a damaged
// one, `diff` takes an ID, and a point that cannot be written stops the
// command before anything is sent.
#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include "ecu/History.h"
#include "sim/core/SimEcu.h"
#include "tests/cli/CliTestSupport.h"

using namespace gascal;
using namespace gascal::testing;

namespace {

// The data folder of one test, put back afterwards.
class TestDataFolder {
  public:
    TestDataFolder() : old_(qgetenv(kDataDirVariable)) { Use(dir_.path()); }
    ~TestDataFolder() { qputenv(kDataDirVariable, old_); }
    TestDataFolder(const TestDataFolder&) = delete;
    TestDataFolder& operator=(const TestDataFolder&) = delete;
    void Use(const QString& path) { qputenv(kDataDirVariable, path.toLocal8Bit()); }
    QString Path() const { return dir_.path(); }
    QString Root() const { return HistoryRoot(); }

  private:
    QTemporaryDir dir_;
    QByteArray old_;
};

// One command line on a fresh virtual clock, each a minute after the last.
Result CliRun(const QStringList& args, const std::shared_ptr<sim::SimEcu>& ecu,
              const Installation& inst, QString input = QString()) {
    static int runs = 0;
    VirtualEventService ev(QDateTime(QDate(2026, 1, 15), QTime(10, 0, 0)).addSecs(60 * runs++));
    ScopedEvents scope(ev);
    Result r;
    QTextStream out(&r.out), err(&r.err), in(&input);
    CliEnvironment env;
    env.simEcu = ecu;
    env.input = &in;
    QStringList all{"--install-dir", inst.Path(), "--sim"};
    all += args;
    r.rc = RunCli(all, out, err, env);
    out.flush();
    err.flush();
    return r;
}

std::shared_ptr<sim::SimEcu> Car(uint32_t serial = 0) {
    sim::SimOptions o;
    o.serial = serial;
    return NewEcu(o);
}

// The ECU's configuration as it travels (the test data are not configuration).
struct Config {
    std::vector<uint8_t> mem2, mem3, mem5, table;
    bool operator==(const Config&) const = default;
};
Config ConfigOf(const sim::ConfigImage& c) {
    return {{c.mem2.begin(), c.mem2.end()},
            {c.mem3.begin(), c.mem3.end()},
            {c.mem5.begin(), c.mem5.end()},
            {c.table.begin(), c.table.end()}};
}

QStringList Column(const QString& out, int column) {
    QStringList ids;
    for (const QString& line : out.split('\n', Qt::SkipEmptyParts))
        ids << line.split('\t').value(column);
    return ids;
}

}  // namespace

TEST(CliHistory, IdentifySetRestoreAndHistory) {
    TestDataFolder data;
    Installation inst;
    auto ecu = Car();
    const QString serial = QStringLiteral("468000123");

    // A first connection leaves one point; a second, with nothing changed, none.
    Result r = CliRun({"identify"}, ecu, inst);
    ASSERT_EQ(r.rc, 0) << r.err.toStdString();
    ASSERT_EQ(ListHistory(data.Root(), serial.toUInt()).size(), 1u);
    const RestorePoint first = ListHistory(data.Root(), serial.toUInt()).front();
    EXPECT_EQ(first.reason, PointReason::Connection);
    EXPECT_TRUE(first.flash);
    const Config original = ConfigOf(ecu->Working());
    r = CliRun({"identify"}, ecu, inst);
    ASSERT_EQ(r.rc, 0) << r.err.toStdString();
    EXPECT_EQ(ListHistory(data.Root(), serial.toUInt()).size(), 1u);

    // set leaves the point taken before it: the old switchover speed.
    r = CliRun({"set", "SwitchRpm=2500"}, ecu, inst);
    ASSERT_EQ(r.rc, 0) << r.err.toStdString();
    std::vector<RestorePoint> points = ListHistory(data.Root(), serial.toUInt());
    ASSERT_EQ(points.size(), 2u);
    EXPECT_EQ(points[0].reason, PointReason::Set);
    EXPECT_FALSE(points[0].damaged);
    ASSERT_NE(ConfigOf(ecu->Working()), original);
    {
        QStringList a, b;
        ASSERT_TRUE(ReadPointLines(first.path, a));
        ASSERT_TRUE(ReadPointLines(points[0].path, b));
        EXPECT_EQ(ComparableConfiguration(a), ComparableConfiguration(b));
    }
    // The next connection finds the change.
    r = CliRun({"identify"}, ecu, inst);
    points = ListHistory(data.Root(), serial.toUInt());
    ASSERT_EQ(points.size(), 3u);
    EXPECT_EQ(points[0].reason, PointReason::Connection);

    // restore of the first point gives back the blocks and table byte for byte.
    r = CliRun({"restore", first.id, "--yes"}, ecu, inst);
    ASSERT_EQ(r.rc, 0) << r.err.toStdString();
    EXPECT_EQ(ConfigOf(ecu->Working()), original);
    EXPECT_EQ(ConfigOf(ecu->Saved()), original);
    points = ListHistory(data.Root(), serial.toUInt());
    ASSERT_EQ(points.size(), 5u);
    EXPECT_EQ(points[1].reason, PointReason::Load);
    EXPECT_EQ(points[0].reason, PointReason::Restore);
    EXPECT_TRUE(points[0].flash);

    // history lists exactly those points, newest first, and takes none.
    r = CliRun({"history"}, ecu, inst);
    ASSERT_EQ(r.rc, 0) << r.err.toStdString();
    QStringList ids;
    for (const RestorePoint& p : points) ids << p.id;
    EXPECT_EQ(Column(r.out, 0), ids);
    EXPECT_EQ(Column(r.out, 2), QStringList(ids.size(), serial));
    EXPECT_EQ(Column(r.out, 3),
              QStringList({"restore", "load", "connection", "set", "connection"}));
    // A new session takes what it finds in the ECU as stored.
    EXPECT_EQ(Column(r.out, 4), QStringList(ids.size(), "flash"));
    EXPECT_EQ(Column(r.out, 5).last(), first.path);
    EXPECT_EQ(Column(r.out, 1).last(), first.time.toString("yyyy-MM-dd HH:mm:ss"));
    EXPECT_EQ(ListHistory(data.Root(), serial.toUInt()).size(), 5u);
}

TEST(CliHistory, RestoreRefusesAnotherEcusPointABadIdAndADamagedPoint) {
    TestDataFolder data;
    Installation inst;
    auto a = Car(1001);
    auto b = Car(2002);
    ASSERT_EQ(CliRun({"set", "SwitchTempRaw=61"}, a, inst).rc, 0);
    ASSERT_EQ(CliRun({"identify"}, a, inst).rc, 0);
    ASSERT_EQ(CliRun({"identify"}, b, inst).rc, 0);
    // A's newest point: its configuration after the set.
    const std::vector<RestorePoint> ofA = ListHistory(data.Root(), 1001);
    ASSERT_EQ(ofA.size(), 2u);
    const Config bBefore = ConfigOf(b->Working());

    struct Case {
        QStringList args;
        int rc;
        const char* says;
    };
    const Case cases[] = {
        {{"restore", ofA[0].id, "--yes"}, CLI_OTHER_ECU, "serial number 1001"},
        {{"restore", "1001-0099", "--yes"}, CLI_USAGE, "no restore point 1001-0099"},
        {{"restore", "nonsense", "--yes"}, CLI_USAGE, "no restore point nonsense"},
        {{"restore", "--yes"}, CLI_USAGE, "restore needs one ID"},
        // Without --yes the fitter is asked; no is no.
        {{"restore", ofA[0].id, "--other-ecu"}, CLI_OK, "Nothing was loaded"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        const Result r = CliRun(c.args, b, inst, QStringLiteral("n\n"));
        EXPECT_EQ(r.rc, c.rc) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(c.says)) << r.err.toStdString();
        EXPECT_EQ(ConfigOf(b->Working()), bBefore);
    }
    // --other-ecu loads it all the same.
    const Result r = CliRun({"restore", ofA[0].id, "--yes", "--other-ecu"}, b, inst);
    EXPECT_EQ(r.rc, 0) << r.err.toStdString();
    EXPECT_NE(ConfigOf(b->Working()), bBefore);
    EXPECT_EQ(ConfigOf(b->Working()).mem3, ConfigOf(a->Working()).mem3);

    // A damaged point is never loaded.
    const Config now = ConfigOf(b->Working());
    const RestorePoint newest = ListHistory(data.Root(), 2002).front();
    QFile f(newest.path);
    ASSERT_TRUE(f.open(QIODevice::Append));
    f.write(" 1,5\r\n");
    f.close();
    const Result d = CliRun({"restore", newest.id, "--yes"}, b, inst);
    EXPECT_EQ(d.rc, CLI_FILE) << d.err.toStdString();
    EXPECT_TRUE(d.err.contains("damaged")) << d.err.toStdString();
    EXPECT_EQ(ConfigOf(b->Working()), now);
    const Result h = CliRun({"history", "--serial", "2002"}, nullptr, inst);
    EXPECT_EQ(Column(h.out, 3).first(), QStringLiteral("damaged"));
}

TEST(CliHistory, TwoEcusInOneFolder) {
    TestDataFolder data;
    Installation inst;
    auto a = Car(1001);
    auto b = Car(2002);
    ASSERT_EQ(CliRun({"identify"}, a, inst).rc, 0);
    ASSERT_EQ(CliRun({"identify"}, b, inst).rc, 0);
    ASSERT_EQ(CliRun({"set", "SwitchTempRaw=61"}, b, inst).rc, 0);

    Result r = CliRun({"history"}, a, inst);
    EXPECT_EQ(Column(r.out, 2), QStringList({"1001"}));
    // B's connection finds its set: a point.
    r = CliRun({"history"}, b, inst);
    EXPECT_EQ(Column(r.out, 2), QStringList({"2002", "2002", "2002"}));
    EXPECT_EQ(Column(r.out, 3), QStringList({"connection", "set", "connection"}));
    // --all: the connected ECU first, then the others; --serial without an ECU.
    r = CliRun({"history", "--all"}, b, inst);
    EXPECT_EQ(Column(r.out, 2), QStringList({"2002", "2002", "2002", "1001"}));
    r = CliRun({"history", "--serial", "1001", "--all"}, nullptr, inst);
    EXPECT_EQ(Column(r.out, 2), QStringList({"1001", "2002", "2002", "2002"}));
    r = CliRun({"history", "--serial", "x"}, nullptr, inst);
    EXPECT_EQ(r.rc, CLI_USAGE);

    // diff takes an ID where it takes a file: B's first point against B.
    const RestorePoint bFirst = ListHistory(data.Root(), 2002).back();
    r = CliRun({"diff", bFirst.id}, b, inst);
    EXPECT_EQ(r.rc, CLI_DIFFERENT) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("SwitchTempRaw")) << r.out.toStdString();
    const RestorePoint aFirst = ListHistory(data.Root(), 1001).front();
    r = CliRun({"diff", aFirst.id, bFirst.id}, nullptr, inst);
    EXPECT_EQ(r.rc, CLI_OK) << r.err.toStdString() << r.out.toStdString();
    r = CliRun({"diff", "2002-0077"}, b, inst);
    EXPECT_EQ(r.rc, CLI_USAGE);
}

TEST(CliHistory, APointThatCannotBeWrittenStopsTheCommand) {
    TestDataFolder data;
    Installation inst;
    // A file stands where the data folder would be.
    const QString blocked = data.Path() + QStringLiteral("/blocked");
    QFile f(blocked);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    data.Use(blocked);
    auto ecu = Car();
    const Config before = ConfigOf(ecu->Working());
    for (const QStringList& args : {QStringList{"set", "SwitchRpm=2500"},
                                    QStringList{"write-model", "--press", "offset-up=3"},
                                    QStringList{"calibrate", "--yes"}}) {
        SCOPED_TRACE(args.join(' ').toStdString());
        const Result r = CliRun(args, ecu, inst);
        EXPECT_EQ(r.rc, CLI_FILE) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains("Nothing was changed: the restore point could not be written"))
            << r.err.toStdString();
        EXPECT_EQ(ConfigOf(ecu->Working()), before);
    }
    // A command that changes nothing goes on, and says so.
    const Result r = CliRun({"identify"}, ecu, inst);
    EXPECT_EQ(r.rc, 0) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("the restore point could not be written")) << r.err.toStdString();
}

TEST(CliHistory, HelpNamesTheCommands) {
    const QString help = CliHelpText();
    for (const char* word : {"history [--serial N] [--all]", "restore ID [--yes] [--other-ecu]",
                             "ID TIME SERIAL REASON FLASH FILE", "8 restore point of another"})
        EXPECT_TRUE(help.contains(word)) << word;
}

// The same over a pseudo-terminal: gascal-cli and gascal-ecusim as programs,
// the data folder handed to gascal-cli in its environment.
TEST(CliHistoryProgram, AgainstTheEcuSimulatorOverAPseudoTerminal) {
    TestDataFolder data;
    Installation inst;
    const QString bin = QStringLiteral(GASCAL_TREE_DIR "/BIN");
    QProcess ecusim;
    ecusim.start(bin + "/gascal-ecusim", {"--serial", "777"});
    ASSERT_TRUE(ecusim.waitForStarted(10000));
    ASSERT_TRUE(ecusim.waitForReadyRead(10000));
    const QString pty = QString::fromLocal8Bit(ecusim.readLine()).trimmed();
    ASSERT_TRUE(pty.startsWith("/dev/")) << pty.toStdString();
    const QStringList base{"--install-dir", inst.Path(), "--port", pty, "--timeout", "20"};
    const auto run = [&](const QStringList& args) {
        QProcess p;
        p.start(bin + "/gascal-cli", base + args);
        Result r;
        if (!p.waitForFinished(60000)) {
            p.kill();
            p.waitForFinished();
            return r;
        }
        r.rc = p.exitCode();
        r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
        r.err = QString::fromLocal8Bit(p.readAllStandardError());
        return r;
    };
    Result r = run({"identify"});
    ASSERT_EQ(r.rc, 0) << r.err.toStdString();
    ASSERT_EQ(ListHistory(data.Root(), 777).size(), 1u);
    const QString first = ListHistory(data.Root(), 777).front().id;
    r = run({"identify"});
    EXPECT_EQ(ListHistory(data.Root(), 777).size(), 1u);
    r = run({"set", "SwitchRpm=2500"});
    ASSERT_EQ(r.rc, 0) << r.err.toStdString();
    EXPECT_EQ(ListHistory(data.Root(), 777).size(), 2u);
    EXPECT_EQ(run({"diff", first}).rc, CLI_DIFFERENT);
    r = run({"restore", first, "--yes"});
    ASSERT_EQ(r.rc, 0) << r.err.toStdString();
    // Nothing differs from the first point any more: blocks and table.
    r = run({"diff", first});
    EXPECT_EQ(r.rc, CLI_OK) << r.out.toStdString() << r.err.toStdString();
    r = run({"history"});
    ASSERT_EQ(r.rc, 0) << r.err.toStdString();
    EXPECT_EQ(Column(r.out, 3),
              QStringList({"restore", "load", "connection", "set", "connection"}));
    EXPECT_EQ(Column(r.out, 0).last(), first);
    ecusim.terminate();
    EXPECT_TRUE(ecusim.waitForFinished(10000));
}
