// The ECU session layer on its own: the firmware verdict, the port names a
// fitter may type, the request scheduler's priority against the simulated
// ECU in virtual time, and the registry of secondary windows.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTemporaryFile>

#include "common/EventService.h"
#include "common/Prompts.h"
#include "ecu/EcuSession.h"
#include "ecu/FirmwareCheck.h"
#include "ecu/PollingCycle.h"
#include "ecu/RequestScheduler.h"
#include "ecu/WindowRegistry.h"
#include "link/core/CommandTable.h"
#include "sim/core/SimEcu.h"
#include "sim/core/SimPort.h"

using namespace gascal;

namespace {

// An identity text: 12 hexadecimal characters (version, day, month, year)
// and the 32-character descriptor.
QString Identity(const char* version, const char* ddmmyyyy, const char* descriptor) {
    return QString::fromLatin1(version) + QString::fromLatin1(ddmmyyyy) +
           QString::fromLatin1(descriptor).leftJustified(32, QLatin1Char(' '));
}

void CopyFolder(const QString& from, const QString& to) {
    QDir().mkpath(to);
    for (const QString& f : QDir(from).entryList(QDir::Files))
        if (!f.startsWith(QLatin1Char('.'))) QFile::copy(from + "/" + f, to + "/" + f);
}

}  // namespace

TEST(FirmwareVerdict, FollowsProjectVersionAndDate) {
    const char* file = "KT540 GASCAL INJ468";
    struct Case {
        const char* what;
        QString ecu, file;
        FirmwareVerdict expected;
    };
    const Case cases[] = {
        {"same version and date", Identity("0140", "01092026", file),
         Identity("0140", "01092026", file), FirmwareVerdict::Accepted},
        {"ECU dated later", Identity("0140", "02092026", file), Identity("0140", "01092026", file),
         FirmwareVerdict::Accepted},
        {"file a day later", Identity("0140", "01092026", file), Identity("0140", "02092026", file),
         FirmwareVerdict::UpgradeOffered},
        {"file a month later, earlier day", Identity("0140", "28082026", file),
         Identity("0140", "01092026", file), FirmwareVerdict::UpgradeOffered},
        {"file a year later", Identity("0140", "31122025", file),
         Identity("0140", "01012026", file), FirmwareVerdict::UpgradeOffered},
        {"ECU older version, dated later", Identity("0139", "01012030", file),
         Identity("0140", "01092026", file), FirmwareVerdict::UpgradeNeeded},
        {"ECU newer version", Identity("0141", "01012020", file),
         Identity("0140", "01092026", file), FirmwareVerdict::EcuNewer},
        {"project code in another case", Identity("0140", "01092026", "KT540 GASCAL inj468"),
         Identity("0140", "01092026", file), FirmwareVerdict::Accepted},
        {"other project code", Identity("0140", "01092026", "KT540 OTHER INJ999"),
         Identity("0140", "01092026", file), FirmwareVerdict::Incompatible},
        {"other project code, even if newer", Identity("0150", "01092026", "KT540 OTHER INJ999"),
         Identity("0140", "01092026", file), FirmwareVerdict::Incompatible},
        {"file without a project code takes any ECU",
         Identity("0140", "01092026", "KT540 OTHER INJ999"),
         Identity("0140", "01092026", "KT540 GASCAL"), FirmwareVerdict::Accepted},
        // The file's version counts only when all four characters are digits.
        {"file version not numeric", Identity("0001", "01092026", file),
         Identity("01A0", "01092026", file), FirmwareVerdict::EcuNewer},
    };
    for (const Case& c : cases) EXPECT_EQ(JudgeFirmware(c.ecu, c.file), c.expected) << c.what;

    const QString both = DescribeFirmwares(Identity("0140", "15032025", file),
                                           Identity("0141", "01092026", file), "ECU", "File");
    EXPECT_EQ(both, "ECU: 01.00.40 25/03/15 GASCAL INJ468\nFile: 01.00.41 26/09/01 GASCAL INJ468");
}

