#include "link/firmware/LineReader.h"

#include <QFile>
#include <algorithm>

#include "common/Prompts.h"
#include "common/TextFile.h"

namespace gascal {

namespace {

constexpr int kGroupWidth = 4;       // decimal digits per character
constexpr int kMaxGroupValue = 511;  // half of it is the highest character code

// A small deterministic generator for the dropped low bits, so encoded files
// do not show the plain text's repetitions digit for digit.
uint32_t NextBit(uint32_t& state) {
    state = state * 1664525u + 1013904223u;
    return (state >> 16) & 1u;
}

bool ReadFileLines(const QString& path, QStringList& lines) {
    return ReadLatin1Lines(path, lines);
}

}  // namespace

std::optional<QString> DecodeScrambledLine(const QString& stored) {
    if (stored.size() % kGroupWidth != 0) return std::nullopt;
    const int n = static_cast<int>(stored.size()) / kGroupWidth;
    QString plain;
    plain.reserve(n);
    // Group j of the reversed line starts kGroupWidth * j characters from the
    // end of the stored line and runs backwards.
    const int last = static_cast<int>(stored.size()) - 1;
    for (int j = 0; j < n; ++j) {
        int value = 0;
        for (int d = 0; d < kGroupWidth; ++d) {
            const QChar c = stored[last - j * kGroupWidth - d];
            if (c < QLatin1Char('0') || c > QLatin1Char('9')) return std::nullopt;
            value = value * 10 + (c.unicode() - '0');
        }
        if (value > kMaxGroupValue) return std::nullopt;
        plain.append(QChar(static_cast<char16_t>(value / 2)));
    }
    return plain;
}

QString EncodeScrambledLine(const QString& plain, uint32_t seed) {
    uint32_t state = seed;
    QString forward;
    forward.reserve(plain.size() * kGroupWidth);
    for (QChar c : plain) {
        const int code = c.unicode() < 256 ? c.unicode() : '?';
        const int value = code * 2 + static_cast<int>(NextBit(state));
        forward += QStringLiteral("%1").arg(value, kGroupWidth, 10, QLatin1Char('0'));
    }
    std::reverse(forward.begin(), forward.end());
    return forward;
}

QByteArray EncodeScrambled(const QStringList& lines, const QString& header, uint32_t seed) {
    QByteArray out;
    uint32_t lineSeed = seed;
    auto append = [&](const QString& plain) {
        lineSeed = lineSeed * 69069u + 1u;
        out += ToLatin1(EncodeScrambledLine(plain, lineSeed));
        out += "\r\n";
    };
    append(header);
    for (const QString& l : lines) append(l);
    return out;
}

QByteArray EncodeScrambled(const QStringList& lines, uint32_t seed) {
    return EncodeScrambled(lines, QString::fromLatin1(kScrambledHeader), seed);
}

bool WriteScrambledFile(const QString& path, const QStringList& lines, uint32_t seed) {
    return AtomicWrite(path, EncodeScrambled(lines, seed));
}

bool IsScrambledFile(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return false;
    QByteArray first = f.readLine();
    while (first.endsWith('\n') || first.endsWith('\r')) first.chop(1);
    const auto decoded = DecodeScrambledLine(QString::fromLatin1(first));
    return decoded && *decoded == QLatin1String(kScrambledHeader);
}

namespace {

LineReadResult DecodeScrambledLines(const QStringList& stored) {
    LineReadResult r;
    r.exists = true;
    r.scrambled = true;
    r.firstLineNumber = 2;
    if (stored.isEmpty()) {
        r.headerWrong = true;
        r.firstLineNumber = 1;
        r.lines = QStringList{QString()};
        return r;
    }
    const auto header = DecodeScrambledLine(stored.first());
    if (!header || *header != QLatin1String(kScrambledHeader)) {
        r.headerWrong = true;
        r.firstLineNumber = 1;
        r.lines = QStringList{header.value_or(QString())};
        if (!header) r.badLines.append(1);
        return r;
    }
    for (int i = 1; i < stored.size(); ++i) {
        const auto plain = DecodeScrambledLine(stored[i]);
        if (!plain) r.badLines.append(i + 1);
        r.lines.append(plain.value_or(QString()));
    }
    return r;
}

void ShowHeaderWrong() {
    UserPrompts().Message(QStringLiteral("HEADER WRONG "), QStringLiteral("FileExist"),
                          BoxIcon::Information);
}

}  // namespace

QStringList ReadScrambledFile(const QString& path) {
    QStringList stored;
    if (!ReadFileLines(path, stored)) return {};
    const LineReadResult r = DecodeScrambledLines(stored);
    if (r.headerWrong) ShowHeaderWrong();
    return r.lines;
}

QStringList ReadPlainFile(const QString& path) {
    QStringList lines;
    if (!ReadFileLines(path, lines)) return {};
    return lines;
}

LineReadResult ReadLinesChecked(const QString& path) {
    LineReadResult r;
    QStringList stored;
    if (!ReadFileLines(path, stored)) return r;
    const auto header = stored.isEmpty() ? std::nullopt : DecodeScrambledLine(stored.first());
    if (header && *header == QLatin1String(kScrambledHeader)) return DecodeScrambledLines(stored);
    r.exists = true;
    r.lines = stored;
    return r;
}

QStringList ReadLines(const QString& path) {
    return ReadLinesChecked(path).lines;
}

}  // namespace gascal
