// Small operations every layer uses: the installation folder, file tests,
// hexadecimal text, number reading and fixed-point writing, the samples
// folder, the operating-system record of the About box and the error box.
#pragma once

#include <QString>
#include <cstdint>
#include <string>
#include <vector>

namespace gascal {

class Prompts;

// --- Installation folder and decimal separator ------------------------------

// The installation folder is the parent of the program's own folder. Returns
// the folder path up to, not including, its last separator; empty when the
// path holds fewer than two separators (a folder directly under a root).
QString DeriveInstallDir(const QString& programFolder, QChar separator = QLatin1Char('/'));

// Process-wide installation folder and decimal separator, set at start-up.
const QString& InstallDir();
void SetInstallDir(const QString& dir);
QString DecimalSeparator();

// Installation folder followed by a system path such as "\BIN\SetCom.ini".
// The backslashes of the system's own paths become the platform separator.
QString SystemPath(const QString& systemPath);

// --- Files -------------------------------------------------------------------

bool FileExists(const QString& path);  // the file can be opened for reading
bool IsFolder(const QString& path);    // exists and is a folder; false on any error
void EnsureSamplesFolder();            // creates InstallDir + "\SAMPLES" if needed

// --- Hexadecimal text --------------------------------------------------------

// Value of one hexadecimal digit (either case); -1 for any other character.
int HexDigitValue(QChar c);
// Two upper-case digits per byte.
QString BytesToHex(const std::vector<uint8_t>& bytes);
QString BytesToHex(const QByteArray& bytes);
// A text of odd length gets a leading "0"; any invalid pair gives an empty
// result. `ok` (when given) tells an empty input from an invalid one.
std::vector<uint8_t> HexToBytes(const QString& hex, bool* ok = nullptr);
// Reverses the order of the digit pairs ("1234" -> "3412").
QString SwapHexBytes(const QString& hex);
// Non-negative value as upper-case digits, even length, "00" for 0.
QString HexUnsigned(double value);
// 16-bit two's complement as four digits. Values of 32767 or more saturate to
// "7FFF"; values of -32768 or less saturate to "8000", the most negative
// 16-bit number, so a big negative value can never wrap round to a positive one.
QString HexSigned16(double value);

// --- Numbers -----------------------------------------------------------------

// Digits, "-" and "," as decimal separator; any other character gives 0.
double ParseNumber(const QString& text);
// Fixed-point text with the decimal separator, see the source for the rules.
QString FormatFixed(double value, int decimals, int integerDigits);

// --- Operating system --------------------------------------------------------

struct OsVersionRecord {
    QString name;         // e.g. "Debian GNU/Linux 12 (bookworm)" or "Windows XP"
    QString version;      // "major.minor"
    int build = 0;        // low 16 bits of the build number
    QString servicePack;  // up to its first zero character
};
// The record of the system the tool runs on.
OsVersionRecord WindowsVersionText();
// Name of a Windows platform/version triple, as the About box shows it.
QString WindowsPlatformName(int platform, int major, int minor);

// --- Error box ---------------------------------------------------------------

// Shows the shared warning box "<app>: Error" through the prompts interface.
// `errorNumber` and `description` are those of the error being handled;
// with `useSystemError` the last system error number is shown instead.
void ErrorReport(const QString& procedure, const QString& message, bool useSystemError,
                 long errorNumber = 0, const QString& description = QString());
// The text of that box (exposed for tests and logs).
QString ErrorReportText(const QString& procedure, const QString& message, bool useSystemError,
                        long errorNumber, const QString& description);

// Application title used in box titles.
QString AppTitle();
void SetAppTitle(const QString& title);

}  // namespace gascal
