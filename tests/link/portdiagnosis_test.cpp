// Why no ECU was found: the record the link keeps of the ports it tried
// (scripted ports in virtual time), the text made of it, and the serial
// layer's own verdict on a real pseudo-terminal that is busy or that the user
// may not open.
#include "link/core/PortDiagnosis.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QSerialPort>
#include <cerrno>
#include <cstring>

#include "link/core/LinkSupervisor.h"
#include "link/core/MachinePorts.h"
#include "tests/link/LinkFixture.h"

namespace gascal::test {
namespace {

std::optional<QByteArray> Silent(const QByteArray&) {
    return std::nullopt;
}

AccessAdvice Fitter(const QString&) {
    AccessAdvice a;
    a.user = QStringLiteral("fitter");
    a.group = QStringLiteral("dialout");
    return a;
}

class PortSearchTest : public LinkTest {
  protected:
    std::unique_ptr<LinkSupervisor> sup;
    void SetUp() override {
        LinkTest::SetUp();
        sup = std::make_unique<LinkSupervisor>(*comm);
        sup->SetTimerControl([this](bool on) { timer1->SetEnabled(on); });
        timer1 = std::make_unique<Timer>("Timer1", 1, [this] { sup->Timer1Tick(); });
    }
    void TearDown() override {
        timer1.reset();
        sup.reset();
        LinkTest::TearDown();
    }
    std::shared_ptr<ScriptedLine> Line(uint32_t openStatus, bool answers = false) {
        auto l = std::make_shared<ScriptedLine>();
        l->openStatus = openStatus;
        if (answers)
            l->AnswerWith(DefaultEcu);
        else
            l->AnswerWith(Silent);
        return l;
    }
    // A machine where nothing answers: a silent cable, a serial port the user
    // may not open, one another program holds, one that fails otherwise, one
    // with nothing behind it; COM5..COM9 have no device.
    void NothingAnswers() {
        ports.usb = {Line(PORT_OK)};
        ports.serial[1] = Line(PORT_ACCESS_DENIED);
        ports.serial[2] = Line(PORT_DEVICE_BUSY);
        ports.serial[3] = Line(PORT_IO_ERROR);
        ports.serial[4] = Line(PORT_OK);
        comm->ReadSetCom("\\BIN\\SetCom.ini");  // none: search from the cable
    }
    const PortSearchReport& Report() const { return comm->SearchReport(); }
};

}  // namespace

TEST_F(PortSearchTest, ARoundWithoutAnswerRecordsWhyEachPortFailed) {
    NothingAnswers();
    timer1->SetEnabled(true);
    ASSERT_TRUE(ev.RunUntil([&] { return Report().FailedRounds() == 1; }, 600e6));
    const std::vector<PortAttempt>& a = Report().Attempts();
    ASSERT_EQ(a.size(), 10u);
    EXPECT_TRUE(a[0].usb);
    EXPECT_EQ(a[0].fault, PortFault::NoAnswer);
    const PortFault expected[] = {
        PortFault::PermissionDenied, PortFault::Busy,     PortFault::OpenFailed,
        PortFault::NoAnswer,         PortFault::NoDevice, PortFault::NoDevice,
        PortFault::NoDevice,         PortFault::NoDevice, PortFault::NoDevice};
    for (int n = 1; n <= 9; ++n) {
        EXPECT_FALSE(a[n].usb);
        EXPECT_EQ(a[n].number, n);
        EXPECT_EQ(a[n].fault, expected[n - 1]) << "COM" << n;
    }
    EXPECT_EQ(a[1].device, "scripted:COM1");
    EXPECT_EQ(a[5].device, "");

    // A second round keeps one entry a port and counts the round once.
    ASSERT_TRUE(ev.RunUntil([&] { return Report().FailedRounds() == 2; }, 600e6));
    EXPECT_EQ(Report().Attempts().size(), 10u);
    EXPECT_NE(comm->FlagRicercaCom(), SEARCH_OFF);  // the search goes on

    // The text: every port and its reason, then the fixes, each once.
    const QString text = PortSearchMessage(Report().Attempts(), PortTextDefaults(), Fitter);
    const QStringList lines = text.split('\n');
    EXPECT_EQ(lines.mid(0, 6),
              (QStringList{"No ECU answered. Ports tried:", "  USB: no answer from an ECU",
                           "  COM1 (scripted:COM1): permission denied",
                           "  COM2 (scripted:COM2): busy: another program is using it",
                           "  COM3 (scripted:COM3): could not be opened",
                           "  COM4 (scripted:COM4): no answer from an ECU"}));
    EXPECT_EQ(lines[6], "  COM5: no device");
    EXPECT_EQ(text.count("sudo adduser fitter dialout"), 1);
    EXPECT_EQ(text.count("Close the other program"), 1);
    EXPECT_EQ(text.count("ignition key"), 1);
    EXPECT_FALSE(text.contains("udev"));
}

TEST_F(PortSearchTest, AnAnswerOrANewSearchForgetsTheRecord) {
    NothingAnswers();
    timer1->SetEnabled(true);
    ASSERT_TRUE(ev.RunUntil([&] { return Report().FailedRounds() == 1; }, 600e6));
    sup->SearchComChosen();
    EXPECT_TRUE(Report().Attempts().empty());
    EXPECT_EQ(Report().FailedRounds(), 0);

    // The ECU turns up on COM4 during the next round.
    ASSERT_TRUE(ev.RunUntil([&] { return Report().Attempts().size() >= 2; }, 60e6));
    ports.serial[4]->AnswerWith(DefaultEcu);
    ASSERT_TRUE(ev.RunUntil([&] { return !comm->LastKeepAliveAnswer().isEmpty(); }, 600e6));
    EXPECT_TRUE(Report().Attempts().empty());
    EXPECT_EQ(Report().FailedRounds(), 0);
}

// An ECU that answers but is passed over (the window refuses a foreign one
// and moves the search on) makes its round no failed one: nothing is said
// about ports without an ECU.
TEST_F(PortSearchTest, ARoundInWhichAnEcuAnsweredIsNoFailedRound) {
    ports.usb = {Line(PORT_OK, true)};
    comm->ReadSetCom("\\BIN\\SetCom.ini");
    timer1->SetEnabled(true);
    for (int round = 0; round < 3; ++round) {
        const int opens = ports.usb[0]->opens;
        ASSERT_TRUE(ev.RunUntil([&] { return ports.usb[0]->opens > opens; }, 60e6));
        ev.RunFor(300000);  // the keep-alive's answer
        ASSERT_EQ(comm->ComState(), ComState::Idle);
        ASSERT_TRUE(Report().Attempts().empty());
        comm->Reopen();
        comm->SetFlagRicercaCom(comm->FlagRicercaCom() + 1);
        ASSERT_TRUE(ev.RunUntil([&] { return comm->FlagRicercaCom() == 0; }, 60e6));
        EXPECT_EQ(Report().FailedRounds(), 0) << "round " << round;
    }
    // Without the ECU the next round fails.
    ports.usb[0]->AnswerWith(Silent);
    ASSERT_TRUE(ev.RunUntil([&] { return Report().FailedRounds() == 1; }, 600e6));
    EXPECT_EQ(Report().Attempts().front().fault, PortFault::NoAnswer);
}

TEST_F(PortSearchTest, AConfiguredPortIsReportedButIsNoSearchRound) {
    ports.serial[2] = Line(PORT_ACCESS_DENIED);
    WriteSettings({"[UsbCom]", "0", "[Comport]", "2"});
    comm->ReadSetCom("\\BIN\\SetCom.ini");
    timer1->SetEnabled(true);
    ev.RunFor(5e6);
    ASSERT_EQ(Report().Attempts().size(), 1u);
    EXPECT_EQ(Report().Attempts()[0].fault, PortFault::PermissionDenied);
    EXPECT_EQ(Report().FailedRounds(), 0);
    EXPECT_GE(ports.openLog.count("COM2"), 5);  // tried again and again
}

TEST_F(PortSearchTest, APortWithOnlyBrokenAnswersHasNoEcu) {
    auto garbled = Line(PORT_OK);
    garbled->AnswerWith([](const QByteArray& req) -> std::optional<QByteArray> {
        QByteArray a = *DefaultEcu(req);
        a[a.size() - 1] = static_cast<char>(a[a.size() - 1] ^ 0x55);  // wrong checksum
        return a;
    });
    ports.serial[3] = garbled;
    WriteSettings({"[UsbCom]", "0", "[Comport]", "3"});
    comm->ReadSetCom("\\BIN\\SetCom.ini");
    timer1->SetEnabled(true);
    ASSERT_TRUE(ev.RunUntil([&] { return !Report().Attempts().empty(); }, 120e6));
    EXPECT_EQ(Report().Attempts()[0].fault, PortFault::NoAnswer);
    EXPECT_EQ(Report().Attempts()[0].number, 3);
}

TEST_F(PortSearchTest, SeveralUsbCablesAreToldApart) {
    ports.usb = {Line(PORT_ACCESS_DENIED), Line(PORT_DEVICE_BUSY)};
    comm->ReadSetCom("\\BIN\\SetCom.ini");
    timer1->SetEnabled(true);
    ASSERT_TRUE(ev.RunUntil([&] { return Report().FailedRounds() == 1; }, 600e6));
    const QStringList lines = PortLines(Report().Attempts(), PortTextDefaults());
    EXPECT_EQ(lines.mid(0, 2),
              (QStringList{"USB: permission denied", "USB 2: busy: another program is using it"}));
    const QStringList fixes = PortFixLines(Report().Attempts(), PortTextDefaults(), Fitter);
    ASSERT_EQ(fixes.size(), 2);
    EXPECT_TRUE(fixes[0].contains("70-gascal-ftdi.rules"));
    EXPECT_TRUE(fixes[1].contains("Close the other program"));
}

TEST(PortTexts, DictionaryTextsReplaceTheDefaultsAndTheFixNamesUserAndGroup) {
    std::vector<PortAttempt> tried(2);
    tried[0] = {false, 1, "/dev/ttyUSB0", PortFault::PermissionDenied};
    tried[1] = {false, 2, "/dev/ttyS1", PortFault::PermissionDenied};
    QStringList italian = PortTextDefaults();
    italian[static_cast<int>(PortText::PermissionDenied)] = "permesso negato";
    italian[static_cast<int>(PortText::FixSerialRelogin)] = "%1 esca e rientri (gruppo %2)";
    italian[static_cast<int>(PortText::Busy)] = "";  // an empty entry keeps the English text
    auto relogin = [](const QString& device) {
        AccessAdvice a;
        a.user = "anna";
        a.group = device.contains("USB") ? "dialout" : "uucp";
        a.reloginNeeded = true;
        return a;
    };
    const QStringList fixes = PortFixLines(tried, italian, relogin);
    EXPECT_EQ(fixes, (QStringList{"anna esca e rientri (gruppo dialout)",
                                  "anna esca e rientri (gruppo uucp)"}));
    EXPECT_EQ(PortLines(tried, italian).first(), "COM1 (/dev/ttyUSB0): permesso negato");
    EXPECT_EQ(PortFaultText(italian, PortFault::Busy), "busy: another program is using it");
    EXPECT_EQ(PortTextOf(QStringList{}, PortText::Heading), "No ECU answered. Ports tried:");
    EXPECT_EQ(PortTextDefaults().size(), static_cast<int>(PortText::Count));
}

TEST(PortProbe, ListsEveryComNumberAndEachCable) {
    ScriptedPortProvider ports;
    auto idle = std::make_shared<ScriptedLine>();
    auto denied = std::make_shared<ScriptedLine>();
    denied->openStatus = PORT_ACCESS_DENIED;
    ports.serial[1] = idle;
    ports.serial[3] = denied;
    std::vector<PortAttempt> p = ProbePorts(ports);
    ASSERT_EQ(p.size(), 10u);  // COM1..COM9 and one USB entry without a cable
    EXPECT_EQ(p[0].fault, PortFault::Opens);
    EXPECT_EQ(idle->closes, 1);  // opened and closed again, nothing sent
    EXPECT_TRUE(idle->written.isEmpty());
    EXPECT_EQ(p[2].fault, PortFault::PermissionDenied);
    EXPECT_TRUE(p[9].usb);
    EXPECT_EQ(p[9].fault, PortFault::NoDevice);

    ports.usb = {idle, denied};
    p = ProbePorts(ports);
    ASSERT_EQ(p.size(), 11u);
    EXPECT_EQ(p[9].fault, PortFault::Opens);
    EXPECT_EQ(p[10].fault, PortFault::PermissionDenied);
    EXPECT_EQ(PortLabel(p[10]), "USB 2");
}

// --- The machine's own transports -------------------------------------------------

TEST(PortOpenStatus, AccessCheckTellsAMissingPermissionFromABusyDevice) {
    EXPECT_EQ(SerialOpenFailure(QSerialPort::PermissionError, EACCES), PORT_ACCESS_DENIED);
    EXPECT_EQ(SerialOpenFailure(QSerialPort::PermissionError, 0), PORT_DEVICE_BUSY);
    EXPECT_EQ(SerialOpenFailure(QSerialPort::PermissionError, ENOENT), PORT_DEVICE_NOT_FOUND);
    EXPECT_EQ(SerialOpenFailure(QSerialPort::DeviceNotFoundError, 0), PORT_DEVICE_NOT_FOUND);
    EXPECT_EQ(SerialOpenFailure(QSerialPort::UnknownError, EACCES), PORT_ACCESS_DENIED);
    EXPECT_EQ(SerialOpenFailure(QSerialPort::UnknownError, 0), PORT_DEVICE_NOT_OPENED);
    // libftdi: -4 the USB device did not open, -5 its interface is claimed.
    EXPECT_EQ(FtdiOpenFailure(-4, EACCES), PORT_ACCESS_DENIED);
    EXPECT_EQ(FtdiOpenFailure(-4, 0), PORT_DEVICE_NOT_OPENED);
    EXPECT_EQ(FtdiOpenFailure(-5, 0), PORT_DEVICE_BUSY);
    EXPECT_EQ(FtdiOpenFailure(-3, EACCES), PORT_DEVICE_NOT_OPENED);
}

namespace {
// A pseudo-terminal pair; the slave's path stands for a serial device.
struct Pty {
    int master = -1;
    QString slave;
    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
        if (const char* name = ptsname(master)) slave = QString::fromLocal8Bit(name);
    }
    ~Pty() {
        if (master >= 0) close(master);
    }
};
}  // namespace

