// The installation tree that `cmake --install` lays out, and the installed
// programs started from it as a user would: the first start makes the
// user's own copy of the installed defaults and writes nothing beside the
// programs. The manual pages cover every option the programs offer.
#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <cstdio>

namespace {

struct Outcome {
    int rc = -1;
    QString out, err;
};

Outcome Start(const QString& program, const QStringList& args,
              const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment(),
              int timeoutMs = 120000) {
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    Outcome r;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        r.err = QStringLiteral("did not finish: ") + program;
        return r;
    }
    r.rc = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
    r.err = QString::fromLocal8Bit(p.readAllStandardError());
    return r;
}

QStringList FilesUnder(const QString& dir) {
    QStringList out;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) out << QDir(dir).relativeFilePath(it.next());
    out.sort();
    return out;
}

// One installation for all cases: installing copies the programs.
class Installed : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        prefix_ = new QTemporaryDir;
        const Outcome r =
            Start(QStringLiteral(GASCAL_CMAKE_COMMAND),
                  {"--install", QStringLiteral(GASCAL_BINARY_DIR), "--prefix", prefix_->path()});
        installed_ = r.rc == 0;
        if (!installed_) std::fprintf(stderr, "%s\n%s\n", qPrintable(r.out), qPrintable(r.err));
    }
    static void TearDownTestSuite() {
        delete prefix_;
        prefix_ = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(installed_); }
    static QString P(const QString& rel) { return prefix_->filePath(rel); }

    static QTemporaryDir* prefix_;
    static bool installed_;
};
QTemporaryDir* Installed::prefix_ = nullptr;
bool Installed::installed_ = false;

}  // namespace

TEST_F(Installed, LaysOutProgramsDefaultsDesktopEntryManualPagesAndUdevRule) {
    for (const char* program : {"bin/gascal", "bin/gascal-cli", "bin/gascal-ecusim"})
        EXPECT_TRUE(QFileInfo(P(program)).isExecutable()) << program;
    EXPECT_FALSE(QFileInfo::exists(P("bin/gascal-fwtool")));

    // The installed defaults are the shipped data files, and nothing else.
    EXPECT_EQ(FilesUnder(P("share/gascal")),
              FilesUnder(QStringLiteral(GASCAL_SOURCE_DIR "/installdata"))
                  .filter(QRegularExpression(QStringLiteral("^(?!.*\\.gitkeep$)"))));
    EXPECT_TRUE(QFileInfo::exists(P("share/gascal/BIN/TeluroInj468.frh")));
    EXPECT_TRUE(QFileInfo::exists(P("share/gascal/LNG/M3.diz")));

    QFile desktop(P("share/applications/gascal.desktop"));
    ASSERT_TRUE(desktop.open(QIODevice::ReadOnly));
    const QByteArray entry = desktop.readAll();
    EXPECT_TRUE(entry.contains("\nExec=gascal\n"));
    EXPECT_TRUE(entry.contains("\nIcon=gascal\n"));
    EXPECT_TRUE(entry.contains("\nExec=gascal --sim\n"));
    for (const char* icon : {"share/icons/hicolor/scalable/apps/gascal.svg",
                             "share/icons/hicolor/48x48/apps/gascal.png",
                             "share/icons/hicolor/256x256/apps/gascal.png"})
        EXPECT_TRUE(QFileInfo::exists(P(icon))) << icon;

    for (const char* page : {"gascal", "gascal-cli", "gascal-ecusim"}) {
        QFile man(P(QStringLiteral("share/man/man1/%1.1.gz").arg(page)));
        ASSERT_TRUE(man.open(QIODevice::ReadOnly)) << page;
        EXPECT_TRUE(man.read(2) == QByteArray("\x1f\x8b")) << page;  // gzip
    }

    // What Debian's tools ask of a package's documentation folder: the
    // copyright file and, for a native package, changelog.gz.
    EXPECT_TRUE(QFileInfo::exists(P("share/doc/gascal/copyright")));
    QFile changelog(P("share/doc/gascal/changelog.gz"));
    ASSERT_TRUE(changelog.open(QIODevice::ReadOnly));
    EXPECT_TRUE(changelog.read(2) == QByteArray("\x1f\x8b"));

    QFile rule(P("lib/udev/rules.d/70-gascal-ftdi.rules"));
    ASSERT_TRUE(rule.open(QIODevice::ReadOnly));
    const QByteArray rules = rule.readAll();
    EXPECT_TRUE(rules.contains("ATTR{idVendor}==\"0403\""));
    EXPECT_TRUE(rules.contains("GROUP=\"dialout\""));
    EXPECT_TRUE(rules.contains("TAG+=\"uaccess\""));
}

