#include "link/core/FirmwareIdentity.h"

#include <QStringList>

#include "common/Helpers.h"

namespace gascal {

namespace {
// Leading decimal digits of a text as a number (blanks before them are
// skipped); 0 when there are none.
int LeadingNumber(const QString& s) {
    int i = 0;
    while (i < s.size() && s[i] == QLatin1Char(' ')) ++i;
    long v = 0;
    bool any = false;
    for (; i < s.size() && s[i].isDigit() && v < 100000000; ++i) {
        v = v * 10 + s[i].digitValue();
        any = true;
    }
    return any ? static_cast<int>(v) : 0;
}

bool AllDigits(const QString& s) {
    if (s.isEmpty()) return false;
    for (QChar c : s)
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) return false;
    return true;
}
}  // namespace

QString IdentityVersStr(const QString& t) {
    if (t.size() <= 4) return QStringLiteral("00.00");
    return t.mid(0, 2) + QStringLiteral(".00.") + t.mid(2, 2);
}

int IdentityVersNum(const QString& t, bool strict) {
    if (t.size() <= 4) return 0;
    const QString digits = t.mid(0, 4);
    if (strict && !AllDigits(digits)) return 0;
    return LeadingNumber(digits);
}

QString IdentityDataStr(const QString& t) {
    if (t.size() <= 11) return QStringLiteral("00000000");
    return t.mid(10, 2) + QLatin1Char('/') + t.mid(6, 2) + QLatin1Char('/') + t.mid(4, 2);
}

int IdentityDayNum(const QString& t) {
    return t.size() <= 6 ? 0 : LeadingNumber(t.mid(4, 2));
}
int IdentityMonthNum(const QString& t) {
    return t.size() <= 8 ? 0 : LeadingNumber(t.mid(6, 2));
}
int IdentityYearNum(const QString& t) {
    return t.size() <= 12 ? 0 : LeadingNumber(t.mid(8, 4));
}

QString IdentityDescWord(const QString& t, int word) {
    if (t.size() <= 12 || word < 0) return {};
    const QStringList words = t.mid(12).split(QLatin1Char(' '));
    return word < words.size() ? words[word] : QString();
}

QString IdentityFromBytes(const QByteArray& bytes) {
    return BytesToHex(bytes.left(IDENTITY_BYTES)) + QString::fromLatin1(bytes.mid(IDENTITY_BYTES));
}

}  // namespace gascal
