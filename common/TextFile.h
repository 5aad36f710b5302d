// The system's text files: 8-bit (Latin-1) text with CR LF line ends. Every
// file the system rewrites goes through AtomicWrite: the new content is
// written to a temporary file beside the target and renamed into place, so a
// crash or a full disk leaves either the old file or the new one, never half.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace gascal {

// Whole file as Latin-1 text; false when it cannot be read.
bool ReadLatin1(const QString& path, QString& text);
// Lines of a file split at CR LF; a bare LF also ends a line (files written
// on other systems). No trailing empty line for a final line end.
bool ReadLatin1Lines(const QString& path, QStringList& lines);
// Splits a text into lines the same way.
QStringList SplitLines(const QString& text);

// Replaces the file with `data` atomically. False (and the old file kept)
// when anything fails.
bool AtomicWrite(const QString& path, const QByteArray& data);
// Replaces the file with the lines, each ended by CR LF, in Latin-1.
bool WriteLatin1Lines(const QString& path, const QStringList& lines);
// Latin-1 bytes of a text (characters outside Latin-1 become "?").
QByteArray ToLatin1(const QString& text);

}  // namespace gascal