TEST(PortOptions, NamesAFitterMayType) {
    QTemporaryFile device;
    ASSERT_TRUE(device.open());
    struct Case {
        QString text;
        PortOption expected;
        int com;
    };
    const Case cases[] = {
        {"USB", PortOption::Usb, 0},
        {" usb ", PortOption::Usb, 0},
        {"COM1", PortOption::Com, 1},
        {"com9", PortOption::Com, 9},
        {"COM0", PortOption::BadComNumber, 0},
        {"COM10", PortOption::BadComNumber, 0},
        {"COM01", PortOption::BadComNumber, 0},
        {device.fileName(), PortOption::Device, 0},
        {"/dev/no-such-port", PortOption::NoSuchDevice, 0},
    };
    for (const Case& c : cases) {
        int com = 0;
        QString message;
        EXPECT_EQ(ClassifyPortOption(c.text, &com, &message), c.expected) << c.text.toStdString();
        EXPECT_EQ(com, c.com) << c.text.toStdString();
        const bool bad =
            c.expected == PortOption::BadComNumber || c.expected == PortOption::NoSuchDevice;
        EXPECT_EQ(message.isEmpty(), !bad) << c.text.toStdString();
    }
    ClsComm comm;
    comm.SetFlagRicercaCom(0);
    comm.SetMemoDatiCom(true);
    EXPECT_TRUE(ApplyPortOption("COM4", comm, nullptr));
    EXPECT_EQ(comm.UsbCom(), 0);
    EXPECT_EQ(comm.ComPort(), 4);
    // A port named for this run: no search, and the settings file keeps its own.
    EXPECT_EQ(comm.FlagRicercaCom(), SEARCH_OFF);
    EXPECT_FALSE(comm.MemoDatiCom());
    EXPECT_FALSE(ApplyPortOption("COM12", comm, nullptr));
    EXPECT_EQ(comm.ComPort(), 4);
}

// The scheduler on the simulated ECU: one request per call, by priority,
// and a block written only after it has been read.
TEST(RequestSchedulerOnSim, IssuesByPriorityAndWritesOnlyAfterARead) {
    QTemporaryDir dir;
    CopyFolder(QStringLiteral(GASCAL_SOURCE_DIR "/installdata/BIN"), dir.path() + "/BIN");
    CopyFolder(QStringLiteral(GASCAL_SOURCE_DIR "/installdata/LNG"), dir.path() + "/LNG");
    VirtualEventService ev;
    ScopedEvents scopeEvents(ev);
    ScriptedPrompts prompts;
    ScopedPrompts scopePrompts(prompts);
    sim::SimOptions o;
    o.key = o.engineRunning = o.warm = true;
    auto ecu = std::make_shared<sim::SimEcu>(o);
    sim::SimUsbProvider provider(ecu);
    EcuSession session(dir.path(), &provider);
    session.StartLink();
    ASSERT_TRUE(ev.RunUntil(
        [&] {
            return session.Comm().ComState() == ComState::Idle &&
                   !session.Comm().LastKeepAliveAnswer().isEmpty();
        },
        10e6));
    RequestScheduler s(session);
    std::vector<std::pair<Request, bool>> seen;
    s.OnResult([&](Request r, bool ok) { seen.push_back({r, ok}); });

    for (int r = 1; r < kRequestSlots; ++r) s.Post(static_cast<Request>(r));
    session.Image().PendingEdits.Mem3Block.SwitchRpm = 1600;
    std::vector<Request> issued;
    for (int i = 0; i < 40 && issued.size() < 19; ++i) {
        const Request r = s.Issue();
        if (r != Request::None) issued.push_back(r);
    }
    const std::vector<Request> expected{
        Request::EcuMode,     Request::ReadCor,    Request::ReadMem3,    Request::WriteMem3,
        Request::ReadMem3,    Request::ReadDcol,   Request::ReadMem5,    Request::WriteMem5,
        Request::ReadMem5,    Request::ReadMem2,   Request::WriteMem2,   Request::SaveFlash,
        Request::ReadMem2,    Request::ReadMem1,   Request::ReadSmplBnz, Request::ReadSmplGas,
        Request::CancSmplBnz, Request::CancSmplGas};
    EXPECT_EQ(issued, expected);
    ASSERT_EQ(seen.size(), issued.size());
    for (const auto& [r, ok] : seen) EXPECT_TRUE(ok) << static_cast<int>(r);
    EXPECT_EQ(s.Issue(), Request::None);  // nothing left
    EXPECT_NEAR(ecu->Working().SwitchRpm(), 1600, 2);

    // Block 1 waiting keeps the samples waiting.
    s.Post(Request::ReadSmplGas);
    s.Post(Request::ReadMem1);
    EXPECT_EQ(s.Issue(), Request::ReadMem1);
    EXPECT_EQ(s.Issue(), Request::ReadSmplGas);

    // Nothing is sent while the link is not idle.
    session.Comm().Stop();
    s.Post(Request::ReadMem1);
    EXPECT_EQ(s.Issue(), Request::None);
    EXPECT_TRUE(s.Pending(Request::ReadMem1));
}

