// What restore points cost, in a temporary data folder:
//   (a) taking a point: the parameter-file lines built from an image, the
//       header, the atomic write, the read-back check and retention, into a
//       folder that already holds the ECU's 100 points;
//   (b) the connection's check that finds nothing changed: the newest point
//       read and compared;
//   (c) listing 1,000 points of one ECU (points before calibrations, which
//       retention keeps), each file read whole and checked;
//   (d) listing every ECU of a folder of 10 ECUs with 100 points each.
// Figures: milliseconds, the median of the repetitions.
//
//   bench-history [--repeat N]
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

#include "data/core/ParamFile.h"
#include "data/core/ParamImage.h"
#include "ecu/History.h"

using namespace gascal;

namespace {

ParamImage Image(int variant) {
    ParamImage i;
    i.Mem3Block.NumCoils = 4;
    i.Mem3Block.NumCylinders = 4;
    i.Mem3Block.SwitchTempRaw = static_cast<uint8_t>(30 + variant % 50);
    i.RecomputeRpmConstant();
    i.CorTable[kCorTimeEntries + 1] = 1;
    for (int k = 0; k < kCorTimeEntries; ++k)
        i.CorTable[static_cast<size_t>(k)] = 0.128 * ((k + variant) % 11);
    return i;
}

PointHeader Header(uint32_t serial, PointReason reason) {
    PointHeader h;
    h.serial = serial;
    h.ecuIdentity = QStringLiteral("0140010926 INJ468");
    h.ecuVersion = 140;
    h.time = QDateTime::currentDateTime();
    h.reason = reason;
    h.flash = true;
    return h;
}

bool Write(const QString& root, uint32_t serial, PointReason reason, int variant) {
    return WriteRestorePoint(root, Header(serial, reason), ParamFileLines(Image(variant), 140, "B"))
        .has_value();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

double TimeMs(const std::function<void()>& f) {
    QElapsedTimer t;
    t.start();
    f();
    return static_cast<double>(t.nsecsElapsed()) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    int repeat = 5;
    const QStringList args = app.arguments();
    const qsizetype r = args.indexOf(QStringLiteral("--repeat"));
    if (r > 0 && r + 1 < args.size()) repeat = std::max(1, args[r + 1].toInt());

    // (a) and (b): one ECU with its 100 points.
    std::vector<double> take, check;
    for (int k = 0; k < repeat; ++k) {
        QTemporaryDir dir;
        for (int i = 0; i < kHistoryKeep; ++i) Write(dir.path(), 1, PointReason::Connection, i);
        std::vector<double> one;
        for (int i = 0; i < 20; ++i)
            one.push_back(
                TimeMs([&] { Write(dir.path(), 1, PointReason::Connection, kHistoryKeep + i); }));
        take.push_back(Median(one));
        const QStringList current = ParamFileLines(Image(kHistoryKeep + 19), 140, "B");
        check.push_back(TimeMs([&] {
            const std::optional<RestorePoint> newest = NewestRestorePoint(dir.path(), 1);
            QStringList lines;
            if (newest) ReadPointLines(newest->path, lines);
            if (ComparableConfiguration(lines) != ComparableConfiguration(current))
                std::fprintf(stderr, "the newest point differs\n");
        }));
    }

    // (c): 1,000 points of one ECU.
    std::vector<double> listOne;
    {
        QTemporaryDir dir;
        for (int i = 0; i < 1000; ++i) Write(dir.path(), 2, PointReason::Calibration, i);
        for (int k = 0; k < repeat; ++k) {
            size_t n = 0;
            listOne.push_back(TimeMs([&] { n = ListHistory(dir.path(), 2).size(); }));
            if (n != 1000) std::fprintf(stderr, "listed %zu points, not 1000\n", n);
        }
    }

    // (d): 10 ECUs of 100 points each.
    std::vector<double> listAll;
    {
        QTemporaryDir dir;
        for (uint32_t s = 10; s < 20; ++s)
            for (int i = 0; i < kHistoryKeep; ++i) Write(dir.path(), s, PointReason::Connection, i);
        for (int k = 0; k < repeat; ++k) {
            size_t n = 0;
            listAll.push_back(TimeMs([&] {
                n = 0;
                for (uint32_t s : HistorySerials(dir.path()))
                    n += ListHistory(dir.path(), s).size();
            }));
            if (n != 1000) std::fprintf(stderr, "listed %zu points, not 1000\n", n);
        }
    }

    std::printf("take a point (100 in the folder, retention included): %.2f ms\n", Median(take));
    std::printf("connection check, nothing changed (newest read and compared): %.2f ms\n",
                Median(check));
    std::printf("list 1000 points of one ECU: %.1f ms\n", Median(listOne));
    std::printf("list 1000 points of 10 ECUs (--all): %.1f ms\n", Median(listAll));
    return 0;
}
