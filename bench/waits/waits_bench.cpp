// What waiting costs the programs on the real clock, against the simulated
// ECU on a pseudo-terminal (gascal-ecusim):
//   (a) gascal-cli live, polling block 1 back to back,
//   (b) the window gascal, online and polling, under a virtual display (Xvfb)
//       or Qt's offscreen platform.
// For each: processor time of the process (all its threads, from
// /proc/<pid>/task/*/schedstat) as % of one core, wake-ups per second (the
// voluntary and involuntary context switches of its threads), and from its
// communication log BIN/RxTx.TXT the spacing of block-1 requests against the
// line's floor (5 request bytes with a 500 us pause after each, then the
// 100 ms idle time before the answer is read: 102.5 ms).
//
//   bench-waits [--tree DIR] [--seconds N] [--warmup N]
//               [--display xvfb|offscreen] [--only cli|window]
//
// --tree is the installation tree holding BIN/gascal, BIN/gascal-cli and
// BIN/gascal-ecusim (default: this build's tree); the programs run on a
// temporary copy of its data files. Without Xvfb the window runs offscreen.
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <optional>
#include <vector>

#include "link/firmware/FlashImage.h"
#include "link/firmware/FlashTable.h"

namespace {

constexpr double kFloorMs = 5 * 0.5 + 100.0;
constexpr double kSpacingTarget = 1.02;
constexpr double kIdleMs = 100.0;

struct ProcSample {
    double cpuNs = 0;
    double switches = 0;
    int threads = 0;
};

ProcSample Sample(qint64 pid) {
    ProcSample s;
    const QString taskDir = QStringLiteral("/proc/%1/task").arg(pid);
    for (const QString& tid : QDir(taskDir).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile stat(taskDir + "/" + tid + "/schedstat");
        if (stat.open(QIODevice::ReadOnly))
            s.cpuNs += stat.readAll().split(' ').value(0).toDouble();
        QFile status(taskDir + "/" + tid + "/status");
        if (status.open(QIODevice::ReadOnly)) {
            for (const QByteArray& line : status.readAll().split('\n')) {
                if (line.startsWith("voluntary_ctxt_switches:") ||
                    line.startsWith("nonvoluntary_ctxt_switches:"))
                    s.switches += line.mid(line.indexOf(':') + 1).trimmed().toDouble();
            }
        }
        ++s.threads;
    }
    return s;
}

struct Usage {
    double cpuPercent = 0;
    double wakeUpsPerS = 0;
    int threads = 0;
};

Usage Between(const ProcSample& a, const ProcSample& b, double seconds) {
    return {100.0 * (b.cpuNs - a.cpuNs) / 1e9 / seconds, (b.switches - a.switches) / seconds,
            b.threads};
}

// One request line of the communication log.
struct Request {
    double ms = 0;
    QString name;        // "CMD_READ_MEM1", ...
    double readMs = -1;  // first "R " line after it, if any
};

std::vector<Request> ReadRequests(const QString& logPath) {
    std::vector<Request> out;
    QFile f(logPath);
    if (!f.open(QIODevice::ReadOnly)) return out;
    QString name;
    for (QByteArray raw : f.readAll().split('\n')) {
        QString line = QString::fromLatin1(raw).trimmed();
        if (line.startsWith('"')) line = line.mid(1);
        if (line.endsWith('"')) line.chop(1);
        if (line.isEmpty()) continue;
        if (!line[0].isDigit()) {
            name = line;  // the command name line before a request
            continue;
        }
        const int sp = static_cast<int>(line.indexOf(' '));
        const double ms = line.left(sp).toDouble();
        const QString rest = line.mid(sp + 1);
        if (rest.startsWith(QLatin1String("T "))) {
            out.push_back({ms, name, -1});
            name.clear();
        } else if (rest.startsWith(QLatin1String("R ")) && !out.empty() && out.back().readMs < 0) {
            out.back().readMs = ms;
        }
    }
    return out;
}

struct Stats {
    int n = 0;
    double mean = 0, median = 0, min = 0, max = 0;
};

Stats StatsOf(std::vector<double> v) {
    Stats s;
    if (v.empty()) return s;
    std::sort(v.begin(), v.end());
    s.n = static_cast<int>(v.size());
    double sum = 0;
    for (double x : v) sum += x;
    s.mean = sum / s.n;
    s.median = v[v.size() / 2];
    s.min = v.front();
    s.max = v.back();
    return s;
}

// The machine's load average over the last minute: other work on the same
// cores delays every wake-up, and with it the request spacing.
QString LoadAverage() {
    QFile f(QStringLiteral("/proc/loadavg"));
    if (!f.open(QIODevice::ReadOnly)) return QStringLiteral("?");
    return QString::fromLatin1(f.readAll().split(' ').value(0));
}

bool WaitFor(const std::function<bool()>& pred, double seconds) {
    for (int i = 0; i < seconds * 10; ++i) {
        if (pred()) return true;
        QThread::msleep(100);
    }
    return pred();
}

void Stop(QProcess& p) {
    if (p.state() == QProcess::NotRunning) return;
    p.terminate();
    if (!p.waitForFinished(3000)) {
        p.kill();
        p.waitForFinished(1000);
    }
}

struct Options {
    QString tree = QStringLiteral(GASCAL_TREE_DIR);
    double seconds = 20;
    double warmup = 5;
    QString display;  // xvfb or offscreen
    QString only;
};

class Bench {
  public:
    explicit Bench(Options o) : o_(std::move(o)) {}