TEST(SerialDevice, ABusyDeviceAndAMissingOneAreToldApart) {
    Pty pty;
    ASSERT_FALSE(pty.slave.isEmpty());
    uint32_t st = PORT_OTHER_ERROR;
    auto first = SerialPortProvider::OpenPath(pty.slave, st);
    ASSERT_TRUE(first) << st;
    auto second = SerialPortProvider::OpenPath(pty.slave, st);
    EXPECT_FALSE(second);
    EXPECT_EQ(st, PORT_DEVICE_BUSY);
    first.reset();
    auto again = SerialPortProvider::OpenPath(pty.slave, st);
    EXPECT_TRUE(again) << st;
    again.reset();
    EXPECT_FALSE(SerialPortProvider::OpenPath(QStringLiteral("/dev/no-such-tty"), st));
    EXPECT_EQ(st, PORT_DEVICE_NOT_FOUND);
}

// A device the user may not read and write, opened by a user who is not the
// superuser (the superuser may open anything): the serial layer says
// "permission denied" and the fix names the device's group and the user.
TEST(SerialDevice, ADeviceWithoutReadWritePermissionNamesTheFix) {
    Pty pty;
    ASSERT_FALSE(pty.slave.isEmpty());
    const QByteArray path = pty.slave.toLocal8Bit();
    ASSERT_EQ(chmod(path.constData(), 0600), 0);  // only the owner
    const bool superuser = geteuid() == 0;
    if (!superuser) {
        ASSERT_EQ(chmod(path.constData(), 0), 0);  // not even the owner
    }

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t child = superuser ? fork() : 0;
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The open runs as an ordinary user: "nobody" in a child of the
        // superuser, this process otherwise.
        QByteArray result;
        bool dropped = true;
        if (superuser) {
            const passwd* nobody = getpwnam("nobody");
            dropped = nobody && setgroups(0, nullptr) == 0 && setgid(nobody->pw_gid) == 0 &&
                      setuid(nobody->pw_uid) == 0;
        }
        if (!dropped) {
            result = "cannot become an ordinary user";
        } else {
            uint32_t st = PORT_OK;
            auto port = SerialPortProvider::OpenPath(pty.slave, st);
            std::vector<PortAttempt> tried{
                {false, 1, pty.slave, port ? PortFault::Opens : FaultOfStatus(st)}};
            result = PortSearchMessage(tried, PortTextDefaults()).toUtf8();
        }
        [[maybe_unused]] const ssize_t w =
            write(fds[1], result.constData(), static_cast<size_t>(result.size()));
        if (superuser) _exit(0);
    }
    close(fds[1]);
    if (superuser) {
        int status = 0;
        waitpid(child, &status, 0);
    }
    QByteArray got;
    char buf[512];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) got.append(buf, static_cast<int>(n));
    close(fds[0]);
    const QString text = QString::fromUtf8(got);
    EXPECT_TRUE(text.contains(QStringLiteral("COM1 (%1): permission denied").arg(pty.slave)))
        << got.toStdString();
    // The pseudo-terminal's group stands where a serial port has dialout.
    struct stat st {};
    ASSERT_EQ(stat(path.constData(), &st), 0);
    const group* g = getgrgid(st.st_gid);
    const QString groupName =
        g && st.st_gid != 0 ? QString::fromLocal8Bit(g->gr_name) : QStringLiteral("dialout");
    EXPECT_TRUE(
        text.contains(QStringLiteral("Add it to the %1 group (sudo adduser ").arg(groupName)))
        << got.toStdString();
}

}  // namespace gascal::test
