#include "common/TextFile.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

using namespace gascal;

TEST(TextFile, WritesLatin1WithCrLfAndReadsBack) {
    QTemporaryDir dir;
    const QString p = dir.filePath("t.ini");
    ASSERT_TRUE(WriteLatin1Lines(p, {"[Titolo]", QString::fromUtf8("Caf\u00e9 1,5")}));
    QFile f(p);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), QByteArray("[Titolo]\r\nCaf\xe9 1,5\r\n"));
    QStringList lines;
    ASSERT_TRUE(ReadLatin1Lines(p, lines));
    EXPECT_EQ(lines, (QStringList{"[Titolo]", QString::fromUtf8("Caf\u00e9 1,5")}));
}

TEST(TextFile, BareLineFeedsAndMissingFinalLineEnd) {
    EXPECT_EQ(SplitLines("a\nb\r\nc"), (QStringList{"a", "b", "c"}));
    EXPECT_EQ(SplitLines("a\r\n\r\nb\r\n"), (QStringList{"a", "", "b"}));
    EXPECT_TRUE(SplitLines("").isEmpty());
}

TEST(TextFile, AtomicWriteKeepsOldFileWhenTargetCannotBeReplaced) {
    QTemporaryDir dir;
    const QString p = dir.filePath("keep.txt");
    ASSERT_TRUE(AtomicWrite(p, "old"));
    ASSERT_TRUE(AtomicWrite(p, "new content"));
    QFile f(p);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), QByteArray("new content"));
    // A folder in the way of the target: the write fails and reports it.
    EXPECT_FALSE(AtomicWrite(dir.filePath("missing/sub/x.txt"), "x"));
    // No temporary files left behind.
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"keep.txt"});
}

TEST(TextFile, ReadingAMissingFileFails) {
    QString text;
    EXPECT_FALSE(ReadLatin1("/nonexistent/file.txt", text));
}
