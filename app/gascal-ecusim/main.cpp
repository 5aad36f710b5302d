// gascal-ecusim: the simulated ECU and its engine on a pseudo-terminal.
//
// Opens a pseudo-terminal in raw mode, prints the path of its device as the
// first line of standard output, and then serves the ECU on the real clock:
// bytes written to the device reach the ECU at line speed, its answers are
// written back when the line would have delivered them. Runs until SIGINT or
// SIGTERM, then prints its counters on standard error and exits with 0.
//
// With --drive the car drives the load sweep on petrol and on gas by itself
// (SimDrive.h), telling its progress on standard error; after the drive and
// after every correction table the tool writes, it tells how far the gas it
// gives is from what its hidden injectors need at the mapped petrol times.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

#include "common/EventService.h"
#include "sim/core/SimCommandLine.h"
#include "sim/core/SimDrive.h"
#include "sim/core/SimEcu.h"

using namespace gascal;
using namespace gascal::sim;

namespace {

int g_signalPipe[2] = {-1, -1};

void OnSignal(int) {
    const char c = 1;
    // Only async-signal-safe work here: wake the event loop.
    [[maybe_unused]] const ssize_t n = write(g_signalPipe[1], &c, 1);
}

bool MakeRaw(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) return false;
    cfmakeraw(&t);
    cfsetispeed(&t, B38400);
    cfsetospeed(&t, B38400);
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

// Owns the terminal pair and moves bytes between it and the ECU.
class PtyServer {
  public:
    PtyServer(SimEcu& ecu) : ecu_(ecu) {}
    ~PtyServer() {
        if (slave_ >= 0) close(slave_);
        if (master_ >= 0) close(master_);
    }

    bool Open(QString* error) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
            *error = QStringLiteral("cannot create a pseudo-terminal: %1")
                         .arg(QString::fromLocal8Bit(strerror(errno)));
            return false;
        }
        const char* name = ptsname(master_);
        if (!name) {
            *error = QStringLiteral("no name for the pseudo-terminal");
            return false;
        }
        path_ = QString::fromLocal8Bit(name);
        // Our own handle on the device keeps the terminal alive between clients
        // and lets us put it in raw mode before anyone opens it.
        slave_ = open(name, O_RDWR | O_NOCTTY);
        if (slave_ < 0 || !MakeRaw(slave_)) {
            *error = QStringLiteral("cannot set up %1: %2")
                         .arg(path_, QString::fromLocal8Bit(strerror(errno)));
            return false;
        }
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
        return true;
    }

    const QString& Path() const { return path_; }

    void Start() {
        reader_ = new QSocketNotifier(master_, QSocketNotifier::Read, QCoreApplication::instance());
        QObject::connect(reader_, &QSocketNotifier::activated, [this] { ReadInput(); });
        pump_.setTimerType(Qt::PreciseTimer);
        pump_.setSingleShot(true);
        QObject::connect(&pump_, &QTimer::timeout, [this] { Pump(); });
        Pump();
    }

  private:
    void ReadInput() {
        uint8_t buf[512];
        for (;;) {
            const ssize_t n = read(master_, buf, sizeof buf);
            if (n > 0) {
                ecu_.ToolWrite(buf, static_cast<size_t>(n), MicroSeconds());
                continue;
            }
            break;  // EAGAIN: all read; EIO: no client at the moment
        }
        Pump();
    }

    // Writes the answer bytes that are due and sleeps until the next one.
    void Pump() {
        const double now = MicroSeconds();
        uint8_t buf[512];
        for (;;) {
            const size_t n = ecu_.TakeReadable(buf, sizeof buf, now);
            if (n == 0) break;
            // A client that does not read loses bytes, as on a real line.
            [[maybe_unused]] const ssize_t w = write(master_, buf, n);
        }
        const double next = ecu_.NextEventUs();
        double waitMs = 50;  // the engine runs on even when nobody talks
        if (next != std::numeric_limits<double>::infinity())
            waitMs = std::clamp((next - MicroSeconds()) / 1000.0, 0.0, 50.0);
        pump_.start(static_cast<int>(waitMs));
    }

    SimEcu& ecu_;
    int master_ = -1;
    int slave_ = -1;
    QString path_;
    QSocketNotifier* reader_ = nullptr;
    QTimer pump_;
};

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments();
    args.removeFirst();
    SimCommandLine cl;
    QString error;
    if (!ParseSimCommandLine(args, cl, &error)) {
        std::fprintf(stderr, "gascal-ecusim: %s\n", qPrintable(error));
        return 2;
    }
    if (cl.help) {
        std::fputs(qPrintable(SimCommandLineHelp()), stdout);
        return 0;
    }

    if (pipe(g_signalPipe) != 0) {
        std::perror("gascal-ecusim: pipe");
        return 1;
    }
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    QSocketNotifier stopper(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&stopper, &QSocketNotifier::activated, [&app] { app.quit(); });

    SimEcu ecu(cl.options);
    if (cl.verbose) {
        ecu.SetRequestObserver([](uint8_t cmd, uint8_t status, const char* note) {
            std::fprintf(stderr, "request %3d status %3d %s\n", cmd, status, note);
        });
    }
    PtyServer server(ecu);
    if (!server.Open(&error)) {
        std::fprintf(stderr, "gascal-ecusim: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("%s\n", qPrintable(server.Path()));
    std::fflush(stdout);
    server.Start();

    // --drive: the sweep on the real clock, and the residual the tool's
    // tables leave.
    std::unique_ptr<SimDrive> drive;
    QTimer driveTimer, tableTimer;
    const auto residual = [&ecu](const char* when) {
        const MappedResidual r = MappedResidualOf(ecu);
        std::fprintf(
            stderr,
            "gascal-ecusim: %s: gas supplied minus gas needed at the %d mapped petrol times: "
            "largest %.3f ms, mean %.3f ms\n",
            when, r.points, r.largest, r.mean);
    };
    if (cl.drive) {
        drive = std::make_unique<SimDrive>(ecu);
        drive->Start(MicroSeconds());
        std::fprintf(stderr,
                     "gascal-ecusim: driving the load sweep on petrol and on gas (about %.0f s)\n",
                     SimDrive::NominalSeconds());
        QObject::connect(&driveTimer, &QTimer::timeout, [&] {
            drive->Step(MicroSeconds());
            if (drive->TakeProgressChanged())
                std::fprintf(stderr, "gascal-ecusim: drive: %s\n", qPrintable(drive->Progress()));
            if (!drive->Running()) {
                driveTimer.stop();
                if (!drive->Failed()) residual("after the drive, with the ECU's table");
            }
        });
        driveTimer.start(static_cast<int>(SimDrive::kLookUs / 1000));
        // A table arrives in several chunks: the residual once the last is in.
        tableTimer.setSingleShot(true);
        QObject::connect(&tableTimer, &QTimer::timeout,
                         [&] { residual("correction table written"); });
        ecu.SetWriteObserver([&tableTimer](uint8_t cmd, const ConfigImage&, const ConfigImage&) {
            if (cmd == CMD_WRT_TBL_COR) tableTimer.start(500);
        });
    }

    const int rc = app.exec();
    const SimCounters& c = ecu.Counters();
    std::fprintf(
        stderr, "gascal-ecusim: %llu requests, %llu answers, %llu checksum errors, %llu rejected\n",
        static_cast<unsigned long long>(c.requests), static_cast<unsigned long long>(c.answers),
        static_cast<unsigned long long>(c.checksumErrors),
        static_cast<unsigned long long>(c.rejected));
    return rc;
}
