// How long the signal viewer takes to read one 3 000 000-byte window of a
// communication log (recognition, constants, first pass and decoding of
// every line), and to redraw the picture in full from it: at the time base
// that puts the most samples on the picture, and stepping the slider
// through the whole window as a user scrolling would. Prints milliseconds.
//   bench-viewer [redraws]      (runs offscreen)
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>

#include "common/Helpers.h"
#include "ecu/EcuSession.h"
#include "ecu/PollingCycle.h"
#include "link/core/ClsComm.h"
#include "link/core/CommandTable.h"
#include "link/core/Frame.h"
#include "viewer/frmview/SignalPicture.h"
#include "viewer/model/ViewerModel.h"

using namespace gascal;

namespace {

void CopyFolder(const QString& from, const QString& to) {
    QDir().mkpath(to);
    for (const QString& f : QDir(from).entryList(QDir::Files))
        QFile::copy(from + "/" + f, to + "/" + f);
}

QByteArray Line(qint64 ms, const char* kind, const QByteArray& text) {
    return "\"" + QByteArray::number(ms) + " " + kind + " " + text + "\"\r\n";
}

// A log as a polling tool writes it: every 70 ms a live-data exchange whose
// answer arrives in three reads, now and then another block and a
// keep-alive; the values move like a running engine.
QByteArray MakeLog(qint64 bytes) {
    QByteArray log =
        "\"100 O  Software ver. 01.01.05 GasCal 15/01/2026 10:00:02\"\r\n"
        "\"[K_gm]\"\r\n 15000000 \r\n\"[K_Lambda]\"\r\n 0,001 \r\n";
    const QByteArray request = BytesToHex(BuildRequest(CMD_READ_MEM1)).toLatin1();
    qint64 t = 1000;
    int i = 0;
    while (log.size() < bytes) {
        QByteArray data(85, '\0');
        const int petrol = 300 + (i * 7) % 400;
        for (int k = 0; k < 8; ++k) {
            data[2 * k] = 1;
            data[16 + 2 * k] = static_cast<char>(petrol & 0xFF);
            data[17 + 2 * k] = static_cast<char>(petrol >> 8);
            data[48 + 2 * k] = 40;
        }
        const int period = 6000 + (i * 13) % 12000;
        data[64] = static_cast<char>(period & 0xFF);
        data[65] = static_cast<char>(period >> 8);
        data[66] = static_cast<char>(0x4C);
        data[67] = 4;
        data[68] = static_cast<char>((i * 3) & 0xFF);
        data[69] = 1;
        data[70] = static_cast<char>((i * 37) & 0xFF);
        data[72] = 1;
        data[77] = 70;
        data[79] = 25;
        const QByteArray answer = BytesToHex(BuildAnswer(CMD_READ_MEM1, 0, data)).toLatin1();
        log += "\"CMD_READ_MEM1\"\r\n" + Line(t, "T", request);
        log += Line(t + 8, "R", answer.left(40)) + Line(t + 16, "R", answer.left(120)) +
               Line(t + 24, "R", answer);
        if (i % 10 == 0)
            log += "\"CMD_READ_MEM2\"\r\n" + Line(t + 40, "T", "4102030B0A") +
                   Line(t + 50, "R", "420113" + QByteArray(40, '0'));
        if (i % 57 == 0)
            log += "\"CMD_GET_ECO\"\r\n" + Line(t + 60, "T", "41020401030") +
                   Line(t + 65, "R", "4201050100030");
        t += 70;
        ++i;
    }
    return log;
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int n = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;

    QTemporaryDir dir;
    CopyFolder(QStringLiteral(GASCAL_SOURCE_DIR "/installdata/BIN"), dir.filePath("BIN"));
    CopyFolder(QStringLiteral(GASCAL_SOURCE_DIR "/installdata/LNG"), dir.filePath("LNG"));
    EcuSession session(dir.path(), nullptr);
    PollingCycle cycle(session);
    session.Comm().Stop();  // files only
    ViewerModel model(session, cycle);
    model.Form_Load();

    const QString path = dir.filePath("SAMPLES/long.vfl");
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(MakeLog(3 * kLogWindowBytes + 100000)) < 0)
        return 1;
    f.close();

    // Parsing: the first window of a log longer than one window.
    double best = 1e9, sum = 0;
    const int parses = 5;
    for (int k = 0; k < parses; ++k) {
        QElapsedTimer t;
        t.start();
        model.OpenViewFile(path, 0);
        const double ms = t.nsecsElapsed() / 1e6;
        best = std::min(best, ms);
        sum += ms;
    }
    std::printf(
        "parse one 3 000 000-byte window: %.1f ms best, %.1f ms mean of %d (%zu samples, "
        "%d lines)   target 100 ms\n",
        best, sum / parses, parses, model.Samples().size(), model.LastLoad().lines);

    // Redrawing: the picture as large as in a maximised window.
    SignalPicture picture(model);
    QObject::connect(&model, &ViewerModel::redrawn, &picture, &SignalPicture::Redraw);
    picture.resize(1000, 620);
    picture.show();
    QApplication::processEvents();
    for (int k = 0; k < 3; ++k)
        model.CmdSecDivP_Click();  // 20 s a division: 2 minutes on the picture
    model.FitTimeScale(false);
    QElapsedTimer t;
    t.start();
    for (int k = 0; k < n; ++k) {
        model.RedrawSignals();
        picture.repaint();
    }
    const double full = t.nsecsElapsed() / 1e6 / n;
    std::printf(
        "full redraw at %.0f s/div: %.2f ms (%zu samples on the picture, %d redraws)   target 16 "
        "ms\n",
        model.SecDiv(), full, model.DrawnX().size(), n);

    // Scrolling through the whole window in steps of a tenth of a screen.
    const int step = std::max(1, model.SliderLargeStep() / 5);
    int steps = 0;
    double worst = 0;
    t.start();
    for (int v = 0; v <= model.SliderMax(); v += step) {
        QElapsedTimer one;
        one.start();
        model.SldSample_Scroll(v);
        picture.repaint();
        worst = std::max(worst, one.nsecsElapsed() / 1e6);
        ++steps;
    }
    std::printf("scroll through the window: %.2f ms a step, worst %.2f ms (%d steps)\n",
                t.nsecsElapsed() / 1e6 / std::max(1, steps), worst, steps);
    return 0;
}
