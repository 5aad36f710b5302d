#include "link/firmware/LineReader.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include "common/Prompts.h"
#include "common/TextFile.h"

using namespace gascal;

namespace {

void WriteRaw(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

}  // namespace

TEST(ScrambledLine, DecodesReversedDecimalGroupsAndDropsTheLowBit) {
    // "AB": 65 and 66 stored as 0130 (or 0131) and 0132 (or 0133), the whole
    // string reversed.
    EXPECT_EQ(DecodeScrambledLine(QStringLiteral("23100310")).value(), QStringLiteral("AB"));
    EXPECT_EQ(DecodeScrambledLine(QStringLiteral("33101310")).value(), QStringLiteral("AB"));
    EXPECT_EQ(DecodeScrambledLine(QString()).value(), QString());
    // Highest character: 255 stored as 0511.
    EXPECT_EQ(DecodeScrambledLine(QStringLiteral("1150")).value(), QString(QChar(0xFF)));
}

TEST(ScrambledLine, RefusesGroupsThatAreNotCharacters) {
    EXPECT_FALSE(DecodeScrambledLine(QStringLiteral("2150")).has_value());   // 512 / 2 = 256
    EXPECT_FALSE(DecodeScrambledLine(QStringLiteral("0310A")).has_value());  // partial group
    EXPECT_FALSE(DecodeScrambledLine(QStringLiteral("03x0")).has_value());   // not a digit
    EXPECT_FALSE(DecodeScrambledLine(QStringLiteral("[Comport]")).has_value());
}

TEST(ScrambledLine, EncodeThenDecodeGivesTheLineBackForEverySeed) {
    QString all;
    for (int c = 0; c < 256; ++c) all.append(QChar(static_cast<char16_t>(c)));
    for (uint32_t seed : {0u, 1u, 12345u, 0xFFFFFFFFu}) {
        const QString stored = EncodeScrambledLine(all, seed);
        EXPECT_EQ(stored.size(), all.size() * 4);
        EXPECT_EQ(DecodeScrambledLine(stored).value(), all) << "seed " << seed;
    }
    // Characters outside Latin-1 cannot be stored and become "?".
    EXPECT_EQ(DecodeScrambledLine(EncodeScrambledLine(QString::fromUtf8("a\u20acb"))).value(),
              QStringLiteral("a?b"));
}

TEST(LineReader, ScrambledFileRoundTrip) {
    QTemporaryDir dir;
    const QString p = dir.filePath("cfg.ini");
    const QStringList lines{"[Injector]", "", QString::fromLatin1("Caf\xe9|1,25|-3"),
                            "S2240000000102", "   spaced   "};
    ASSERT_TRUE(WriteScrambledFile(p, lines));

    QString raw;
    ASSERT_TRUE(ReadLatin1(p, raw));
    EXPECT_FALSE(raw.contains(QStringLiteral("Injector")));  // nothing readable left
    EXPECT_TRUE(raw.endsWith(QStringLiteral("\r\n")));

    EXPECT_TRUE(IsScrambledFile(p));
    EXPECT_EQ(ReadScrambledFile(p), lines);
    EXPECT_EQ(ReadLines(p), lines);
    const LineReadResult r = ReadLinesChecked(p);
    EXPECT_TRUE(r.exists);
    EXPECT_TRUE(r.scrambled);
    EXPECT_EQ(r.firstLineNumber, 2);
    EXPECT_TRUE(r.badLines.isEmpty());
}

TEST(LineReader, PlainFileIsReadAsPlainLines) {
    QTemporaryDir dir;
    const QString p = dir.filePath("plain.ini");
    WriteRaw(p, "[Comport]\r\n3\r\n\r\nlast");
    EXPECT_FALSE(IsScrambledFile(p));
    EXPECT_EQ(ReadLines(p), (QStringList{"[Comport]", "3", "", "last"}));
    EXPECT_EQ(ReadPlainFile(p), ReadLines(p));
    EXPECT_FALSE(ReadLinesChecked(p).scrambled);

    // A first line that happens to decode (to "A") is still plain text.
    WriteRaw(p, "0310\r\n1234\r\n");
    EXPECT_FALSE(IsScrambledFile(p));
    EXPECT_EQ(ReadLines(p), (QStringList{"0310", "1234"}));
}

TEST(LineReader, WrongHeaderWordIsReportedAndNothingElseIsRead) {
    QTemporaryDir dir;
    const QString p = dir.filePath("other.frh");
    WriteRaw(p, EncodeScrambled({"S2 line", "[AdrFrmwarEcu]"}, QStringLiteral("VESPARIUS"), 7));

    ScriptedPrompts prompts;
    ScopedPrompts scope(prompts);
    // The line reader does not take it for a scrambled file.
    EXPECT_FALSE(IsScrambledFile(p));
    EXPECT_EQ(ReadLines(p).size(), 3);
    EXPECT_TRUE(prompts.shown.empty());

    // Read as scrambled: the box, and only the decoded first line.
    EXPECT_EQ(ReadScrambledFile(p), QStringList{"VESPARIUS"});
    ASSERT_EQ(prompts.shown.size(), 1u);
    EXPECT_EQ(prompts.shown[0].text, QStringLiteral("HEADER WRONG "));
    EXPECT_EQ(prompts.shown[0].title, QStringLiteral("FileExist"));
    EXPECT_EQ(prompts.shown[0].icon, BoxIcon::Information);
}

TEST(LineReader, DamagedScrambledLineIsNamed) {
    QTemporaryDir dir;
    const QString p = dir.filePath("damaged.txt");
    QByteArray bytes = EncodeScrambled({"first", "second", "third"});
    // Break a digit of the third stored line (file line 3: "second").
    const int lineStart = bytes.indexOf("\r\n", bytes.indexOf("\r\n") + 2) + 2;
    bytes[lineStart + 5] = 'Z';
    WriteRaw(p, bytes);

    const LineReadResult r = ReadLinesChecked(p);
    ASSERT_TRUE(r.scrambled);
    EXPECT_EQ(r.badLines, QList<int>{3});
    EXPECT_EQ(r.lines, (QStringList{"first", "", "third"}));
}

TEST(LineReader, MissingOrEmptyFile) {
    QTemporaryDir dir;
    const QString missing = dir.filePath("none.ini");
    EXPECT_FALSE(IsScrambledFile(missing));
    EXPECT_TRUE(ReadLines(missing).isEmpty());
    EXPECT_FALSE(ReadLinesChecked(missing).exists);

    const QString empty = dir.filePath("empty.ini");
    WriteRaw(empty, "");
    EXPECT_FALSE(IsScrambledFile(empty));
    EXPECT_TRUE(ReadLinesChecked(empty).exists);
    EXPECT_TRUE(ReadLines(empty).isEmpty());
}