    int Run() {
        if (!MakeInstallation()) return 1;
        if (!StartSimulator()) return 1;
        std::printf("simulated ECU on %s (firmware %s %s, key on, engine warm)\n", qPrintable(pty_),
                    qPrintable(version_), qPrintable(date_));
        std::printf(
            "measuring %.0f s after %.0f s of polling; floor of a block-1 exchange %.1f ms\n\n",
            o_.seconds, o_.warmup, kFloorMs);
        bool ok = true;
        if (o_.only.isEmpty() || o_.only == QLatin1String("cli")) ok &= RunCli();
        if (o_.only.isEmpty() || o_.only == QLatin1String("window")) ok &= RunWindow();
        Stop(sim_);
        return ok ? 0 : 1;
    }

  private:
    QString Bin(const char* name) const { return o_.tree + "/BIN/" + name; }
    QString LogPath() const { return dir_.filePath("BIN/RxTx.TXT"); }

    bool MakeInstallation() {
        for (const char* sub : {"BIN", "LNG"}) {
            QDir().mkpath(dir_.filePath(sub));
            QDir src(o_.tree + "/" + sub);
            for (const QString& f : src.entryList(QDir::Files)) {
                if (QFileInfo(src.filePath(f)).isExecutable()) continue;
                if (f.startsWith("RxTx") || f == "SetCom.ini" || f == "Handle.ini") continue;
                QFile::copy(src.filePath(f), dir_.filePath(QString(sub) + "/" + f));
            }
        }
        // The simulated ECU carries the firmware file's own identity, so the
        // window goes online without offering an upgrade.
        gascal::FlashTable table;
        gascal::FlashImage image;
        QString identity, error;
        if (!gascal::ReadFirmwareFileIdentity(table, image, dir_.filePath("BIN/Flash.ini"),
                                              dir_.filePath("BIN/TeluroInj468.frh"), identity,
                                              &error)) {
            std::printf("bench-waits: cannot read the tree's firmware file: %s\n",
                        qPrintable(error));
            return false;
        }
        version_ = identity.left(4);
        date_ = identity.mid(4, 8);
        return true;
    }

    bool StartSimulator() {
        sim_.setProgram(Bin("gascal-ecusim"));
        sim_.setArguments(
            {"--key", "on", "--warm", "--firmware-version", version_, "--firmware-date", date_});
        sim_.setStandardErrorFile(QProcess::nullDevice());
        sim_.start();
        if (!sim_.waitForStarted(5000) || !sim_.waitForReadyRead(5000)) {
            std::printf("bench-waits: %s did not start\n", qPrintable(Bin("gascal-ecusim")));
            return false;
        }
        pty_ = QString::fromLocal8Bit(sim_.readLine()).trimmed();
        return pty_.startsWith("/dev/");
    }

