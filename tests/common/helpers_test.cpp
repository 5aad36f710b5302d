#include "common/Helpers.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>
#include <cmath>

#include "common/Prompts.h"

using namespace gascal;

TEST(InstallDir, ParentOfTheProgramFolder) {
    EXPECT_EQ(DeriveInstallDir("C:\\APP\\BIN", QLatin1Char('\\')), "C:\\APP");
    EXPECT_EQ(DeriveInstallDir("C:\\BIN", QLatin1Char('\\')), "");  // directly under a root
    EXPECT_EQ(DeriveInstallDir("/opt/gascal/BIN"), "/opt/gascal");
    EXPECT_EQ(DeriveInstallDir("/BIN"), "");
    EXPECT_EQ(DeriveInstallDir(""), "");
}

TEST(InstallDir, SystemPathsHangOffTheInstallationFolder) {
    SetInstallDir("/opt/gascal");
    EXPECT_EQ(SystemPath("\\BIN\\SetCom.ini"), "/opt/gascal/BIN/SetCom.ini");
    EXPECT_EQ(SystemPath("\\LNG\\M3.diz"), "/opt/gascal/LNG/M3.diz");
}

TEST(Files, ExistsAndFolderTests) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString f = dir.filePath("a.txt");
    EXPECT_FALSE(FileExists(f));
    QFile file(f);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    EXPECT_TRUE(FileExists(f));
    EXPECT_FALSE(FileExists(dir.path()));  // a folder is not a readable file
    EXPECT_TRUE(IsFolder(dir.path()));
    EXPECT_FALSE(IsFolder(f));
    EXPECT_FALSE(IsFolder(dir.filePath("missing")));
    EXPECT_FALSE(IsFolder(""));
}

TEST(Files, EnsureSamplesFolderCreatesItOnce) {
    QTemporaryDir dir;
    SetInstallDir(dir.path());
    EnsureSamplesFolder();
    EXPECT_TRUE(IsFolder(dir.filePath("SAMPLES")));
    EnsureSamplesFolder();  // already there: harmless
    EXPECT_TRUE(IsFolder(dir.filePath("SAMPLES")));
}

TEST(Hex, BytesAndTextRoundTrip) {
    EXPECT_EQ(BytesToHex(std::vector<uint8_t>{0x00, 0x0A, 0xFF}), "000AFF");
    EXPECT_EQ(BytesToHex(std::vector<uint8_t>{}), "");
    EXPECT_EQ(HexToBytes("000AFF"), (std::vector<uint8_t>{0x00, 0x0A, 0xFF}));
    EXPECT_EQ(HexToBytes("abc"), (std::vector<uint8_t>{0x0A, 0xBC}));  // odd length: leading 0
    bool ok = true;
    EXPECT_TRUE(HexToBytes("12G4", &ok).empty());
    EXPECT_FALSE(ok);
    EXPECT_TRUE(HexToBytes("", &ok).empty());
    EXPECT_TRUE(ok);
}

TEST(Hex, SwapReversesPairs) {
    EXPECT_EQ(SwapHexBytes("1234"), "3412");
    EXPECT_EQ(SwapHexBytes("ABC"), "BC0A");
    EXPECT_EQ(SwapHexBytes(""), "");
    EXPECT_EQ(SwapHexBytes("00FFE000"), "00E0FF00");
}

TEST(Hex, UnsignedDigits) {
    EXPECT_EQ(HexUnsigned(255), "FF");
    EXPECT_EQ(HexUnsigned(256), "0100");
    EXPECT_EQ(HexUnsigned(10.5), "0A");  // halves to even
    EXPECT_EQ(HexUnsigned(11.5), "0C");
    EXPECT_EQ(HexUnsigned(0), "00");
    EXPECT_EQ(HexUnsigned(15.7), "10");  // rounding carries into the next digit
    EXPECT_EQ(HexUnsigned(31.7), "20");
    EXPECT_EQ(HexUnsigned(255.4), "FF");
    EXPECT_EQ(HexUnsigned(65535), "FFFF");
    EXPECT_EQ(HexUnsigned(-3), "00");
}

TEST(Hex, Signed16TwoComplement) {
    EXPECT_EQ(HexSigned16(-1), "FFFF");
    EXPECT_EQ(HexSigned16(-2), "FFFE");
    EXPECT_EQ(HexSigned16(40000), "7FFF");
    EXPECT_EQ(HexSigned16(32767), "7FFF");
    EXPECT_EQ(HexSigned16(0), "0000");
    EXPECT_EQ(HexSigned16(300), "012C");
    EXPECT_EQ(HexSigned16(-32767), "8001");
    EXPECT_EQ(HexSigned16(-32768), "8000");
    EXPECT_EQ(HexSigned16(-40000), "8000");  // saturates, never wraps to positive
    EXPECT_EQ(HexSigned16(-2.5), "FFFE");    // 32765.5 rounds half to even
}