TEST_F(Installed, ProgramsRunFromTheInstallationWithTheUsersOwnCopy) {
    QTemporaryDir home;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", home.path());
    env.insert("XDG_DATA_HOME", home.filePath("data"));
    env.insert("QT_QPA_PLATFORM", "offscreen");
    const QStringList before = FilesUnder(P("share/gascal"));

    Outcome r = Start(P("bin/gascal-cli"), {"--sim", "identify"}, env);
    EXPECT_EQ(r.rc, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("FirmwareFle: ")) << r.out.toStdString();
    const QString user = home.filePath("data/gascal");
    EXPECT_TRUE(QFileInfo::exists(user + "/BIN/TeluroInj468.frh"));
    EXPECT_TRUE(QFileInfo::exists(user + "/BIN/RxTx.TXT"));  // the log is the user's
    EXPECT_TRUE(QFileInfo::exists(user + "/.defaults"));

    // The window, on the simulated ECU, until its first picture.
    const QString shot = home.filePath("shot.png");
    r = Start(P("bin/gascal"), {"--sim", "--screenshot", shot, "--screenshot-after", "4"}, env);
    EXPECT_EQ(r.rc, 0) << r.err.toStdString();
    EXPECT_TRUE(QFileInfo(shot).size() > 0);

    // Nothing was written beside the installed defaults.
    EXPECT_EQ(FilesUnder(P("share/gascal")), before);

    // --install-dir still decides.
    QTemporaryDir other;
    r = Start(P("bin/gascal-cli"),
              {"--install-dir", other.filePath("missing"), "--sim", "identify"}, env);
    EXPECT_EQ(r.rc, 4);
    EXPECT_TRUE(r.err.contains("does not exist")) << r.err.toStdString();
}

// Every option a program's --help names is in its manual page.
// The manual pages' header carries a date the manual page tools can read
// (YYYY-MM-DD), not a bare year.
TEST(ManualPages, CarryAReadableDate) {
    for (const char* page : {"gascal", "gascal-cli", "gascal-ecusim"}) {
        QFile f(QStringLiteral(GASCAL_SOURCE_DIR "/packaging/man/%1.1").arg(page));
        ASSERT_TRUE(f.open(QIODevice::ReadOnly)) << page;
        const QString th = QString::fromUtf8(f.readLine());
        EXPECT_TRUE(th.contains(
            QRegularExpression(QStringLiteral("^\\.TH \\S+ 1 \"\\d{4}-\\d{2}-\\d{2}\""))))
            << th.toStdString();
    }
}

TEST(ManualPages, NameEveryOptionOfTheirProgram) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    const QRegularExpression option(QStringLiteral("(?<![\\w-])--[a-z][a-z-]+"));
    for (const char* program : {"gascal", "gascal-cli", "gascal-ecusim"}) {
        const Outcome r = Start(QStringLiteral(GASCAL_TREE_DIR "/BIN/") + program, {"--help"}, env);
        ASSERT_EQ(r.rc, 0) << program << r.err.toStdString();
        QFile man(QStringLiteral(GASCAL_PACKAGING_DIR "/man/%1.1").arg(program));
        ASSERT_TRUE(man.open(QIODevice::ReadOnly)) << program;
        const QString page =
            QString::fromUtf8(man.readAll()).replace(QStringLiteral("\\-"), QStringLiteral("-"));
        int options = 0;
        for (auto it = option.globalMatch(r.out); it.hasNext(); ++options) {
            const QString name = it.next().captured();
            EXPECT_TRUE(page.contains(name)) << program << ": " << name.toStdString();
        }
        EXPECT_GE(options, 3) << program;
    }
}