    // Runs a program until it polls block 1, measures it (and `alongside`
    // over the same time, when given), stops it.
    std::optional<Usage> Measure(QProcess& p, const char* what, std::vector<Request>* requests,
                                 qint64 alongside = 0, Usage* alongsideUsage = nullptr) {
        QFile::remove(LogPath());
        p.setStandardOutputFile(QProcess::nullDevice());
        p.setStandardErrorFile(dir_.filePath(QStringLiteral("%1.err").arg(what)));
        p.start();
        if (!p.waitForStarted(5000)) {
            std::printf("  %s did not start\n", what);
            return std::nullopt;
        }
        const auto polling = [&] {
            int n = 0;
            for (const Request& r : ReadRequests(LogPath())) n += r.name == "CMD_READ_MEM1";
            return n >= 3;
        };
        if (!WaitFor(polling, 60)) {
            std::printf("  %s never polled block 1 (see %s.err)\n", what, what);
            Stop(p);
            return std::nullopt;
        }
        QThread::msleep(static_cast<unsigned long>(o_.warmup * 1000));
        const size_t before = ReadRequests(LogPath()).size();
        const ProcSample a = Sample(p.processId());
        const ProcSample xa = alongside ? Sample(alongside) : ProcSample{};
        QThread::msleep(static_cast<unsigned long>(o_.seconds * 1000));
        const ProcSample b = Sample(p.processId());
        std::printf("  (load average of the machine %s on %d cores)\n", qPrintable(LoadAverage()),
                    QThread::idealThreadCount());
        if (alongside && alongsideUsage)
            *alongsideUsage = Between(xa, Sample(alongside), o_.seconds);
        std::vector<Request> all = ReadRequests(LogPath());
        Stop(p);
        requests->assign(all.begin() + static_cast<std::ptrdiff_t>(std::min(before, all.size())),
                         all.end());
        return Between(a, b, o_.seconds);
    }

    static void PrintUsage(const Usage& u, double target) {
        std::printf(
            "  processor %.2f %% of one core (target under %.0f %%), %.0f wake-ups/s, %d "
            "thread%s\n",
            u.cpuPercent, target, u.wakeUpsPerS, u.threads, u.threads == 1 ? "" : "s");
    }

    static void PrintSpacing(const std::vector<Request>& requests, bool backToBack) {
        std::vector<double> block1, any, reads;
        const Request* lastBlock1 = nullptr;
        for (size_t i = 0; i < requests.size(); ++i) {
            const Request& r = requests[i];
            if (i > 0) any.push_back(r.ms - requests[i - 1].ms);
            if (r.name != "CMD_READ_MEM1") continue;
            if (lastBlock1) block1.push_back(r.ms - lastBlock1->ms);
            if (r.readMs >= 0) reads.push_back(r.readMs - r.ms);
            lastBlock1 = &r;
        }
        const Stats s = StatsOf(block1);
        std::printf(
            "  block-1 requests %d: spacing mean %.2f ms, median %.0f, min %.0f, max %.0f\n",
            s.n + 1, s.mean, s.median, s.min, s.max);
        if (backToBack) {
            std::printf(
                "  against the floor of %.1f ms: %+.2f %% (target within %+.0f %%: %.2f ms)\n",
                kFloorMs, 100.0 * (s.mean - kFloorMs) / kFloorMs, 100.0 * (kSpacingTarget - 1),
                kSpacingTarget * kFloorMs);
        } else {
            const Stats a = StatsOf(any);
            std::printf(
                "  requests of any kind %d: spacing mean %.2f ms, min %.0f (the window's "
                "scheduler issues one per 28 ms slot, other blocks between block-1 reads)\n",
                a.n + 1, a.mean, a.min);
        }
        const Stats r = StatsOf(reads);
        std::printf("  answer read %.2f ms after the request on average (idle time %.0f ms)\n",
                    r.mean, kIdleMs);
    }

