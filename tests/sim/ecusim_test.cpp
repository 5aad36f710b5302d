// gascal-ecusim end to end: the program is started, its pseudo-terminal is
// opened by plain POSIX code as an independent peer, and a keep-alive and a
// block read are answered. Real clock, a few seconds at most. Also the
// command-line options and their refusals.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <QProcess>
#include <chrono>
#include <thread>

#include "sim/core/SimCommandLine.h"
#include "sim/core/SimLayout.h"

namespace gascal::sim::test {
namespace {

const char* kProgram = GASCAL_TREE_DIR "/BIN/gascal-ecusim";

// Reads until `n` bytes came or `ms` passed.
std::vector<uint8_t> ReadFor(int fd, size_t n, int ms) {
    std::vector<uint8_t> got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (got.size() < n && std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) > 0) {
            uint8_t buf[256];
            const ssize_t r = read(fd, buf, sizeof buf);
            if (r > 0) got.insert(got.end(), buf, buf + r);
        }
    }
    return got;
}

class EcusimProcess {
  public:
    explicit EcusimProcess(const QStringList& args) {
        proc_.start(QString::fromLatin1(kProgram), args);
        started_ = proc_.waitForStarted(5000);
        if (started_ && proc_.waitForReadyRead(5000))
            path_ = QString::fromLocal8Bit(proc_.readLine()).trimmed();
    }
    ~EcusimProcess() {
        if (proc_.state() != QProcess::NotRunning) {
            proc_.kill();
            proc_.waitForFinished(3000);
        }
    }
    QProcess& Proc() { return proc_; }
    const QString& Path() const { return path_; }
    bool Started() const { return started_; }

  private:
    QProcess proc_;
    QString path_;
    bool started_ = false;
};

