// Where the programs find their installation folder, and the user's own copy
// of an installed tree, on real folders.
#include "common/InstallTree.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

using namespace gascal;

namespace {

void Write(const QString& path, const QByteArray& content) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    f.write(content);
}

QByteArray Read(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// A package-like layout under a temporary root: programs in usr/bin, the
// installed tree in usr/share/gascal, the user's data home in home/.local/share.
class PackageLayout : public ::testing::Test {
  protected:
    QTemporaryDir root;
    QString bin, shared, home, user;

    void SetUp() override {
        ASSERT_TRUE(root.isValid());
        bin = root.filePath("usr/bin");
        shared = root.filePath("usr/share/gascal");
        home = root.filePath("home/.local/share");
        user = home + "/gascal";
        QDir().mkpath(bin);
        Write(bin + "/gascal", "program");
        Write(shared + "/BIN/Flash.ini", "flash table");
        Write(shared + "/BIN/TeluroInj468.frh", "firmware 1");
        Write(shared + "/LNG/M3.diz", "dictionary");
        Write(shared + "/LNG/M3.con", "0");
        Write(shared + "/LNG/pictures/logo.img", "logo");
        Write(shared + "/LNG/.gitkeep", "");
    }
    InstallLocation Locate() { return LocateInstallDir(bin, QString(), home); }
};

}  // namespace

TEST_F(PackageLayout, FirstStartCopiesTheInstalledTreeIntoTheUsersFolder) {
    const InstallLocation loc = Locate();
    ASSERT_TRUE(loc.error.isEmpty()) << loc.error.toStdString();
    EXPECT_EQ(loc.dir, user);
    EXPECT_EQ(QDir(loc.defaults).canonicalPath(), QDir(shared).canonicalPath());
    QStringList copied = loc.copied;
    copied.sort();
    EXPECT_EQ(copied, (QStringList{"BIN/Flash.ini", "BIN/TeluroInj468.frh", "LNG/M3.con",
                                   "LNG/M3.diz", "LNG/pictures/logo.img"}));
    EXPECT_EQ(Read(user + "/LNG/pictures/logo.img"), "logo");
    EXPECT_FALSE(QFileInfo::exists(user + "/LNG/.gitkeep"));
    // The copy is the user's own: it can be written.
    EXPECT_TRUE(QFileInfo(user + "/BIN").isWritable());

    // A second start has nothing to copy.
    EXPECT_TRUE(Locate().copied.isEmpty());
}

TEST_F(PackageLayout, UsersFilesAreNeverOverwrittenAndUntouchedCopiesFollowAnUpdate) {
    ASSERT_TRUE(Locate().error.isEmpty());
    // The user changes the language and writes files of the tool's own.
    Write(user + "/LNG/M3.con", "1");
    Write(user + "/BIN/SetCom.ini", "[UsbCom]\r\n0\r\n");
    Write(user + "/TaraCorr.txt", "report");
    // A file deleted from the copy comes back at the next start.
    QFile::remove(user + "/BIN/Flash.ini");

    // A package update changes the firmware file, the dictionary's current
    // language and brings a settings file of its own.
    Write(shared + "/BIN/TeluroInj468.frh", "firmware 2");
    Write(shared + "/LNG/M3.con", "0\r\n");
    Write(shared + "/BIN/SetCom.ini", "[UsbCom]\r\n1\r\n");

    const InstallLocation loc = Locate();
    ASSERT_TRUE(loc.error.isEmpty()) << loc.error.toStdString();
    QStringList copied = loc.copied;
    copied.sort();
    EXPECT_EQ(copied, (QStringList{"BIN/Flash.ini", "BIN/TeluroInj468.frh"}));
    EXPECT_EQ(Read(user + "/BIN/TeluroInj468.frh"), "firmware 2");   // untouched copy follows
    EXPECT_EQ(Read(user + "/LNG/M3.con"), "1");                      // the user's choice stays
    EXPECT_EQ(Read(user + "/BIN/SetCom.ini"), "[UsbCom]\r\n0\r\n");  // never the installed one
    EXPECT_EQ(Read(user + "/TaraCorr.txt"), "report");
    EXPECT_EQ(Read(user + "/BIN/Flash.ini"), "flash table");

    // A copy the user changed stays changed through later updates too.
    Write(user + "/BIN/TeluroInj468.frh", "dealer's firmware");
    Write(shared + "/BIN/TeluroInj468.frh", "firmware 3");
    EXPECT_TRUE(Locate().copied.isEmpty());
    EXPECT_EQ(Read(user + "/BIN/TeluroInj468.frh"), "dealer's firmware");
}

TEST_F(PackageLayout, ExplicitFolderWinsAndMissingPlacesAreNamed) {
    QTemporaryDir other;
    InstallLocation loc = LocateInstallDir(bin, other.path(), home);
    EXPECT_EQ(loc.dir, QDir(other.path()).absolutePath());
    EXPECT_TRUE(loc.defaults.isEmpty());
    EXPECT_FALSE(QFileInfo::exists(user));  // nothing copied for an explicit folder

    loc = LocateInstallDir(bin, other.filePath("nowhere"), home);
    EXPECT_TRUE(loc.dir.isEmpty());
    EXPECT_TRUE(loc.error.contains("nowhere")) << loc.error.toStdString();

    // A program with neither a tree beside it nor an installed one.
    QDir(shared).removeRecursively();
    loc = Locate();
    EXPECT_TRUE(loc.dir.isEmpty());
    EXPECT_TRUE(loc.error.contains(root.filePath("usr/share/gascal"))) << loc.error.toStdString();
}

TEST_F(PackageLayout, AUsersFolderThatCannotBeCreatedIsAnError) {
    Write(root.filePath("home/.local/share/gascal"), "a file where the folder should be");
    const InstallLocation loc = Locate();
    EXPECT_TRUE(loc.dir.isEmpty());
    EXPECT_TRUE(loc.error.contains(user)) << loc.error.toStdString();
}

TEST(BuildTree, AWritableTreeBesideTheProgramIsUsedAsItIs) {
    QTemporaryDir root;
    QTemporaryDir home;
    const QString tree = root.filePath("build/tree");
    Write(tree + "/BIN/gascal", "program");
    Write(tree + "/LNG/M3.diz", "dictionary");
    const InstallLocation loc = LocateInstallDir(tree + "/BIN", QString(), home.path());
    EXPECT_EQ(loc.dir, tree);
    EXPECT_TRUE(loc.defaults.isEmpty());
    EXPECT_TRUE(loc.copied.isEmpty());
    EXPECT_FALSE(QFileInfo::exists(home.filePath("gascal")));
}

TEST(BuildTree, AReadOnlyTreeBesideTheProgramIsCopiedForTheUser) {
    if (geteuid() == 0) GTEST_SKIP() << "the superuser may write to any folder";
    QTemporaryDir root;
    QTemporaryDir home;
    const QString tree = root.filePath("opt/gascal");
    Write(tree + "/BIN/Flash.ini", "flash table");
    Write(tree + "/LNG/M3.diz", "dictionary");
    QFile::setPermissions(tree + "/BIN", QFile::ReadOwner | QFile::ExeOwner);
    const InstallLocation loc = LocateInstallDir(tree + "/BIN", QString(), home.path());
    QFile::setPermissions(tree + "/BIN", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    EXPECT_EQ(loc.dir, home.filePath("gascal"));
    EXPECT_EQ(loc.defaults, tree);
    EXPECT_EQ(Read(home.filePath("gascal/BIN/Flash.ini")), "flash table");
}