TEST(RequestScheduler, WriteDelaysRunOutIntoAReadAndAWrite) {
    ScriptedPrompts prompts;
    ScopedPrompts scope(prompts);
    QTemporaryDir dir;
    CopyFolder(QStringLiteral(GASCAL_SOURCE_DIR "/installdata/LNG"), dir.path() + "/LNG");
    EcuSession session(dir.path(), nullptr);
    RequestScheduler s(session);
    s.StartWriteDelay(Block::Mem3);
    s.StartWriteDelay(Block::Mem5);
    s.CountDiv5Delays(/*withBlock5=*/false);
    EXPECT_TRUE(s.Pending(Request::WriteMem3));
    EXPECT_TRUE(s.Pending(Request::ReadMem3));
    // Block 5's delay waits on an ECU without block 5.
    EXPECT_FALSE(s.Pending(Request::WriteMem5));
    EXPECT_EQ(s.Delays().DelayWriteMem5, 1);
    s.CountDiv5Delays(true);
    EXPECT_TRUE(s.Pending(Request::WriteMem5));

    // Auto Tuning: the sample reads come every 4 counts while nothing waits.
    s.CountSampleDelay(true);
    EXPECT_EQ(s.Delays().DelaySamples, kSampleDelay);
    for (int i = 0; i < 4; ++i) s.CountSampleDelay(true);
    EXPECT_TRUE(s.Pending(Request::ReadSmplBnz));
    EXPECT_TRUE(s.Pending(Request::ReadSmplGas));
    s.CountSampleDelay(true);  // still waiting: no new delay
    EXPECT_EQ(s.Delays().DelaySamples, 0);
}

TEST(WindowRegistry, OpensWhatIsRegisteredByName) {
    EXPECT_EQ(WindowRegistry::Find("FrmNotInThisBuild"), nullptr);
    int opened = 0, argument = -1;
    WindowRegistry::Register("FrmTestRegistryOnly", [&](WindowContext& c) {
        ++opened;
        argument = c.argument;
        return 7;
    });
    const WindowOpener* open = WindowRegistry::Find("FrmTestRegistryOnly");
    ASSERT_NE(open, nullptr);
    ScriptedPrompts prompts;
    ScopedPrompts scope(prompts);
    QTemporaryDir dir;
    EcuSession session(dir.path(), nullptr);
    PollingCycle cycle(session);
    WindowContext context{session, cycle, nullptr, 1};
    EXPECT_EQ((*open)(context), 7);
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(argument, 1);
}
