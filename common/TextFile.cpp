#include "common/TextFile.h"

#include <QFile>
#include <QSaveFile>

namespace gascal {

bool ReadLatin1(const QString& path, QString& text) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return false;
    text = QString::fromLatin1(f.readAll());
    return f.error() == QFileDevice::NoError;
}

QStringList SplitLines(const QString& text) {
    QStringList lines = text.split(QLatin1Char('\n'));
    for (QString& l : lines)
        if (l.endsWith(QLatin1Char('\r'))) l.chop(1);
    if (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
    return lines;
}

bool ReadLatin1Lines(const QString& path, QStringList& lines) {
    QString text;
    if (!ReadLatin1(path, text)) return false;
    lines = SplitLines(text);
    return true;
}

QByteArray ToLatin1(const QString& text) {
    QByteArray out;
    out.reserve(text.size());
    for (QChar c : text) out.append(c.unicode() < 256 ? static_cast<char>(c.unicode()) : '?');
    return out;
}

bool AtomicWrite(const QString& path, const QByteArray& data) {
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly)) return false;
    if (f.write(data) != data.size()) {
        f.cancelWriting();
        return false;
    }
    return f.commit();
}

bool WriteLatin1Lines(const QString& path, const QStringList& lines) {
    QByteArray data;
    for (const QString& l : lines) {
        data += ToLatin1(l);
        data += "\r\n";
    }
    return AtomicWrite(path, data);
}

}  // namespace gascal
