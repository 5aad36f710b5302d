#include "common/Helpers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSysInfo>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string>

#include "common/Prompts.h"

namespace gascal {

namespace {
QString g_installDir;
QString g_appTitle = QStringLiteral("gascal");
}  // namespace

QString DeriveInstallDir(const QString& programFolder, QChar separator) {
    if (programFolder.count(separator) < 2) return QString();
    return programFolder.left(programFolder.lastIndexOf(separator));
}

const QString& InstallDir() {
    return g_installDir;
}
void SetInstallDir(const QString& dir) {
    g_installDir = dir;
}
QString DecimalSeparator() {
    return QStringLiteral(",");
}

QString SystemPath(const QString& systemPath) {
    QString p = systemPath;
    p.replace(QLatin1Char('\\'), QDir::separator());
    return g_installDir + p;
}

bool FileExists(const QString& path) {
    QFileInfo fi(path);
    if (!fi.isFile()) return false;
    QFile f(path);
    return f.open(QIODevice::ReadOnly);
}

bool IsFolder(const QString& path) {
    if (path.isEmpty()) return false;
    return QFileInfo(path).isDir();
}

void EnsureSamplesFolder() {
    const QString p = SystemPath(QStringLiteral("\\SAMPLES"));
    if (!IsFolder(p)) QDir().mkpath(p);
}

// --- Hexadecimal text --------------------------------------------------------

QString BytesToHex(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    QString s;
    s.reserve(static_cast<int>(bytes.size() * 2));
    for (uint8_t b : bytes) {
        s.append(QLatin1Char(digits[b >> 4]));
        s.append(QLatin1Char(digits[b & 15]));
    }
    return s;
}

QString BytesToHex(const QByteArray& bytes) {
    return BytesToHex(std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

int HexDigitValue(QChar c) {
    const ushort u = c.unicode();
    if (u >= '0' && u <= '9') return u - '0';
    if (u >= 'A' && u <= 'F') return u - 'A' + 10;
    if (u >= 'a' && u <= 'f') return u - 'a' + 10;
    return -1;
}

std::vector<uint8_t> HexToBytes(const QString& hexIn, bool* ok) {
    QString hex = hexIn;
    if (hex.size() % 2) hex.prepend(QLatin1Char('0'));
    std::vector<uint8_t> out;
    out.reserve(hex.size() / 2);
    for (int i = 0; i < hex.size(); i += 2) {
        const int hi = HexDigitValue(hex[i]), lo = HexDigitValue(hex[i + 1]);
        if (hi < 0 || lo < 0) {
            if (ok) *ok = false;
            return {};
        }
        out.push_back(static_cast<uint8_t>(hi * 16 + lo));
    }
    if (ok) *ok = true;
    return out;
}

QString SwapHexBytes(const QString& hexIn) {
    QString hex = hexIn;
    if (hex.size() % 2) hex.prepend(QLatin1Char('0'));
    QString out;
    out.reserve(hex.size());
    for (int i = hex.size() - 2; i >= 0; i -= 2) out.append(hex.mid(i, 2));
    return out;
}

QString HexUnsigned(double value) {
    // The value is rounded to a whole number first (halves to even), then
    // written digit by digit. Rounding only the last remainder, with 15 or
    // more giving F, would send 31.7 as 1F (31) instead of 20 (32): one count
    // short whenever the rounding carries into the next digit.
    static const char digits[] = "0123456789ABCDEF";
    double v = value > 0 ? std::nearbyint(value) : 0;
    QString s;
    do {
        const double q = std::floor(v / 16.0);
        const int d = static_cast<int>(v - q * 16.0);
        s.prepend(QLatin1Char(digits[d & 15]));
        v = q;
    } while (v >= 1.0);
    if (s.size() % 2) s.prepend(QLatin1Char('0'));
    return s;
}

QString HexSigned16(double value) {
    if (value >= 32767) return QStringLiteral("7FFF");
    if (value <= -32768) return QStringLiteral("8000");
    if (value >= 0) {
        QString s = HexUnsigned(value);
        while (s.size() < 4) s.prepend(QLatin1Char('0'));
        return s.right(4);
    }
    QString s = HexUnsigned(value + 32768);
    while (s.size() < 4) s.prepend(QLatin1Char('0'));
    s = s.right(4);
    const int first = HexDigitValue(s[0]) + 8;
    static const char digits[] = "0123456789ABCDEF";
    s[0] = QLatin1Char(digits[first & 15]);
    return s;
}

// --- Numbers -----------------------------------------------------------------

double ParseNumber(const QString& textIn) {
    const QString text = textIn.trimmed();
    if (text.isEmpty()) return 0;
    bool negative = false;
    int decimals = -1;  // characters after the leftmost comma
    std::string digits;
    digits.reserve(static_cast<size_t>(text.size()) + 16);
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == QLatin1Char('-')) {
            negative = true;
        } else if (c == QLatin1Char(',')) {
            if (decimals < 0) decimals = static_cast<int>(text.size() - 1 - i);
        } else if (c.unicode() >= '0' && c.unicode() <= '9') {
            digits += static_cast<char>(c.unicode());
        } else {
            return 0;
        }
    }
    if (digits.empty()) return 0;
    // The digits scaled by the decimals in one correctly rounded
    // conversion: however many digits a line holds, the result is the
    // nearest double (infinite only when it is beyond every double), never
    // the NaN a digit-by-digit sum gives once its place value overflows.
    digits += "e-" + std::to_string(decimals < 0 ? 0 : decimals);
    const double v = std::strtod(digits.c_str(), nullptr);
    return negative ? -v : v;
}

QString FormatFixed(double value, int decimals, int integerDigits) {
    if (decimals < 0) decimals = 0;
    if (integerDigits < 1) integerDigits = 1;
    // A tiny relative allowance keeps values such as 0.29 from printing as
    // 0,28 because of binary rounding of the multiplication. It is capped at
    // a thousandth of a count so that large values never gain a count.
    const double scaled = value * std::pow(10.0, decimals);
    const double n = std::floor(scaled + std::min(1e-3, 1e-12 * std::max(1.0, std::fabs(scaled))));
    QString digits = QString::number(std::fabs(n), 'f', 0);
    while (digits.size() < decimals + integerDigits) digits.prepend(QLatin1Char('0'));
    if (decimals > 0) digits.insert(digits.size() - decimals, DecimalSeparator());
    if (n < 0) digits.prepend(QLatin1Char('-'));
    return digits;
}

// --- Operating system --------------------------------------------------------

QString WindowsPlatformName(int platform, int major, int minor) {
    switch (platform) {
        case 0:
            return QStringLiteral("Win32s");
        case 1:
            if (minor == 0) return QStringLiteral("Windows 95");
            if (minor == 90) return QStringLiteral("Windows ME");
            return QStringLiteral("Windows 98");
        case 2:
            if (major == 5 && minor == 0) return QStringLiteral("Windows 2000");
            if (major == 5 && minor == 1) return QStringLiteral("Windows XP");
            return QStringLiteral("Windows NT");
        default:
            return QString();
    }
}

OsVersionRecord WindowsVersionText() {
    // On every system the record holds what that system says of itself:
    // its own product name and version, and the kernel's release as build and
    // service-pack text, instead of a Windows name it is not.
    OsVersionRecord r;
    r.name = QSysInfo::prettyProductName();
    QString v = QSysInfo::productVersion();
    const QStringList parts = v.split(QLatin1Char('.'));
    r.version = parts.value(0, QStringLiteral("0")) + QLatin1Char('.') +
                parts.value(1, QStringLiteral("0"));
    const QString kernel = QSysInfo::kernelVersion();
    const QStringList kp = kernel.split(QRegularExpression(QStringLiteral("[.-]")));
    r.build = kp.value(2).toInt() & 0xFFFF;
    r.servicePack = kernel.section(QChar(0), 0, 0);
    return r;
}

// --- Error box ---------------------------------------------------------------

QString AppTitle() {
    return g_appTitle;
}
void SetAppTitle(const QString& title) {
    g_appTitle = title;
}

QString ErrorReportText(const QString& procedure, const QString& message, bool useSystemError,
                        long errorNumber, const QString& description) {
    QString text =
        message + QStringLiteral("Error") + procedure + QStringLiteral(":") + QLatin1Char('\r');
    const long number = useSystemError ? static_cast<long>(errno) : errorNumber;
    const QString desc = useSystemError ? QString() : description;
    if (number != 0 && (useSystemError || number != 3146)) {
        text += QLatin1Char('\r');
        if (number >= 0 && number <= 99999)
            text += QString::number(number);
        else
            text += QStringLiteral(" = &H") +
                    QStringLiteral("%1")
                        .arg(static_cast<quint32>(number), 8, 16, QLatin1Char('0'))
                        .toUpper();
        text += QStringLiteral(" - ") + desc;
    }
    return text;
}

void ErrorReport(const QString& procedure, const QString& message, bool useSystemError,
                 long errorNumber, const QString& description) {
    UserPrompts().MessageBox(
        ErrorReportText(procedure, message, useSystemError, errorNumber, description),
        AppTitle() + QStringLiteral(": Error"), BoxIcon::Warning, BoxButtons::Ok);
}

}  // namespace gascal
