// The window's side of a search that finds no ECU, in virtual time: what it
// tells the user (once a search), the offer of the simulated ECU on a first
// start, and the simulated ECU used for one run without touching the user's
// port settings.
#include <gtest/gtest.h>

#include <QFile>

#include "common/TextFile.h"
#include "link/core/MachinePorts.h"
#include "link/core/ScriptedPort.h"
#include "tests/mainwindow/SimFixture.h"

using namespace gascal;
using namespace gascal::testing;

namespace {

// A machine without an ECU: no USB cable, COM1 that the user may not open,
// COM2 held by another program; the simulated ECU is at hand but not plugged
// into the ports until somebody puts it there.
class NoEcuMachine {
  public:
    explicit NoEcuMachine(const QStringList& settings = {})
        : scopeEvents(ev), scopePrompts(prompts) {
        root = dir.path();
        CopyTree(QStringLiteral(GASCAL_SOURCE_DIR "/installdata/BIN"), root + "/BIN");
        CopyTree(QStringLiteral(GASCAL_SOURCE_DIR "/installdata/LNG"), root + "/LNG");
        if (!settings.isEmpty()) WriteLatin1Lines(root + "/BIN/SetCom.ini", settings);
        auto denied = std::make_shared<ScriptedLine>();
        denied->openStatus = PORT_ACCESS_DENIED;
        auto busy = std::make_shared<ScriptedLine>();
        busy->openStatus = PORT_DEVICE_BUSY;
        scripted.serial[1] = denied;
        scripted.serial[2] = busy;
        chain.AddUsb(&scripted);
        chain.SetSerial(&scripted);
        // The firmware file's own identity: accepted without an upgrade offer.
        sim::SimOptions o = SimSession::DefaultOptions();
        o.firmwareDate = SimSession::ShippedDate();
        ecu = std::make_shared<sim::SimEcu>(o);
        simProvider = std::make_unique<sim::SimUsbProvider>(ecu);
        session = std::make_unique<MainSession>(root, &chain);
        session->SearchWatch().SetSimulatorStarter([this] {
            ++starts;
            chain.AddUsbFront(simProvider.get());
        });
    }
    ~NoEcuMachine() { session.reset(); }

