// The installation's flash table and firmware file, and the generator that
// produced the firmware file.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "common/Helpers.h"
#include "common/TextFile.h"
#include "link/firmware/FirmwareWriter.h"
#include "link/firmware/FlashImage.h"
#include "link/firmware/LineReader.h"

using namespace gascal;

namespace {

const QString kSourceBin = QStringLiteral(GASCAL_SOURCE_DIR "/installdata/BIN");

QString Descriptor(const char* text) {
    return QString::fromLatin1(QByteArray(text).leftJustified(32, ' '));
}

// Restores the process-wide installation folder after a test.
class InstallDirGuard {
  public:
    InstallDirGuard() : saved_(InstallDir()) {}
    ~InstallDirGuard() { SetInstallDir(saved_); }

  private:
    QString saved_;
};

}  // namespace

TEST(ShippedFirmware, FlashTableHasTheTwoBlocks) {
    FlashTable t;
    ASSERT_TRUE(t.ReadFile(kSourceBin + "/Flash.ini")) << t.LastError().toStdString();
    ASSERT_EQ(t.BlockCount(), 2);
    EXPECT_EQ(t.BFlash(0, 0), 0xFF8000u);
    EXPECT_EQ(t.BFlash(0, 1), 0xFFBFFFu);
    EXPECT_EQ(t.BFlash(1, 0), 0xFFC000u);
    EXPECT_EQ(t.BFlash(1, 1), 0xFFFFFFu);
}

TEST(ShippedFirmware, IdentityThroughTheInstallationFolder) {
    // The installation layout: <dir>/BIN/Flash.ini and <dir>/BIN/TeluroInj468.frh.
    QTemporaryDir dir;
    ASSERT_TRUE(QDir(dir.path()).mkpath("BIN"));
    for (const char* f : {"Flash.ini", "TeluroInj468.frh"})
        ASSERT_TRUE(QFile::copy(kSourceBin + "/" + f, dir.filePath(QStringLiteral("BIN/") + f)));
    InstallDirGuard guard;
    SetInstallDir(dir.path());

    ASSERT_TRUE(IsScrambledFile(FirmwareFilePath()));
    FlashTable table;
    FlashImage image;
    QString identity, error;
    ASSERT_TRUE(ReadFirmwareFileIdentity(table, image, identity, &error)) << error.toStdString();
    EXPECT_EQ(image.AdrFrmwarEcu(), QStringLiteral("00FF8000"));
    EXPECT_EQ(identity, QStringLiteral("014001092026") + Descriptor("KT540 GASCAL INJ468"));
    // The boot block's copy of the six identity bytes.
    const std::vector<uint8_t> boot(image.Bytes().begin() + 0x6000, image.Bytes().begin() + 0x6006);
    EXPECT_EQ(BytesToHex(boot), identity.left(12));

    const QStringList addresses = RecordAddressList(FirmwareFilePath(), table);
    ASSERT_FALSE(addresses.isEmpty());
    EXPECT_EQ(addresses.first(), QStringLiteral("FF8000"));
    EXPECT_FALSE(addresses.contains(QString()));
}

TEST(ShippedFirmware, FileIsWhatTheGeneratorWrites) {
    const LineReadResult shipped = ReadLinesChecked(kSourceBin + "/TeluroInj468.frh");
    ASSERT_TRUE(shipped.scrambled);
    EXPECT_EQ(shipped.lines, BuildFirmwareLines(FirmwareDescription{}));
}

TEST(FirmwareGenerator, OtherIdentitiesRoundTripThroughTheLoader) {
    QTemporaryDir dir;
    const QString ini = dir.filePath("Flash.ini");
    ASSERT_TRUE(QFile::copy(kSourceBin + "/Flash.ini", ini));
    FirmwareDescription d;
    d.version = QStringLiteral("0207");
    d.date = QStringLiteral("29022028");
    d.descriptor = QStringLiteral("KT777 OFFICINA ROSSI");
    d.seed = 99;
    const QStringList lines = BuildFirmwareLines(d);
    ASSERT_FALSE(lines.isEmpty());
    for (bool scrambled : {false, true}) {
        const QString fw = dir.filePath(scrambled ? "s.frh" : "p.frh");
        ASSERT_TRUE(scrambled ? WriteScrambledFile(fw, lines) : WriteLatin1Lines(fw, lines));
        FlashTable table;
        FlashImage image;
        QString identity, error;
        ASSERT_TRUE(ReadFirmwareFileIdentity(table, image, ini, fw, identity, &error))
            << error.toStdString();
        EXPECT_EQ(identity, QStringLiteral("020729022028") + Descriptor("KT777 OFFICINA ROSSI"));
        // Records of 32 bytes on 32-byte boundaries; the erased end of block 0 has none.
        for (const QString& a : RecordAddressList(fw, table)) {
            const uint32_t address = a.toUInt(nullptr, 16);
            EXPECT_EQ(address % 32, 0u) << a.toStdString();
            EXPECT_FALSE(address >= 0xFFB800 && address <= 0xFFBFFF) << a.toStdString();
        }
        EXPECT_EQ(image.TableFlash(0x3800), 0xFF);
    }
}

TEST(FirmwareGenerator, RefusesBadDescriptions) {
    struct Case {
        const char* version;
        const char* date;
        const char* descriptor;
    };
    const Case cases[] = {
        {"141", "01092026", "KT540"},
        {"01.4", "01092026", "KT540"},
        {"0141", "31022026", "KT540"},
        {"0141", "2026-09-01", "KT540"},
        {"0141", "01092026", "A DESCRIPTOR OF MORE THAN 32 CHARS"},
    };
    for (const Case& c : cases) {
        FirmwareDescription d;
        d.version = QString::fromLatin1(c.version);
        d.date = QString::fromLatin1(c.date);
        d.descriptor = QString::fromLatin1(c.descriptor);
        QString error;
        EXPECT_TRUE(BuildFirmwareLines(d, &error).isEmpty()) << c.version << " " << c.date;
        EXPECT_FALSE(error.isEmpty());
    }
}
