// The calibration's texts and what it writes: the dictionary's "[FrmCal]"
// entries, the report \TaraCorr.txt (one quoted line per cycle, written
// whole), the result text and the names of what an abort could not put
// back.
#include <unistd.h>

#include <QFile>
#include <cmath>

#include "common/Helpers.h"
#include "common/TextFile.h"
#include "ecu/Calibration.h"
#include "ecu/EcuSession.h"

namespace gascal {

QString CalNumber(double v, int decimals) {
    QString s = QString::number(v, 'f', decimals);
    if (s.startsWith(QLatin1Char('-')) && s.mid(1).remove(QLatin1Char('0')) == QLatin1String("."))
        s.remove(0, 1);
    s.replace(QLatin1Char('.'), DecimalSeparator());
    return s;
}

namespace {

// A value of a report entry: rounded to 4 decimals, written without
// trailing zeros, with the decimal comma.
QString Num4(double v) {
    const double r = std::nearbyint(v * 1e4) / 1e4;
    QString s = QString::number(r, 'f', 4);
    while (s.contains(QLatin1Char('.')) &&
           (s.endsWith(QLatin1Char('0')) || s.endsWith(QLatin1Char('.'))))
        s.chop(1);
    if (s == QLatin1String("-0")) s = QStringLiteral("0");
    s.replace(QLatin1Char('.'), QLatin1Char(','));
    return s;
}

}  // namespace

const QStringList& Calibration::EnglishTexts() {
    static const QStringList t = {
        QStringLiteral("Automatic calibration"),
        QStringLiteral(
            "Start the engine and let it idle. Press Yes to start the automatic calibration."),
        QStringLiteral(
            "Step 00: the PC takes over the fuel choice (slave mode). Keep the engine at idle."),
        QStringLiteral("Step 00: let the engine idle until the reducer is warm."),
        QStringLiteral(
            "Step 01: keep the engine at idle, do not touch the accelerator. Seconds left:"),
        QStringLiteral("Step 01: measuring the petrol time at idle. Keep the engine at idle."),
        QStringLiteral("Step 02: raise the engine speed to %1 rpm and hold it steady."),
        QStringLiteral("Step 02: hold the speed: measuring the petrol time on petrol."),
        QStringLiteral("Step 02: hold the speed: comparing gas with petrol, cycle %1."),
        QStringLiteral("Step 03: release the accelerator and let the engine idle."),
        QStringLiteral("Step 03: keep the engine at idle: comparing gas with petrol, cycle %1."),
        QStringLiteral("Calibration finished: OFFSET %1 ms. Press Yes to switch to gas and end."),
        QStringLiteral(
            "Calibration finished, but a limit was applied: %1. Yes keeps the result, Esc puts "
            "everything back as it was."),
        QStringLiteral(
            "Abort the calibration? Yes goes on, Esc aborts and puts everything back as it was."),
        QStringLiteral(
            "Calibration aborted: the model, the correction table and the settings are back as "
            "they were."),
        QStringLiteral(
            "The ECU is not ready (link or ignition key). The calibration stops in %1 s."),
        QStringLiteral("The engine is not running. The calibration stops in %1 s."),
        QStringLiteral("The ECU is not in slave mode. The calibration stops in %1 s."),
        QStringLiteral("Two-point calibration (sets ALFA too)"),
        QStringLiteral(
            "Step 04: two-point check: raise the engine speed to %1 rpm and hold it steady."),
        QStringLiteral("Step 04: two-point check at raised speed: hold the speed."),
        QStringLiteral(
            "Step 04: two-point check: release the accelerator and let the engine idle."),
        QStringLiteral("Step 04: two-point check at idle: keep the engine at idle."),
        QStringLiteral("OFFSET (ms)"),
        QStringLiteral("TInjMed - reference (ms)"),
        QStringLiteral("Cycle"),
        QStringLiteral("smallest OFFSET"),
        QStringLiteral("largest OFFSET"),
        QStringLiteral("smallest ALFA"),
        QStringLiteral("largest ALFA"),
        QStringLiteral("%1 table entries"),
        QStringLiteral("Engine speed (rpm)"),
        QStringLiteral(
            "Two-point: ALFA %1, OFFSET %2 ms. Gas minus petrol at idle %3 -> %4 ms, at raised "
            "speed %5 -> %6 ms."),
        QStringLiteral(
            "Two-point not possible: the petrol times at idle and at raised speed are too close."),
        QStringLiteral("Switch the car to gas and end the calibration?"),
        QStringLiteral(
            "The calibration switches the car between petrol and gas by itself. Start it?"),
        QStringLiteral("The ECU did not take the switch to gas. Press Yes to try again."),
        QStringLiteral(
            "Calibration aborted, but the ECU did not answer for 2 minutes. Not put back: %1. "
            "Check them before the car is driven."),
        QStringLiteral("Yes"),
        QStringLiteral("Esc"),
        QStringLiteral(
            "Calibration aborted: putting back the model, the correction table and the settings. "
            "Waiting for the ECU to answer (key on, cable in)."),
        QStringLiteral("the ECU's running mode (it is still in slave mode)"),
        QStringLiteral("the fuel request and the enables of block 2"),
        QStringLiteral("the settings of block 3"),
        QStringLiteral("the settings of block 5"),
        QStringLiteral("the correction table"),
    };
    return t;
}

void Calibration::ReloadTexts() {
    texts_ = session_.SectionTexts(QStringLiteral("[FrmCal]"), EnglishTexts());
    if (state_ == CalState::Idle) Show(T(CalText::MsgIdle));
}

QString Calibration::T(CalText t) const {
    const int i = static_cast<int>(t);
    return i < texts_.size() ? texts_[i] : EnglishTexts().value(i);
}

QStringList Calibration::NotRestoredNames() const {
    QStringList names;
    const std::pair<CalRestorePart, CalText> parts[] = {{RestoreRunning, CalText::PartRunning},
                                                        {RestoreBlock2, CalText::PartBlock2},
                                                        {RestoreBlock3, CalText::PartBlock3},
                                                        {RestoreBlock5, CalText::PartBlock5},
                                                        {RestoreTable, CalText::PartTable}};
    for (const auto& [bit, text] : parts)
        if (notRestored_ & bit) names << T(text);
    return names;
}

QString Calibration::ResultText() const {
    QString text;
    if (result_.endState == CalState::EndWithLimit) {
        QStringList which;
        switch (result_.limits.line) {
            case LimitApplied::OffsetMin:
                which << T(CalText::LimitOffsetMin);
                break;
            case LimitApplied::OffsetMax:
                which << T(CalText::LimitOffsetMax);
                break;
            case LimitApplied::AlfaMin:
                which << T(CalText::LimitAlfaMin);
                break;
            case LimitApplied::AlfaMax:
                which << T(CalText::LimitAlfaMax);
                break;
            case LimitApplied::None:
                break;
        }
        const int entries = result_.limits.entriesRaised + result_.limits.entriesLowered;
        if (entries > 0) which << T(CalText::LimitTable).arg(entries);
        text = T(CalText::MsgEndLimit).arg(which.join(QStringLiteral(", ")));
    } else {
        text = T(CalText::MsgEnd).arg(CalNumber(result_.savedOffset, 3));
    }
    if (result_.twoPointAsked) {
        text += QLatin1Char('\n');
        if (!result_.twoPoint.possible) {
            text += T(CalText::TwoPointImpossible);
        } else {
            const auto r = [](const std::optional<double>& v) {
                return v ? CalNumber(*v, 3) : QStringLiteral("?");
            };
            text +=
                T(CalText::TwoPointResult)
                    .arg(CalNumber(result_.twoPoint.alfa, 3), CalNumber(result_.twoPoint.offset, 3),
                         r(result_.residualIdleBefore), r(result_.residualIdleAfter),
                         r(result_.residualRaisedBefore), r(result_.residualRaisedAfter));
        }
    }
    return text;
}

QString Calibration::StepText() const {
    if (step_ < 0) return QString();
    return T(CalText::Title) + QLatin1Char('\n') +
           QStringLiteral("%1").arg(step_, 2, 10, QLatin1Char('0'));
}

// --- Report --------------------------------------------------------------------------------------

QString Calibration::ReportLine(const QString& label, double tInjRef, double tInjMed, double tCorr,
                                double offset, double tempVap, double pressVap) {
    return label + QStringLiteral(" TInjRef ") + Num4(tInjRef) + QStringLiteral(" TInjMed ") +
           Num4(tInjMed) + QStringLiteral(" TCorr ") + Num4(tCorr) + QStringLiteral(" Offset ") +
           Num4(offset) + QStringLiteral(" TempVap ") + Num4(tempVap) +
           QStringLiteral(" PressVap ") + Num4(pressVap);
}

bool Calibration::AppendReportEntry(const QString& path, const QString& line) {
    QFile f(path);
    if (!f.open(QIODevice::ReadWrite)) return false;
    // An entry cut short by a crash is closed first, so the next one starts
    // on its own line.
    QByteArray record;
    const qint64 size = f.size();
    if (size > 0) {
        f.seek(size - 1);
        if (f.read(1) != QByteArray("\n")) record += "\r\n";
    }
    record += '"' + ToLatin1(line) + "\"\r\n";
    // The entry goes in one write and reaches the disk before the next.
    f.seek(size);
    const bool ok = f.write(record) == record.size() && f.flush();
    const bool synced = ok && ::fsync(f.handle()) == 0;
    f.close();
    return ok && synced;
}

void Calibration::WriteReport(const CalCycle& c, const QString& label, double tempVap,
                              double pressVap) {
    const QString line =
        ReportLine(label, c.reference, c.measured, c.correction, c.offsetBefore, tempVap, pressVap);
    AppendReportEntry(SystemPath(QString::fromLatin1(kTaraCorrPath)), line);
    for (const auto& f : entry_) f(line);
}

}  // namespace gascal
