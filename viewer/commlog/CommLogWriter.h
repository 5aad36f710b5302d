// The communication log: every frame the link exchanges with the ECU, and
// every failed port call, becomes one quoted text line of "BIN\RxTx.TXT".
// The log is the fitter's trace of the exchange and the raw material of the
// signal viewer, which reads the live file while the link keeps writing.
//
// Line forms (each ended by CR LF):
//   "<ms> O  Software ver. 01.01.05 <title> <dd/MM/yyyy HH:mm:ss>"   header
//   "CMD_READ_MEM1"                     command name, before each request line
//   "<ms> T 4102030C4D"                 record: time, kind, text
//   "[K_gm]" / " 15000000 " / "[K_Lambda]" / " 0,001 "   constants block
//
// The file stays open with unbuffered writes; a name line and its record go
// out in one write, so a reader never sees half a line. While the viewer
// has the log closed (Close ... Reopen) lines are held and appended on
// reopening, so none is lost.
//
// One program at a time owns "RxTx.TXT": a lock file beside it
// (".RxTx.TXT.lck", held while the log is started) says which. A program that
// finds the log locked by another running program (the window while
// gascal-cli runs on the same installation) neither rotates nor truncates
// it: it writes its own log, "RxTx_2.TXT" (or the next number free), which
// it starts afresh. A lock left by a program that died is taken over.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QLockFile>
#include <QString>
#include <cstddef>
#include <memory>
#include <optional>

#include "common/LogSink.h"

namespace gascal {

class CommLogWriter : public LogSink {
  public:
    // The two values the viewer writes in the constants block.
    struct Constants {
        double rpmConstant = 15000000;  // revolution-period word to rpm
        double kLambda = 0.001;         // lambda word to volts
    };

    // Version text of the header line.
    static constexpr const char* kSoftwareVersion = " Software ver. 01.01.05";
    // Lines held while the log is closed for a reader; beyond this, further
    // lines are counted but dropped.
    static constexpr std::size_t kMaxHeldBytes = 8 * 1024 * 1024;

    // Log files: by default "\BIN\RxTx.TXT" and "\BIN\RxTx_Last.TXT" under
    // the installation folder at the time StartLogRxTx runs.
    CommLogWriter();
    CommLogWriter(const QString& logPath, const QString& lastLogPath);
    ~CommLogWriter() override;
    CommLogWriter(const CommLogWriter&) = delete;
    CommLogWriter& operator=(const CommLogWriter&) = delete;

    // Makes this writer the process-wide sink of the link's log lines; the
    // destructor removes it again.
    void Install();

    // Closes the current log, moves "RxTx.TXT" to "RxTx_Last.TXT" (replacing
    // it), opens a new "RxTx.TXT" for appending and writes the header line
    // with `productTitle`, then the constants block when given. False when
    // the new log cannot be opened (nothing is logged then).
    bool StartLogRxTx(const QString& productTitle,
                      std::optional<Constants> constants = std::nullopt);

    // LogSink: the command-name line for a request frame (text beginning with
    // "41"), then "<ms> <kind><text>". Never fails towards the caller; when
    // no log has been started, or it was stopped, nothing is written.
    void WriteLogRxTx(const QString& kind, const QString& text) override;

    // The viewer closes the log around its own reads and copies. Lines
    // written meanwhile are held and appended by Reopen().
    void Close();
    // Reopens the log for appending and writes the held lines. False when the
    // file cannot be opened; the lines stay held for the next try.
    bool Reopen();
    // Closes the log for good (program end), after writing any held lines.
    void Stop();

    bool IsOpen() const { return file_.isOpen(); }
    // The log this writer writes: "RxTx.TXT", or its own name while another
    // program holds that one.

    bool IsClosedForReader() const { return closedForReader_; }
    QString LogPath() const;
    QString LastLogPath() const;
    // Lines dropped because the held lines reached kMaxHeldBytes, or because
    // a write failed.
    std::size_t DroppedLines() const { return dropped_; }

    // The forms used in the lines (exposed for tests and the viewer).
    static QString TimeText(double microSeconds);          // whole ms, halves to even
    static QString HeaderDateText(const QDateTime& when);  // dd/MM/yyyy HH:mm:ss
    static QString NumberText(double value);               // " 15000000 ", "-0,5 "
    // The name line's text for a record text, or empty when it gets none.
    static QString CommandNameFor(const QString& text);

  private:
    void Emit(const QByteArray& lines);
    bool OpenForAppend();
    void FlushHeld();
    bool Rotate();
    // Takes the lock of the log (the shared one, else one of its own);
    // false when none could be taken.
    bool LockLog();
    QString SharedLogPath() const;

    QString logPath_, lastLogPath_;  // empty: under the installation folder
    QString ownPath_;                // the log this writer holds the lock of
    std::unique_ptr<QLockFile> lock_;
    QFile file_;
    bool started_ = false;  // a log was started and not stopped
    bool closedForReader_ = false;
    QByteArray held_;
    std::size_t dropped_ = 0;
};

}  // namespace gascal
