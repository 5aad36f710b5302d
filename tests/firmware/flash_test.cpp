#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include "common/Helpers.h"
#include "common/TextFile.h"
#include "link/firmware/FlashImage.h"
#include "link/firmware/LineReader.h"

using namespace gascal;

namespace {

void WriteRaw(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

// A flash of two adjacent blocks FF8000..FFBFFF and FFC000..FFFFFF.
class FirmwareFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        flashIni = dir.filePath("Flash.ini");
        firmware = dir.filePath("fw.frh");
        WriteRaw(flashIni, "H00FF8000 H00FFBFFF\r\nH00FFC000 H00FFFFFF\r\n");
        ASSERT_TRUE(table.ReadFile(flashIni));
        image.RedimTableFlash(table.LargFlash(), false);
    }
    static std::vector<uint8_t> Bytes(std::initializer_list<int> v) {
        std::vector<uint8_t> out;
        for (int b : v) out.push_back(static_cast<uint8_t>(b));
        return out;
    }
    // Sets a recognisable image that a refused load must leave in place.
    void MarkImage() {
        for (int64_t i = 0; i <= image.TableFlashUBound(); ++i)
            image.SetTableFlash(i, static_cast<uint8_t>(i * 7));
        before = image.Bytes();
    }

    QTemporaryDir dir;
    QString flashIni, firmware;
    FlashTable table;
    FlashImage image;
    std::vector<uint8_t> before;
};

}  // namespace

// --- Flash table ----------------------------------------------------------------

TEST(FlashTableFile, ReadsBlocksAndSkipsEmptyLines) {
    QTemporaryDir dir;
    const QString p = dir.filePath("Flash.ini");
    WriteRaw(p, "\r\nH00FF8000 block 0 H00FFBFFF\r\n\r\n   \r\nH00FFC000H00FFFFFF  \r\n\r\n");
    FlashTable t;
    ASSERT_TRUE(t.ReadFile(p)) << t.LastError().toStdString();
    EXPECT_EQ(t.BlockCount(), 2);
    EXPECT_EQ(t.BFlash(0, 0), 0xFF8000u);
    EXPECT_EQ(t.BFlash(0, 1), 0xFFBFFFu);
    EXPECT_EQ(t.BFlash(1, 0), 0xFFC000u);
    EXPECT_EQ(t.BFlash(1, 1), 0xFFFFFFu);
    EXPECT_EQ(t.LargFlash(), 0x7FFFu);
    EXPECT_EQ(t.BlockOf(0xFFBFFF), 0);
    EXPECT_EQ(t.BlockOf(0xFFC000), 1);
    EXPECT_EQ(t.BlockOf(0xFF7FFF), -1);

    bool ok = true;
    EXPECT_EQ(t.BFlash(13, 1, &ok), 0u);  // inside the table, no block there
    EXPECT_TRUE(ok);
    t.BFlash(14, 0, &ok);
    EXPECT_FALSE(ok);
    t.BFlash(0, 2, &ok);
    EXPECT_FALSE(ok);
    t.BFlash(-1, 0, &ok);
    EXPECT_FALSE(ok);
}

TEST(FlashTableFile, BlocksWithAGapAndRangeCover) {
    QTemporaryDir dir;
    const QString p = dir.filePath("Flash.ini");
    WriteRaw(p, "H00001000 H00001FFF\r\nH00002000 H000027FF\r\nH00003000 H00003FFF\r\n");
    FlashTable t;
    ASSERT_TRUE(t.ReadFile(p));
    EXPECT_EQ(t.LargFlash(), 0x2FFFu);
    EXPECT_TRUE(t.CoversRange(0x1FF0, 0x20));   // across two adjacent blocks
    EXPECT_FALSE(t.CoversRange(0x27F0, 0x20));  // runs into the gap
    EXPECT_FALSE(t.CoversRange(0x2800, 1));     // inside the gap
    EXPECT_TRUE(t.CoversRange(0x3FFF, 1));
    EXPECT_FALSE(t.CoversRange(0x3FFF, 2));  // past the last block
    EXPECT_FALSE(t.CoversRange(0x0FFF, 2));  // before block 0
}