TEST(Numbers, ParseNumberRules) {
    EXPECT_DOUBLE_EQ(ParseNumber("-2,25"), -2.25);
    EXPECT_DOUBLE_EQ(ParseNumber("1.5"), 0);
    EXPECT_DOUBLE_EQ(ParseNumber(""), 0);
    EXPECT_DOUBLE_EQ(ParseNumber("  42 "), 42);
    EXPECT_DOUBLE_EQ(ParseNumber("0,125"), 0.125);
    EXPECT_DOUBLE_EQ(ParseNumber("12a"), 0);
    EXPECT_DOUBLE_EQ(ParseNumber("5-"), -5);  // a minus anywhere makes it negative
}

// A configuration line of hundreds of digits is still a number: the value
// it stands for, never NaN (which once turned into an out-of-range integer
// conversion in the list readers).
TEST(Numbers, ParseNumberOfVeryLongDigitRuns) {
    const QString zeros(400, QLatin1Char('0'));
    EXPECT_DOUBLE_EQ(ParseNumber(zeros + "12"), 12);
    EXPECT_DOUBLE_EQ(ParseNumber("1," + zeros), 1);
    EXPECT_DOUBLE_EQ(ParseNumber("-" + zeros + "7," + zeros + "5"), -7);
    EXPECT_DOUBLE_EQ(ParseNumber("0," + zeros + "5"), 0);  // too small for a double
    const double huge = ParseNumber("1" + zeros);
    EXPECT_FALSE(std::isnan(huge));
    EXPECT_GT(huge, 1e300);
    // Both the digits and the scale beyond a double, the value plain.
    EXPECT_DOUBLE_EQ(ParseNumber(zeros + "2," + zeros), 2);
}

TEST(Numbers, FormatFixedRules) {
    EXPECT_EQ(FormatFixed(3.14159, 2, 1), "3,14");
    EXPECT_EQ(FormatFixed(0.05, 2, 1), "0,05");
    EXPECT_EQ(FormatFixed(-1.5, 1, 1), "-1,5");
    EXPECT_EQ(FormatFixed(7, 0, 3), "007");
    EXPECT_EQ(FormatFixed(7, -2, 0), "7");       // bad arguments count as 0 and 1
    EXPECT_EQ(FormatFixed(0.29, 2, 1), "0,29");  // not 0,28 from binary rounding
    EXPECT_EQ(FormatFixed(123.456, 1, 1), "123,4");
    // Large values keep their digits: the rounding allowance never adds a count.
    EXPECT_EQ(FormatFixed(1.6e9, 2, 1), "1600000000,00");
    EXPECT_EQ(FormatFixed(4e13, 0, 1), "40000000000000");
    EXPECT_EQ(FormatFixed(65535.0 / 1000.0, 3, 1), "65,535");
}

TEST(OsVersion, NamesOfWindowsPlatformsAndRealSystemRecord) {
    EXPECT_EQ(WindowsPlatformName(0, 3, 1), "Win32s");
    EXPECT_EQ(WindowsPlatformName(1, 4, 0), "Windows 95");
    EXPECT_EQ(WindowsPlatformName(1, 4, 90), "Windows ME");
    EXPECT_EQ(WindowsPlatformName(1, 4, 10), "Windows 98");
    EXPECT_EQ(WindowsPlatformName(2, 4, 0), "Windows NT");
    EXPECT_EQ(WindowsPlatformName(2, 5, 0), "Windows 2000");
    EXPECT_EQ(WindowsPlatformName(2, 5, 1), "Windows XP");
    EXPECT_EQ(WindowsPlatformName(2, 6, 1), "Windows NT");
    const OsVersionRecord r = WindowsVersionText();
    EXPECT_FALSE(r.name.isEmpty());
    EXPECT_FALSE(r.name.startsWith("Windows"));  // this is not a Windows system
    EXPECT_TRUE(r.version.contains('.'));
}

TEST(ErrorBox, TextAndBoxGoThroughPrompts) {
    EXPECT_EQ(ErrorReportText("ReadSetCom", "", false, 13, "Type mismatch"),
              "ErrorReadSetCom:\r\r13 - Type mismatch");
    EXPECT_EQ(ErrorReportText("P", "M", false, 0, "x"), "MErrorP:\r");
    EXPECT_EQ(ErrorReportText("P", "", false, 3146, "odbc"), "ErrorP:\r");  // suppressed number
    EXPECT_EQ(ErrorReportText("P", "", false, -2147024894, "d"), "ErrorP:\r\r = &H80070002 - d");
    ScriptedPrompts prompts;
    ScopedPrompts scope(prompts);
    SetAppTitle("gascal");
    ErrorReport("ScaleConfig", "", false, 6, "Overflow");
    ASSERT_EQ(prompts.shown.size(), 1u);
    EXPECT_EQ(prompts.shown[0].title, "gascal: Error");
    EXPECT_EQ(prompts.shown[0].icon, BoxIcon::Warning);
    EXPECT_TRUE(prompts.shown[0].text.contains("ScaleConfig"));
}
