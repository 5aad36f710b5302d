// Helpers shared by the data-layer tests: a temporary folder with files in
// the system's formats.
#pragma once

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

#include "common/TextFile.h"

namespace gascal::testing {

class TempFolder {
  public:
    QString Path(const QString& name) const { return dir_.filePath(name); }
    // Writes lines with CR LF ends (Latin-1).
    QString WriteLines(const QString& name, const QStringList& lines) const {
        const QString p = Path(name);
        WriteLatin1Lines(p, lines);
        return p;
    }
    QString WriteRaw(const QString& name, const QByteArray& bytes) const {
        const QString p = Path(name);
        QFile f(p);
        f.open(QIODevice::WriteOnly);
        f.write(bytes);
        return p;
    }
    QStringList ReadLines(const QString& name) const {
        QStringList l;
        ReadLatin1Lines(Path(name), l);
        return l;
    }
    QString Root() const { return dir_.path(); }

  private:
    QTemporaryDir dir_;
};

}  // namespace gascal::testing