TEST(FlashTableFile, RefusesMissingAndMalformedTables) {
    QTemporaryDir dir;
    const QString p = dir.filePath("Flash.ini");
    FlashTable t;
    EXPECT_FALSE(t.ReadFile(p));
    EXPECT_TRUE(t.LastError().contains(p));

    struct Case {
        QByteArray text;
        const char* why;
    };
    const Case cases[] = {
        {"", "no block"},
        {"\r\n\r\n", "no block"},
        {"H00FF8000 H00FFBFFF\r\nH00FFC000 00FFFFFF\r\n", "line 2"},
        {"H00FF8000 H00FFBFFG\r\n", "line 1"},
        {"H00FF8000\r\n", "line 1"},
        {"H00FFBFFF H00FF8000\r\n", "below"},
        {"H00FFC000 H00FFFFFF\r\nH00FF8000 H00FFBFFF\r\n", "before block 0"},
        {"H00FF8000 H00FF8FFF\r\nH00FF0000 H00FF0FFF\r\nH00FFC000 H00FFFFFF\r\n", "outside"},
        {"H00000000 H0FFFFFFF\r\n", "16 MiB"},
    };
    for (const Case& c : cases) {
        WriteRaw(p, c.text);
        EXPECT_FALSE(t.ReadFile(p)) << c.text.constData();
        EXPECT_TRUE(t.LastError().contains(QLatin1String(c.why))) << t.LastError().toStdString();
        EXPECT_EQ(t.BlockCount(), 0);
        EXPECT_EQ(t.LargFlash(), 0u);
    }
}

TEST(FlashTableFile, AtMostFourteenBlocks) {
    QTemporaryDir dir;
    const QString p = dir.filePath("Flash.ini");
    QByteArray text;
    for (int b = 0; b < 14; ++b)
        text += QStringLiteral("H%1 H%2\r\n")
                    .arg(0x1000 * b, 8, 16, QLatin1Char('0'))
                    .arg(0x1000 * b + 0xFFF, 8, 16, QLatin1Char('0'))
                    .toUpper()
                    .toLatin1();
    WriteRaw(p, text);
    FlashTable t;
    ASSERT_TRUE(t.ReadFile(p)) << t.LastError().toStdString();
    EXPECT_EQ(t.BlockCount(), 14);
    EXPECT_EQ(t.BFlash(13, 1), 0xDFFFu);
    WriteRaw(p, text + "H0000E000 H0000EFFF\r\n");
    EXPECT_FALSE(t.ReadFile(p));
    EXPECT_TRUE(t.LastError().contains(QLatin1String("line 15")));
}

// --- Records -------------------------------------------------------------------

TEST(S2Record, VerifiesCountAndChecksum) {
    // count 06 = 3 address + 2 data + 1 checksum bytes; 06+FF+80+00+01+41 = 1C7,
    // ones' complement of C7 is 38.
    FirmwareRecord r;
    EXPECT_EQ(ParseS2Record(QStringLiteral("S206FF8000014138"), r), QString());
    EXPECT_EQ(r.address, 0xFF8000u);
    EXPECT_EQ(r.data, (std::vector<uint8_t>{0x01, 0x41}));
    EXPECT_EQ(MakeS2Record(0xFF8000, {0x01, 0x41}), QStringLiteral("S206FF8000014138"));
    EXPECT_EQ(ParseS2Record(QStringLiteral("s206ff8000014138").replace(0, 1, 'S'), r), QString());

    EXPECT_TRUE(ParseS2Record(QStringLiteral("S206FF8000014139"), r).contains("checksum"));
    EXPECT_TRUE(ParseS2Record(QStringLiteral("S207FF8000014138"), r).contains("count"));
    EXPECT_TRUE(ParseS2Record(QStringLiteral("S206FF800001413"), r).contains("odd"));
    EXPECT_TRUE(ParseS2Record(QStringLiteral("S206FF80000141"), r).contains("count"));
    EXPECT_TRUE(ParseS2Record(QStringLiteral("S206FF80G0014138"), r).contains("hexadecimal"));
    EXPECT_TRUE(ParseS2Record(QStringLiteral("S204FF80"), r).contains("short"));
    EXPECT_FALSE(ParseS2Record(QStringLiteral("S104FF8000"), r).isEmpty());
}

// --- Image sizing -----------------------------------------------------------------