TEST(Ecusim, AnswersAKeepAliveOnItsPseudoTerminalAndStopsCleanlyOnSigterm) {
    EcusimProcess sim({"--key", "on", "--warm"});
    ASSERT_TRUE(sim.Started()) << kProgram;
    ASSERT_TRUE(sim.Path().startsWith("/dev/")) << sim.Path().toStdString();

    const int fd = open(sim.Path().toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios t{};
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    cfmakeraw(&t);
    cfsetispeed(&t, B38400);
    cfsetospeed(&t, B38400);
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);

    const std::vector<uint8_t> eco{
        0x41, 0x02, 0x06, 0x09,
        'E',  'C',  'O',  static_cast<uint8_t>(0x41 ^ 0x02 ^ 0x06 ^ 0x09 ^ 'E' ^ 'C' ^ 'O')};
    ASSERT_EQ(write(fd, eco.data(), eco.size()), static_cast<ssize_t>(eco.size()));
    const auto answer = ReadFor(fd, 9, 3000);
    const std::vector<uint8_t> expected{
        0x42, 0x01, 0x07,
        0x09, 0x00, 'E',
        'C',  'O',  static_cast<uint8_t>(0x42 ^ 0x01 ^ 0x07 ^ 0x09 ^ 'E' ^ 'C' ^ 'O')};
    EXPECT_EQ(answer, expected);

    // A block read: 85 data bytes, checksum whole, the key reported on.
    const std::vector<uint8_t> mem1{0x41, 0x02, 0x03, 0x0C, 0x41 ^ 0x02 ^ 0x03 ^ 0x0C};
    ASSERT_EQ(write(fd, mem1.data(), mem1.size()), 5);
    const auto block = ReadFor(fd, 91, 3000);
    ASSERT_EQ(block.size(), 91u);
    uint8_t x = 0;
    for (uint8_t b : block) x ^= b;
    EXPECT_EQ(x, 0);
    EXPECT_EQ(block[5 + 72], 1);
    close(fd);

    sim.Proc().terminate();  // SIGTERM
    ASSERT_TRUE(sim.Proc().waitForFinished(5000));
    EXPECT_EQ(sim.Proc().exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(sim.Proc().exitCode(), 0);
    EXPECT_TRUE(sim.Proc().readAllStandardError().contains("2 requests"));
}

TEST(Ecusim, RefusesABadOptionWithAMessage) {
    QProcess p;
    p.start(QString::fromLatin1(kProgram), {"--fail", "explode=1"});
    ASSERT_TRUE(p.waitForFinished(5000));
    EXPECT_EQ(p.exitCode(), 2);
    EXPECT_TRUE(p.readAllStandardError().contains("explode"));
    EXPECT_TRUE(p.readAllStandardOutput().isEmpty());
}

TEST(SimCommandLineParser, TurnsOptionsIntoTheScenario) {
    SimCommandLine cl;
    QString error;
    ASSERT_TRUE(ParseSimCommandLine({"--key",    "on",
                                     "--rpm",    "2500",
                                     "--warm",   "--firmware-version",
                                     "0141",     "--firmware-date",
                                     "01092026", "--error",
                                     "3",        "--error",
                                     "9",        "--fail",
                                     "lose=0.5", "--seed",
                                     "77",       "--cylinders",
                                     "6",        "--install-dir",
                                     "/tmp/x",   "--serial",
                                     "1001"},
                                    cl, &error))
        << error.toStdString();
    EXPECT_TRUE(cl.options.key);
    EXPECT_TRUE(cl.options.engineRunning);
    EXPECT_DOUBLE_EQ(cl.options.rpm, 2500);
    EXPECT_TRUE(cl.options.warm);
    EXPECT_EQ(cl.options.firmwareVersion, "0141");
    EXPECT_EQ(cl.options.firmwareDate, "01092026");
    EXPECT_EQ(cl.options.errorItems, (std::vector<int>{3, 9}));
    EXPECT_DOUBLE_EQ(cl.options.failures.lose, 0.5);
    EXPECT_EQ(cl.options.seed, 77u);
    EXPECT_EQ(cl.options.cylinders, 6);
    EXPECT_EQ(cl.installDir, "/tmp/x");
    EXPECT_EQ(cl.options.serial, 1001u);
    // The serial number is the test data's, the one the ECU answers.
    const SimEcu ecu(cl.options);
    EXPECT_EQ(GetU32(&ecu.Working().dcol[dcol::SerialNumber]), 1001u);
    EXPECT_EQ(ecu.Saved(), ecu.Working());

    SimCommandLine off;
    ASSERT_TRUE(ParseSimCommandLine({"--key", "on", "--engine", "off"}, off, &error));
    EXPECT_FALSE(off.options.engineRunning);
    SimCommandLine none;
    ASSERT_TRUE(ParseSimCommandLine({}, none, &error));
    EXPECT_FALSE(none.options.key);
    EXPECT_FALSE(none.options.engineRunning);
    EXPECT_FALSE(none.drive);

    // A drive needs a warm car with its engine running.
    SimCommandLine drive;
    ASSERT_TRUE(ParseSimCommandLine({"--drive"}, drive, &error));
    EXPECT_TRUE(drive.drive);
    EXPECT_TRUE(drive.options.key && drive.options.engineRunning && drive.options.warm);
}

TEST(SimCommandLineParser, RefusesWhatItCannotUse) {
    const std::vector<QStringList> bad = {
        {"--key"},
        {"--key", "maybe"},
        {"--rpm", "fast"},
        {"--rpm", "-5"},
        {"--firmware-version", "140"},
        {"--firmware-date", "1509202"},
        {"--error", "32"},
        {"--cylinders", "5"},
        {"--load", "2"},
        {"--seed", "x"},
        {"--serial", "0"},
        {"--serial", "ABC"},
        {"--serial", "4294967296"},
        {"--frobnicate"},
    };
    for (const auto& args : bad) {
        SimCommandLine cl;
        QString error;
        EXPECT_FALSE(ParseSimCommandLine(args, cl, &error)) << args.join(' ').toStdString();
        EXPECT_FALSE(error.isEmpty());
    }
}

}  // namespace
}  // namespace gascal::sim::test
