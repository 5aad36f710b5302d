// The firmware identity text that the ECU and the firmware file both carry:
// 12 hexadecimal characters from the six identity bytes (major and minor
// version, day, month, four-digit year) followed by the 32-character project
// descriptor "<project code> <customer> <code>". These functions split such a
// text; each gives its fallback when the text is too short.
#pragma once

#include <QByteArray>
#include <QString>

namespace gascal {

constexpr int IDENTITY_BYTES = 6;
constexpr int DESCRIPTOR_CHARS = 32;

// "01.00.05" from a text beginning 0105; "00.00" for 4 characters or fewer.
QString IdentityVersStr(const QString& t);
// Characters 1-4 as a number. With `strict`, 0 unless all four are digits
// (the firmware file's rule); otherwise their leading digits count.
int IdentityVersNum(const QString& t, bool strict);
// "YY/MM/DD"; "00000000" for 11 characters or fewer.
QString IdentityDataStr(const QString& t);
int IdentityDayNum(const QString& t);
int IdentityMonthNum(const QString& t);
int IdentityYearNum(const QString& t);
// Word 0, 1, 2 of the descriptor (split at every single blank).
QString IdentityDescWord(const QString& t, int word);

// Identity text from the raw bytes: the first six as hexadecimal, the rest
// (the descriptor) as characters.
QString IdentityFromBytes(const QByteArray& bytes);

}  // namespace gascal