TEST(FlashImageSize, RedimKeepsOrFillsAndIgnoresNegative) {
    FlashImage img;
    EXPECT_EQ(img.TableFlashUBound(), -1);
    img.RedimTableFlash(9, false);
    EXPECT_EQ(img.TableFlashUBound(), 9);
    for (int i = 0; i < 10; ++i) img.SetTableFlash(i, static_cast<uint8_t>(i));
    img.RedimTableFlash(14, true);
    EXPECT_EQ(img.TableFlashUBound(), 14);
    EXPECT_EQ(img.TableFlash(9), 9);
    EXPECT_EQ(img.TableFlash(10), 0xFF);
    img.RedimTableFlash(-1, true);
    EXPECT_EQ(img.TableFlashUBound(), 14);
    img.RedimTableFlash(4, false);
    EXPECT_EQ(img.TableFlashUBound(), 4);
    EXPECT_EQ(img.TableFlash(3), 0xFF);
    // Outside the image: writes ignored, reads give erased flash.
    img.SetTableFlash(5, 0);
    img.SetTableFlash(-1, 0);
    EXPECT_EQ(img.TableFlash(5), 0xFF);
    EXPECT_EQ(img.TableFlashUBound(), 4);
}

// --- Firmware load -------------------------------------------------------------------

TEST_F(FirmwareFiles, RecordsStoppingEarlyLeaveTheRestErased) {
    WriteLatin1Lines(firmware,
                     {"comment line", MakeS2Record(0xFF8000, Bytes({1, 0x41, 1, 9, 0x20, 0x26})),
                      MakeS2Record(0xFFC010, Bytes({0xAA, 0xBB})), "[AdrFrmwarEcu]", "00FF8000"});
    ASSERT_TRUE(image.LoadFirmware(firmware, table)) << image.LastError().toStdString();
    EXPECT_EQ(image.AdrFrmwarEcu(), QStringLiteral("00FF8000"));
    EXPECT_EQ(image.TableFlash(0), 0x01);
    EXPECT_EQ(image.TableFlash(5), 0x26);
    EXPECT_EQ(image.TableFlash(0x4010), 0xAA);
    EXPECT_EQ(image.TableFlash(0x4011), 0xBB);
    int erased = 0;
    for (uint8_t b : image.Bytes()) erased += b == 0xFF;
    EXPECT_EQ(erased, 0x8000 - 8);
    EXPECT_EQ(RecordAddressList(firmware, table), (QStringList{"FF8000", "FFC010"}));
}

TEST_F(FirmwareFiles, LinesFromTheKeyOnAreNotLoaded) {
    WriteLatin1Lines(firmware, {MakeS2Record(0xFF8000, Bytes({0x11})), "[AdrFrmwarEcu]", "00FFC000",
                                MakeS2Record(0xFF8001, Bytes({0x22}))});
    ASSERT_TRUE(image.LoadFirmware(firmware, table));
    EXPECT_EQ(image.TableFlash(0), 0x11);
    EXPECT_EQ(image.TableFlash(1), 0xFF);
    EXPECT_EQ(image.AdrFrmwarEcu(), QStringLiteral("00FFC000"));
    EXPECT_EQ(RecordAddressList(firmware, table), QStringList{"FF8000"});
}

TEST_F(FirmwareFiles, FileWithoutKeyLeavesTheIdentityAddress) {
    image.SetAdrFrmwarEcu(QStringLiteral("00FF9000"));
    WriteLatin1Lines(firmware, {MakeS2Record(0xFFFFFE, Bytes({1, 2}))});
    ASSERT_TRUE(image.LoadFirmware(firmware, table));
    EXPECT_EQ(image.AdrFrmwarEcu(), QStringLiteral("00FF9000"));
    EXPECT_EQ(image.TableFlash(0x7FFF), 2);
    EXPECT_FALSE(image.LoadedWithIdentityKey());
    // Without its key the file cannot be identified nor used for an upgrade.
    EXPECT_EQ(RecordAddressList(firmware, table), QStringList{QString()});
    QString identity, error;
    EXPECT_FALSE(ReadFirmwareFileIdentity(table, image, flashIni, firmware, identity, &error));
    EXPECT_TRUE(error.contains(QLatin1String("incomplete")));
}