    PollingCycle& cycle() { return session->Cycle(); }
    ClsComm& comm() { return session->Ecu().Comm(); }
    bool RunUntil(const std::function<bool()>& pred, double seconds) {
        return ev.RunUntil(pred, seconds * 1e6);
    }
    void RunFor(double seconds) { ev.RunFor(seconds * 1e6); }
    QByteArray SetCom() const {
        QFile f(root + "/BIN/SetCom.ini");
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    QTemporaryDir dir;
    QString root;
    VirtualEventService ev;
    ScopedEvents scopeEvents;
    ScriptedPrompts prompts;
    ScopedPrompts scopePrompts;
    ScriptedPortProvider scripted;
    ChainedPortProvider chain;
    std::shared_ptr<sim::SimEcu> ecu;
    std::unique_ptr<sim::SimUsbProvider> simProvider;
    std::unique_ptr<MainSession> session;
    int starts = 0;
};

}  // namespace

TEST(MainCtlPorts, FirstStartWithoutAnEcuSaysWhyAndOffersTheSimulatorOnce) {
    NoEcuMachine m;
    ASSERT_TRUE(m.session->SearchWatch().FirstStart());
    m.prompts.answers = {BoxResult::No};
    m.session->LoadAndStart();
    ASSERT_TRUE(m.RunUntil([&] { return !m.prompts.shown.empty(); }, 60));
    const ScriptedPrompts::Shown& box = m.prompts.shown.front();
    EXPECT_EQ(box.buttons, BoxButtons::YesNo);
    EXPECT_TRUE(box.text.startsWith("No ECU answered. Ports tried:\n  USB: no device\n"))
        << box.text.toStdString();
    EXPECT_TRUE(box.text.contains("COM1 (scripted:COM1): permission denied"));
    EXPECT_TRUE(box.text.contains("COM2 (scripted:COM2): busy: another program is using it"));
    EXPECT_TRUE(box.text.contains("COM9: no device"));
    EXPECT_TRUE(box.text.contains("sudo adduser ")) << box.text.toStdString();
    EXPECT_TRUE(box.text.contains("Try the tool on the simulated ECU?"));

    // Declined: the search goes on over more rounds, without another box,
    // and the simulated ECU is never used.
    const int rounds = m.comm().SearchReport().FailedRounds();
    ASSERT_TRUE(
        m.RunUntil([&] { return m.comm().SearchReport().FailedRounds() >= rounds + 2; }, 60));
    EXPECT_EQ(m.prompts.shown.size(), 1u);
    EXPECT_EQ(m.starts, 0);
    EXPECT_EQ(m.ecu->Counters().requests, 0u);
    EXPECT_NE(m.comm().FlagRicercaCom(), SEARCH_OFF);
    EXPECT_FALSE(m.cycle().Online());

    // A new search chosen from the Device menu is told about again, without
    // the offer.
    m.session->Controller().MnuDevSearch_Click();
    ASSERT_TRUE(m.RunUntil([&] { return m.prompts.shown.size() == 2; }, 60));
    EXPECT_EQ(m.prompts.shown[1].buttons, BoxButtons::Ok);
    EXPECT_TRUE(m.prompts.shown[1].text.contains("The search goes on."));
    EXPECT_EQ(m.starts, 0);
}

TEST(MainCtlPorts, TakingTheOfferGoesOnlineOnTheSimulatorWithoutRememberingIt) {
    NoEcuMachine m;
    m.prompts.answers = {BoxResult::Yes};
    m.session->LoadAndStart();
    ASSERT_TRUE(m.RunUntil([&] { return m.cycle().Online(); }, 90));
    EXPECT_EQ(m.starts, 1);
    EXPECT_GT(m.ecu->Counters().requests, 0u);
    EXPECT_EQ(m.comm().UsbCom(), 1);
    EXPECT_EQ(m.session->Ecu().Supervisor().PortaDiComSelected(), 0);
    m.RunFor(5);
    // The user's next start looks for a real ECU again.
    EXPECT_TRUE(m.SetCom().isEmpty());
    EXPECT_EQ(m.prompts.shown.size(), 1u);
}

TEST(MainCtlPorts, WithPortSettingsTheSearchIsToldAboutButNothingIsOffered) {
    // The user has been here before; a search chosen then found nothing.
    NoEcuMachine m({"[UsbCom]", "1", "[SearchCom]", "0"});
    EXPECT_FALSE(m.session->SearchWatch().FirstStart());
    m.session->Ecu().SetLanguage(1);  // the texts come from the dictionary, in Italian here
    m.session->LoadAndStart();
    ASSERT_TRUE(m.RunUntil([&] { return !m.prompts.shown.empty(); }, 60));
    const ScriptedPrompts::Shown& box = m.prompts.shown.front();
    EXPECT_EQ(box.buttons, BoxButtons::Ok);
    EXPECT_TRUE(box.text.startsWith("Nessuna centralina ha risposto. Porte provate:"))
        << box.text.toStdString();
    EXPECT_TRUE(box.text.contains("COM1 (scripted:COM1): permesso negato"));
    EXPECT_TRUE(box.text.contains("La ricerca continua."));
    EXPECT_EQ(m.starts, 0);
}

TEST(MainCtlPorts, TheSimulatedEcuIsUsedForOneRunWhateverTheSettingsSay) {
    // Settings left by a real ECU on COM1: a run on the simulated ECU uses
    // USB device 0 and leaves them as they are.
    const QStringList settings{"[UsbCom]", "0", "[Comport]", "1", "[SearchCom]", "255"};
    NoEcuMachine m(settings);
    const QByteArray before = m.SetCom();
    m.chain.AddUsbFront(m.simProvider.get());
    UseSimulatedEcuPort(m.comm());
    m.session->LoadAndStart();
    ASSERT_TRUE(
        m.RunUntil([&] { return m.cycle().Online() && !m.cycle().FirstRefreshPending(); }, 60));
    EXPECT_TRUE(m.scripted.openLog.isEmpty());  // COM1 was never opened
    EXPECT_EQ(m.SetCom(), before);
    EXPECT_TRUE(m.prompts.shown.empty()) << m.prompts.Texts().join("|").toStdString();
}