    bool RunCli() {
        std::printf("gascal-cli live: block 1 back to back\n");
        QProcess cli;
        cli.setProgram(Bin("gascal-cli"));
        // No continuous mode is needed: a count this large outlasts the run.
        cli.setArguments(
            {"--install-dir", dir_.path(), "--port", pty_, "live", "--count", "1000000"});
        std::vector<Request> requests;
        const auto u = Measure(cli, "gascal-cli", &requests);
        if (!u) return false;
        PrintUsage(*u, 2);
        PrintSpacing(requests, true);
        std::printf("\n");
        return true;
    }

    bool RunWindow() {
        QString mode = o_.display;
        const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
        if (mode.isEmpty())
            mode = xvfb.isEmpty() ? QStringLiteral("offscreen") : QStringLiteral("xvfb");
        QProcess x;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        QString where;
        if (mode == QLatin1String("xvfb")) {
            if (xvfb.isEmpty()) {
                std::printf("gascal window: Xvfb not found\n");
                return false;
            }
            int n = 91;
            while (QFile::exists(QStringLiteral("/tmp/.X%1-lock").arg(n)) ||
                   QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(n)))
                ++n;
            x.setProgram(xvfb);
            x.setArguments(
                {QStringLiteral(":%1").arg(n), "-screen", "0", "1280x1024x24", "-nolisten", "tcp"});
            x.setStandardOutputFile(QProcess::nullDevice());
            x.setStandardErrorFile(QProcess::nullDevice());
            x.start();
            if (!x.waitForStarted(5000) ||
                !WaitFor([n] { return QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(n)); },
                         10)) {
                std::printf("gascal window: Xvfb did not start\n");
                Stop(x);
                return false;
            }
            env.remove(QStringLiteral("QT_QPA_PLATFORM"));
            env.remove(QStringLiteral("WAYLAND_DISPLAY"));
            env.insert(QStringLiteral("DISPLAY"), QStringLiteral(":%1").arg(n));
            where = QStringLiteral("under Xvfb :%1").arg(n);
        } else {
            env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
            where = QStringLiteral("on Qt's offscreen platform");
        }
        std::printf("gascal window %s: online, polling\n", qPrintable(where));
        QProcess win;
        win.setProcessEnvironment(env);
        win.setProgram(Bin("gascal"));
        win.setArguments({"--install-dir", dir_.path(), "--port", pty_});
        std::vector<Request> requests;
        Usage display;
        const auto u = Measure(win, "gascal", &requests, x.processId(), &display);
        if (u) {
            PrintUsage(*u, 3);
            PrintSpacing(requests, false);
            if (x.processId())
                std::printf("  (Xvfb itself meanwhile: %.2f %% of one core, %.0f wake-ups/s)\n",
                            display.cpuPercent, display.wakeUpsPerS);
        }
        Stop(x);
        std::printf("\n");
        return u.has_value();
    }

    Options o_;
    QTemporaryDir dir_;
    QProcess sim_;
    QString pty_, version_, date_;
};

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    Options o;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        const QString& a = args[i];
        const bool more = i + 1 < args.size();
        if (a == "--tree" && more)
            o.tree = args[++i];
        else if (a == "--seconds" && more)
            o.seconds = args[++i].toDouble();
        else if (a == "--warmup" && more)
            o.warmup = args[++i].toDouble();
        else if (a == "--display" && more)
            o.display = args[++i];
        else if (a == "--only" && more)
            o.only = args[++i];
        else {
            std::printf(
                "usage: bench-waits [--tree DIR] [--seconds N] [--warmup N] "
                "[--display xvfb|offscreen] [--only cli|window]\n");
            return 2;
        }
    }
    if (o.seconds <= 0) o.seconds = 20;
    return Bench(o).Run();
}