TEST_F(FirmwareFiles, BadChecksumRefusesTheWholeFileAndNamesTheLine) {
    QString bad = MakeS2Record(0xFF8020, Bytes({9, 9, 9}));
    bad[bad.size() - 1] = bad.endsWith('0') ? QLatin1Char('1') : QLatin1Char('0');
    WriteLatin1Lines(firmware, {MakeS2Record(0xFF8000, Bytes({1, 2, 3})), "", bad, "[AdrFrmwarEcu]",
                                "00FF8000"});
    MarkImage();
    image.SetAdrFrmwarEcu(QStringLiteral("00FFE000"));
    EXPECT_FALSE(image.LoadFirmware(firmware, table));
    EXPECT_EQ(image.BadLine(), 3);
    EXPECT_TRUE(image.LastError().contains(QLatin1String("line 3")))
        << image.LastError().toStdString();
    EXPECT_TRUE(image.LastError().contains(QLatin1String("checksum")));
    EXPECT_EQ(image.Bytes(), before);  // not even the good first record was stored
    EXPECT_EQ(image.AdrFrmwarEcu(), QStringLiteral("00FFE000"));
    EXPECT_EQ(RecordAddressList(firmware, table), QStringList{QString()});
}

TEST_F(FirmwareFiles, RecordsOutsideTheFlashBlocksAreRefused) {
    const QString cases[] = {
        MakeS2Record(0xFF7FF0, Bytes({1})),                        // before block 0
        MakeS2Record(0xFFFFF0, std::vector<uint8_t>(0x20, 0x5A)),  // runs past the last block
        MakeS2Record(0x000000, Bytes({1, 2})),
    };
    for (const QString& rec : cases) {
        WriteLatin1Lines(firmware, {MakeS2Record(0xFF8000, Bytes({1})), rec});
        MarkImage();
        EXPECT_FALSE(image.LoadFirmware(firmware, table)) << rec.toStdString();
        EXPECT_EQ(image.BadLine(), 2);
        EXPECT_TRUE(image.LastError().contains(QLatin1String("outside")));
        EXPECT_EQ(image.Bytes(), before);
        EXPECT_EQ(RecordAddressList(firmware, table), QStringList{QString()});
    }
}

TEST_F(FirmwareFiles, RecordInAGapBetweenBlocksIsRefused) {
    WriteRaw(flashIni, "H00FF8000 H00FF8FFF\r\nH00FFC000 H00FFFFFF\r\n");
    ASSERT_TRUE(table.ReadFile(flashIni));
    image.RedimTableFlash(table.LargFlash(), false);
    WriteLatin1Lines(firmware, {MakeS2Record(0xFF9000, Bytes({1, 2, 3}))});
    MarkImage();
    EXPECT_FALSE(image.LoadFirmware(firmware, table));
    EXPECT_EQ(image.Bytes(), before);
}

TEST_F(FirmwareFiles, ImageSmallerThanTheFlashIsNeverWrittenPast) {
    image.RedimTableFlash(0x0F, false);
    WriteLatin1Lines(firmware, {MakeS2Record(0xFF8000, Bytes({1})),
                                MakeS2Record(0xFF8008, std::vector<uint8_t>(16, 0x77))});
    MarkImage();
    EXPECT_FALSE(image.LoadFirmware(firmware, table));
    EXPECT_EQ(image.BadLine(), 2);
    EXPECT_EQ(image.Bytes(), before);
}

TEST_F(FirmwareFiles, TruncatedFilesAreRefused) {
    const QStringList lines{MakeS2Record(0xFF8000, std::vector<uint8_t>(32, 0x12)),
                            MakeS2Record(0xFF8020, std::vector<uint8_t>(32, 0x34)),
                            "[AdrFrmwarEcu]", "00FF8000"};
    // Plain file cut in the middle of the second record.
    QByteArray plain;
    for (const QString& l : lines) plain += l.toLatin1() + "\r\n";
    WriteRaw(firmware, plain.left(plain.indexOf("S2", 4) + 40));
    MarkImage();
    EXPECT_FALSE(image.LoadFirmware(firmware, table));
    EXPECT_EQ(image.BadLine(), 2);
    EXPECT_EQ(image.Bytes(), before);

    // Scrambled file cut in the middle of a stored line. A stored line is
    // reversed, so what is left of it decodes (if at all) to the tail of
    // the record. Whatever it decodes to, the file can no longer be
    // identified nor used for an upgrade.
    const QByteArray scrambled = EncodeScrambled(lines);
    const int secondRecordLine = scrambled.indexOf("\r\n", scrambled.indexOf("\r\n") + 2) + 2;
    for (int cut : {secondRecordLine + 3, secondRecordLine + 40, secondRecordLine + 100,
                    static_cast<int>(scrambled.size()) - 40}) {
        WriteRaw(firmware, scrambled.left(cut));
        QString identity, error;
        EXPECT_FALSE(ReadFirmwareFileIdentity(table, image, flashIni, firmware, identity, &error))
            << cut;
        EXPECT_FALSE(error.isEmpty());
        EXPECT_EQ(RecordAddressList(firmware, table), QStringList{QString()}) << cut;
    }
    // A cut that leaves a partial digit group is named as the bad line.
    WriteRaw(firmware, scrambled.left(secondRecordLine + 3));
    image.Fill(0x5A);
    EXPECT_FALSE(image.LoadFirmware(firmware, table));
    EXPECT_EQ(image.BadLine(), 3);  // the header is line 1
    EXPECT_EQ(image.Bytes(), std::vector<uint8_t>(0x8000, 0x5A));
}

TEST_F(FirmwareFiles, MissingOrEmptyFirmwareFile) {
    EXPECT_FALSE(image.LoadFirmware(firmware, table));
    EXPECT_TRUE(image.LastError().contains(QLatin1String("missing")));
    EXPECT_EQ(RecordAddressList(firmware, table), QStringList{QString()});

    WriteLatin1Lines(firmware, {"[AdrFrmwarEcu]", "00FF8000"});
    EXPECT_FALSE(image.LoadFirmware(firmware, table));
    EXPECT_TRUE(image.LastError().contains(QLatin1String("no S2")));
}

TEST_F(FirmwareFiles, IdentityAddressMustBeHexadecimal) {
    WriteLatin1Lines(firmware, {MakeS2Record(0xFF8000, Bytes({1})), "[AdrFrmwarEcu]", "00FF80G0"});
    EXPECT_FALSE(image.LoadFirmware(firmware, table));
    EXPECT_EQ(image.BadLine(), 3);  // the address line
    WriteLatin1Lines(firmware, {MakeS2Record(0xFF8000, Bytes({1})), "[AdrFrmwarEcu]"});
    EXPECT_FALSE(image.LoadFirmware(firmware, table));
}

// --- File identity ----------------------------------------------------------------

TEST_F(FirmwareFiles, IdentityTextIsSixBytesInHexAndThirtyTwoCharacters) {
    const QByteArray desc = QByteArray("KT999 WORKSHOP X1").leftJustified(32, ' ');
    std::vector<uint8_t> data{0x02, 0x07, 0x31, 0x12, 0x19, 0x99};
    data.insert(data.end(), desc.begin(), desc.end());
    WriteLatin1Lines(firmware, {MakeS2Record(0xFFC100, data), "[AdrFrmwarEcu]", "FFC100"});
    QString identity, error;
    ASSERT_TRUE(ReadFirmwareFileIdentity(table, image, flashIni, firmware, identity, &error))
        << error.toStdString();
    EXPECT_EQ(identity, QStringLiteral("020731121999") + QString::fromLatin1(desc));

    // Identity address so close to the end that the 38 bytes leave the image.
    data.resize(32);
    WriteLatin1Lines(firmware, {MakeS2Record(0xFFFFE0, data), "[AdrFrmwarEcu]", "00FFFFE0"});
    EXPECT_FALSE(ReadFirmwareFileIdentity(table, image, flashIni, firmware, identity, &error));
    EXPECT_TRUE(identity.isEmpty());
    EXPECT_TRUE(error.contains(QLatin1String("not inside")));
    // Below the flash.
    image.SetAdrFrmwarEcu(QStringLiteral("00001000"));
    EXPECT_TRUE(image.FirmwareFle(table).isEmpty());
}

TEST_F(FirmwareFiles, IdentityReadFailsWithoutFlashTable) {
    WriteLatin1Lines(firmware, {MakeS2Record(0xFF8000, Bytes({1})), "[AdrFrmwarEcu]", "00FF8000"});
    QFile::remove(flashIni);
    QString identity, error;
    EXPECT_FALSE(ReadFirmwareFileIdentity(table, image, flashIni, firmware, identity, &error));
    EXPECT_TRUE(error.contains(QLatin1String("Flash.ini")));
}
