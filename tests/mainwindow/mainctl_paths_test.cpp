// The main controller's error list, language switch, injector mode steps,
// fuel switch, configuration saving and injector type question, against the
// simulated ECU in virtual time (the injector mode rows on the image alone).
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include "common/Helpers.h"
#include "data/core/ClsLingue.h"
#include "data/core/ParamFile.h"
#include "data/core/ScaleConfig.h"
#include "ecu/Captions.h"
#include "ecu/ErrorMask.h"
#include "link/core/CommandTable.h"
#include "link/core/Frame.h"
#include "tests/mainwindow/SimFixture.h"

using namespace gascal;
using namespace gascal::testing;

namespace {

// Records what the window's models tell the window.
struct RecordingView {
    int listsRefilled = 0, languageApplied = 0, settingsRefreshes = 0;
    std::vector<std::pair<bool, QString>> errorButton;
    QString caption;
    QObject context;  // the connections end with the recorder
    void Watch(SimSession& s) {
        QObject::connect(&s.settings(), &SettingsModel::listsRefilled, &context,
                         [this] { ++listsRefilled; });
        QObject::connect(&s.settings(), &SettingsModel::selectionChanged, &context,
                         [this] { ++settingsRefreshes; });
        QObject::connect(&s.ctl(), &MainController::languageChanged, &context,
                         [this] { ++languageApplied; });
        QObject::connect(&s.ctl(), &MainController::errorButton, &context,
                         [this](bool visible, const QString& c) {
                             errorButton.push_back({visible, c});
                         });
        QObject::connect(&s.ctl(), &MainController::captionChanged, &context,
                         [this](const QString& c) { caption = c; });
    }
};

int IndexOf(const EntryList& l, double v) {
    for (size_t i = 0; i < l.size(); ++i)
        if (l[i].value == v) return static_cast<int>(i);
    return -1;
}

uint8_t EcuInjEnable(const sim::SimEcu& ecu, int cyl) {
    return ecu.Working().mem3[sim::CylOffset(sim::mem3::InjEnable, cyl, 1)];
}

QString Installed(const char* rel) {
    return QStringLiteral(GASCAL_SOURCE_DIR "/installdata/") + rel;
}

}  // namespace

// --- Error list ----------------------------------------------------------------------

TEST(ErrorIgnoreMask, FollowsTheInstallation) {
    ScaleConfig scale;
    scale.Load(Installed("LNG/ConfigScale.ini"));
    scale.IniziaLevelGasType(Installed("LNG/ConfigScale.ini"));
    scale.IniziaTipoLambda(Installed("LNG/ConfigScale.ini"));
    ASSERT_GE(scale.LambdaType.size(), 2u);
    ASSERT_GE(scale.GasLevelType.size(), 1u);
    scale.CkbeV02Visible = false;

    ParamImage image;
    auto& m3 = image.Mem3Block;
    m3.NumCylinders = 4;
    m3.InjEnable = {1, 1, 0, 3, 1, 1, 0, 0};  // injector 3 switched off; 5 and 6 beyond the count
    m3.LambdaTypeCode = scale.LambdaType[1].Code;
    m3.LevelTypeCode = static_cast<uint8_t>(scale.GasLevelType[0].Code);

    ErrorMask m = InstallationIgnoreMask(image, scale, 18);
    for (int k = 0; k < kErrorItems; ++k) EXPECT_EQ(m[k], m[k + kErrorItems]) << "item " << k;
    for (int k = ERRITEM_GAS_PRESSURE_SENSOR; k <= ERRITEM_LOW_GAS_PRESSURE; ++k)
        EXPECT_FALSE(m[k]) << "item " << k;
    EXPECT_FALSE(m[ERRITEM_INJECTOR_1 + 0]);
    EXPECT_FALSE(m[ERRITEM_INJECTOR_1 + 1]);
    EXPECT_TRUE(m[ERRITEM_INJECTOR_1 + 2]);
    EXPECT_FALSE(m[ERRITEM_INJECTOR_1 + 3]);
    for (int k = 4; k < 8; ++k) EXPECT_TRUE(m[ERRITEM_INJECTOR_1 + k]) << "injector " << k + 1;
    EXPECT_FALSE(m[ERRITEM_VALVE_1]);
    EXPECT_TRUE(m[ERRITEM_VALVE_2]);
    for (int k = 18; k < kErrorItems; ++k) EXPECT_TRUE(m[k]) << "undefined item " << k;

    // No lambda sensor, a level type the installation does not know, a
    // second valve fitted.
    m3.LambdaTypeCode = scale.LambdaType[0].Code;
    m3.LevelTypeCode = 99;
    ASSERT_LT(scale.LevelIndexByCode(99), 0);
    scale.CkbeV02Visible = true;
    m = InstallationIgnoreMask(image, scale, 18);
    EXPECT_TRUE(m[ERRITEM_LAMBDA_SENSOR]);
    EXPECT_TRUE(m[ERRITEM_LEVEL_SENSOR + kErrorItems]);
    EXPECT_FALSE(m[ERRITEM_VALVE_2]);

    // A dictionary with fewer definitions: the items beyond them are ignored.
    m = InstallationIgnoreMask(image, scale, 8);
    EXPECT_FALSE(m[ERRITEM_LOW_GAS_PRESSURE]);
    EXPECT_TRUE(m[ERRITEM_INJECTOR_1]);
    EXPECT_TRUE(m[ERRITEM_VALVE_1]);
}

TEST(MainCtlErrors, PresentAndStoredErrorsShowTheButtonUntilCleared) {
    SimSession s;
    RecordingView v;
    v.Watch(s);
    ASSERT_TRUE(s.StartAndGoOnline());
    // The dictionary's definitions run up to the end marker; the entry after
    // it is the button's caption.
    const EcuErrorDefinitions& defs = s.cycle().Errors().Definitions();
    ASSERT_GT(defs.Count(), ERRITEM_VALVE_2);
    const int captionEntry = kErrorDefinitionsFirstEntry + defs.Count() + 1;
    EXPECT_EQ(s.lingue().VoceDizionario(0, captionEntry - 1), "[END_ERROR_ECU]");
    EXPECT_EQ(defs.ButtonCaption(), s.lingue().VoceDizionario(0, captionEntry));

    s.ctl().CaricaErroriEcu();
    ASSERT_FALSE(v.errorButton.empty());
    EXPECT_FALSE(v.errorButton.back().first);

    // The Div504 slot reads the list by itself (every 504 ticks of 14 ms).
    s.ecu->SetFault(sim::ERR_LOW_GAS_PRESSURE, sim::kErrShortOrLow);
    const uint64_t reads = s.Sent(CMD_READ_ERR);
    ASSERT_TRUE(s.RunUntil([&] { return s.ctl().ErrorsPresent(); }, 504 * 0.014 + 1));
    EXPECT_EQ(s.Sent(CMD_READ_ERR), reads + 1);
    EXPECT_TRUE(v.errorButton.back().first);
    EXPECT_EQ(v.errorButton.back().second, defs.ButtonCaption());

    // Gone from the present state, still stored: the button stays.
    s.ecu->SetFault(sim::ERR_LOW_GAS_PRESSURE, sim::kErrNone);
    s.ctl().CaricaErroriEcu();
    EXPECT_EQ(s.comm().ErrInj(sim::ERR_LOW_GAS_PRESSURE), 0);
    EXPECT_EQ(s.comm().ErrInj(sim::ERR_LOW_GAS_PRESSURE + kErrorItems), sim::kErrShortOrLow);
    EXPECT_TRUE(s.ctl().ErrorsPresent());
    EXPECT_TRUE(v.errorButton.back().first);

    // The error memory cleared: hidden again.
    ASSERT_TRUE(s.comm().SendAndWait(BuildRequest(CMD_CANC_ERR)));
    s.ctl().CaricaErroriEcu();
    EXPECT_FALSE(s.ctl().ErrorsPresent());
    EXPECT_FALSE(v.errorButton.back().first);
}

TEST(MainCtlErrors, FaultsOfPartsNotFittedAreIgnored) {
    SimSession s;
    ASSERT_TRUE(s.StartAndGoOnline());
    ASSERT_EQ(s.image().Mem3Block.NumCylinders, 4);
    ASSERT_FALSE(s.scale().CkbeV02Visible);
    s.ecu->SetFault(sim::ERR_INJECTOR_1 + 5,
                    sim::kErrOpenCircuit);  // injector 6 of a 4-cylinder car
    s.ecu->SetFault(sim::ERR_VALVE_2, sim::kErrOpenCircuit);
    s.ctl().CaricaErroriEcu();
    EXPECT_FALSE(s.ctl().ErrorsPresent());
    // The link keeps the cleared flags, so the error window would agree.
    for (int item : {sim::ERR_INJECTOR_1 + 5, int(sim::ERR_VALVE_2)}) {
        EXPECT_EQ(s.comm().ErrInj(item), 0) << item;
        EXPECT_EQ(s.comm().ErrInj(item + kErrorItems), 0) << item;
    }

    // With a second valve in the installation its fault counts.
    s.scale().CkbeV02Visible = true;
    s.ctl().CaricaErroriEcu();
    EXPECT_TRUE(s.ctl().ErrorsPresent());
    EXPECT_EQ(s.comm().ErrInj(sim::ERR_VALVE_2), sim::kErrOpenCircuit);

    // A fitted injector's fault counts too.
    s.scale().CkbeV02Visible = false;
    s.ecu->SetFault(sim::ERR_INJECTOR_1 + 2, sim::kErrShortOrLow);
    s.ctl().CaricaErroriEcu();
    EXPECT_TRUE(s.ctl().ErrorsPresent());
    EXPECT_EQ(s.comm().ErrInj(sim::ERR_INJECTOR_1 + 2), sim::kErrShortOrLow);
}

// --- Language ----------------------------------------------------------------------

TEST(MainCtlLanguage, SwitchingChangesCaptionsListsAndErrorTexts) {
    SimSession s;
    RecordingView v;
    v.Watch(s);
    ASSERT_TRUE(s.StartAndGoOnline());
    ClsLingue& d = s.lingue();
    ASSERT_GE(d.UboundLingue(), 1);
    const int tabEntry = CaptionInfo(Cap::TabGeneral).entry;
    const int lambdaEntry = CaptionInfo(Cap::LambdaNone).entry;
    const int emptyEntry = CaptionInfo(Cap::EmptyGasPetrol).entry;
    ASSERT_NE(d.VoceDizionario(0, tabEntry), d.VoceDizionario(1, tabEntry));
    EXPECT_EQ(s.ctl().CaptionText(Cap::TabGeneral), d.VoceDizionario(0, tabEntry));
    EXPECT_EQ(s.settings().Lists().lambda.at(0).text, d.VoceDizionario(0, lambdaEntry));

    // An error is shown, so its caption must follow the language too.
    s.ecu->SetFault(sim::ERR_GAS_TEMP_SENSOR, sim::kErrOpenCircuit);
    s.ctl().CaricaErroriEcu();
    ASSERT_TRUE(s.ctl().ErrorsPresent());
    const QString englishButton = v.errorButton.back().second;
    const QString englishName = s.cycle().Errors().Definitions().ItemName(sim::ERR_GAS_TEMP_SENSOR);
    // The configuration saved to a file: the caption names it.
    const QString saved = s.root + "/car.var";
    s.prompts.files.push_back(saved);
    s.ctl().MnuFileSaveConf_Click();
    ASSERT_TRUE(v.caption.endsWith(" - [" + saved + "]")) << v.caption.toStdString();

    const int refills = v.listsRefilled, refreshes = v.settingsRefreshes;
    const uint64_t writes = s.Sent(CMD_WRT_MEM3);
    s.ctl().MnuLngT_Click(1);
    EXPECT_EQ(d.IdLingua(), 1);
    EXPECT_EQ(v.languageApplied, 1);
    EXPECT_EQ(s.ctl().CaptionText(Cap::TabGeneral), d.VoceDizionario(1, tabEntry));
    EXPECT_EQ(s.settings().Lists().lambda.at(0).text, d.VoceDizionario(1, lambdaEntry));
    EXPECT_EQ(s.settings().Lists().emptyGas.at(0).text, d.VoceDizionario(1, emptyEntry));
    EXPECT_GT(v.listsRefilled, refills);
    // The refilled lists show the ECU's values again.
    EXPECT_GT(v.settingsRefreshes, refreshes);
    EXPECT_TRUE(v.caption.startsWith(d.VoceDizionario(1, 0)));
    // The file's name stays in the caption.
    EXPECT_TRUE(v.caption.endsWith(" - [" + saved + "]")) << v.caption.toStdString();
    EXPECT_TRUE(v.errorButton.back().first);
    EXPECT_NE(v.errorButton.back().second, englishButton);
    EXPECT_NE(s.cycle().Errors().Definitions().ItemName(sim::ERR_GAS_TEMP_SENSOR), englishName);

    // A language change is no settings change: nothing is written.
    s.RunFor(3);
    EXPECT_EQ(s.Sent(CMD_WRT_MEM3), writes);

    s.ctl().MnuLngT_Click(0);
    EXPECT_EQ(s.ctl().CaptionText(Cap::TabGeneral), d.VoceDizionario(0, tabEntry));
    EXPECT_EQ(v.errorButton.back().second, englishButton);
}

TEST(MainCtlSettings, AnUnreadableListItemIsReportedAsAConfigError) {
    SimSession s;
    const QString path = s.root + "/LNG/ConfigScale.ini";
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    QByteArray text = f.readAll();
    f.close();
    const QByteArray good = "0|30|60|90|120|240|300|420|600";
    ASSERT_TRUE(text.contains(good));
    text.replace(good, "0|3x0|60");
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(text);
    f.close();

    s.prompts.shown.clear();
    s.settings().FillLists();
    ASSERT_EQ(s.prompts.shown.size(), 1u);
    const auto& box = s.prompts.shown[0];
    EXPECT_TRUE(box.text.startsWith("Config errorErrorRiempiCmbSwtch_Err:\r"))
        << box.text.toStdString();
    EXPECT_TRUE(box.text.contains("3x0"));
    EXPECT_EQ(box.title, AppTitle() + ": Error");
    // The list keeps the items that could be read.
    ASSERT_EQ(s.settings().Lists().force.size(), 2u);
    EXPECT_EQ(s.settings().Lists().force[1].value, 60);
}

// --- Injector mode sequencing -------------------------------------------------------

namespace {
constexpr int N = 255;  // no pending change
struct InjRow {
    const char* what;
    int fuel;  // Mem2Byte1
    int key;
    int state, flag, index;
    std::array<uint8_t, 8> en;
    std::array<int, 8> pending;  // expected PendingEdits.InjEnable
    bool delaySet;
    bool requestStays;
};
}  // namespace

TEST(MainCtlInjMode, StepsOnGasAndOnPetrol) {
    ParamImage img;  // the steps work on the image alone
    int writes = 0;  // block-3 write delay started
    InjectorModes c(img, [&writes] { ++writes; });
    const InjRow rows[] = {
        {"gas r3 one: off -> enable, keep going",
         3,
         1,
         3,
         1,
         1,
         {1, 0, 1, 1},
         {N, 1, N, N, N, N, N, N},
         true,
         true},
        {"gas r3 one: enabled -> 2, done",
         3,
         1,
         3,
         1,
         1,
         {1, 1, 1, 1},
         {N, 2, N, N, N, N, N, N},
         true,
         false},
        {"gas r3 one: 4 -> 3, done",
         3,
         1,
         3,
         1,
         2,
         {1, 1, 4, 1},
         {N, N, 3, N, N, N, N, N},
         true,
         false},
        {"gas r3 one: already 3, done",
         3,
         1,
         3,
         1,
         2,
         {1, 1, 3, 1},
         {N, N, N, N, N, N, N, N},
         false,
         false},
        {"gas r3 one: 2 waits", 3, 1, 3, 1, 0, {2, 1, 1, 1}, {N, N, N, N, N, N, N, N}, false, true},
        {"gas r0: 4 -> 0, done",
         3,
         1,
         0,
         1,
         3,
         {1, 1, 1, 4},
         {N, N, N, 0, N, N, N, N},
         true,
         false},
        {"gas r0: 1 waits", 3, 1, 0, 1, 3, {1, 1, 1, 1}, {N, N, N, N, N, N, N, N}, false, true},
        {"gas r4: 1 -> 2, keep going",
         3,
         1,
         4,
         1,
         0,
         {1, 1, 1, 1},
         {2, N, N, N, N, N, N, N},
         true,
         true},
        {"gas r4: 3 -> 4, done",
         3,
         1,
         4,
         1,
         0,
         {3, 1, 1, 1},
         {4, N, N, N, N, N, N, N},
         true,
         false},
        {"gas r3 all: 0/1/4 step, 0 keeps it",
         3,
         1,
         3,
         2,
         4,
         {0, 1, 4, 2, 1},
         {1, 2, 3, N, N, N, N, N},
         true,
         true},
        {"gas r3 all: none 0 or 1, done",
         3,
         1,
         3,
         2,
         3,
         {2, 3, 4, 0},
         {N, N, 3, N, N, N, N, N},
         false,
         false},
        {"gas r3 all: count 0, done",
         3,
         1,
         3,
         2,
         0,
         {0, 0, 0, 0},
         {N, N, N, N, N, N, N, N},
         false,
         false},
        {"petrol r0: 1 -> 0, done",
         0,
         1,
         0,
         1,
         2,
         {1, 1, 1, 1},
         {N, N, 0, N, N, N, N, N},
         true,
         false},
        {"petrol r0: 3 left, done",
         0,
         1,
         0,
         1,
         2,
         {1, 1, 3, 1},
         {N, N, N, N, N, N, N, N},
         false,
         false},
        {"petrol r3 one: 0 -> 1, done",
         0,
         1,
         3,
         1,
         5,
         {1, 1, 1, 1},
         {N, N, N, N, N, 1, N, N},
         true,
         false},
        {"petrol r3 one: 2 left, done",
         0,
         1,
         3,
         1,
         0,
         {2, 1, 1, 1},
         {N, N, N, N, N, N, N, N},
         false,
         false},
        {"petrol r3 all: only 0 -> 1, done",
         0,
         1,
         3,
         2,
         6,
         {1, 2, 1, 1, 0, 0, 0},
         {N, N, N, N, 1, 1, N, N},
         true,
         false},
        {"key off counts as petrol",
         3 + 1,
         0,
         3,
         1,
         1,
         {1, 0, 1, 1},
         {N, 1, N, N, N, N, N, N},
         true,
         false},
        {"neither fuel, key on: waits",
         3 + 1,
         1,
         3,
         1,
         1,
         {1, 0, 1, 1},
         {N, N, N, N, N, N, N, N},
         false,
         true},
    };
    for (const InjRow& r : rows) {
        SCOPED_TRACE(r.what);
        img.ResetPendingEdits();
        writes = 0;
        img.Mem2Block.Mem2Byte1 = static_cast<uint8_t>(r.fuel);
        img.Mem1Block.KeyOn = static_cast<uint8_t>(r.key);
        img.Mem3Block.NumCylinders = 8;
        img.Mem3Block.InjEnable = r.en;
        c.Request(static_cast<InjModeRequest>(r.flag), r.index, r.state);
        c.Step();
        for (size_t k = 0; k < 8; ++k)
            EXPECT_EQ(int(img.PendingEdits.Mem3Block.InjEnable[k]), r.pending[k])
                << "injector " << k;
        EXPECT_EQ(writes > 0, r.delaySet);
        EXPECT_EQ(c.Active(), r.requestStays);
        if (!r.requestStays) {
            EXPECT_EQ(c.State(), kNoInjState);
        }
    }

    // A cylinder count waiting to be written keeps the block-3 write armed.
    img.ResetPendingEdits();
    writes = 0;
    img.Mem2Block.Mem2Byte1 = 0;
    img.Mem3Block.NumCylinders = 4;
    img.PendingEdits.Mem3Block.NumCylinders = 6;
    c.Request(InjModeRequest::OneInjector, 0, 0);
    img.Mem3Block.InjEnable = {3, 1, 1, 1};
    c.Step();
    EXPECT_FALSE(c.Active());
    EXPECT_GT(writes, 0);
}

TEST(MainCtlInjMode, MoreCylindersOnPetrolEnablesTheNewInjectors) {
    sim::SimOptions o = SimSession::DefaultOptions();
    o.engineRunning = false;  // key on, engine still: petrol
    SimSession s(o);
    ASSERT_TRUE(s.StartAndGoOnline());
    ASSERT_EQ(s.image().Mem2Block.Mem2Byte1, 0);
    s.settings().CmbSwtchCilindri_Click(IndexOf(s.settings().Lists().cylinders, 6));
    ASSERT_TRUE(s.RunUntil(
        [&] { return !s.cycle().Injectors().Active() && EcuInjEnable(*s.ecu, 5) != 0; }, 20));
    s.RunFor(2);
    EXPECT_EQ(s.ecu->Working().NumCylinders(), 6);
    for (int k = 0; k < 6; ++k) EXPECT_EQ(EcuInjEnable(*s.ecu, k), 1) << "injector " << k + 1;
    for (int k = 6; k < 8; ++k) EXPECT_EQ(EcuInjEnable(*s.ecu, k), 0) << "injector " << k + 1;
}

TEST(MainCtlInjMode, MoreCylindersOnGasStepsEveryInjectorToGas) {
    sim::SimOptions o = SimSession::DefaultOptions();
    o.rpm = 2000;
    SimSession s(o);
    ASSERT_TRUE(s.StartAndGoOnline());
    ASSERT_TRUE(s.RunUntil([&] { return s.image().Mem2Block.Mem2Byte1 == 3; }, 60));
    s.settings().CmbSwtchCilindri_Click(IndexOf(s.settings().Lists().cylinders, 6));
    // Injectors 1-4 are on gas (3) and stay; 5 and 6 go 0 -> 1 -> 2 over two
    // steps, and the ECU takes them on gas (3).
    for (int k = 0; k < 4; ++k) ASSERT_EQ(EcuInjEnable(*s.ecu, k), 3) << "injector " << k + 1;
    std::vector<uint8_t> written;
    s.ecu->SetRequestObserver([&](uint8_t cmd, uint8_t, const char*) {
        if (cmd == CMD_WRT_MEM3) written.push_back(EcuInjEnable(*s.ecu, 5));
    });
    ASSERT_TRUE(s.RunUntil([&] { return !s.cycle().Injectors().Active(); }, 30));
    ASSERT_TRUE(s.RunUntil([&] { return EcuInjEnable(*s.ecu, 5) == 3; }, 10));
    EXPECT_EQ(s.ecu->Working().NumCylinders(), 6);
    // The tool wrote 1, then 2; the 3 is the ECU's own.
    ASSERT_FALSE(written.empty());
    EXPECT_EQ(written.back(), 2);
    EXPECT_NE(std::find(written.begin(), written.end(), 1), written.end());
    EXPECT_EQ(std::find(written.begin(), written.end(), 3), written.end());
    for (int k = 0; k < 6; ++k) EXPECT_EQ(EcuInjEnable(*s.ecu, k), 3) << "injector " << k + 1;
    for (int k = 6; k < 8; ++k) EXPECT_EQ(EcuInjEnable(*s.ecu, k), 0) << "injector " << k + 1;
}

// --- Fuel switch -------------------------------------------------------------------------

TEST(MainCtlFuelSwitch, LogoReleaseSwitchesFuelInTheNextDiv18Slot) {
    sim::SimOptions o = SimSession::DefaultOptions();
    o.rpm = 2000;
    SimSession s(o);
    ASSERT_TRUE(s.StartAndGoOnline());
    s.RunFor(1);
    ParamImage& img = s.image();
    const int before = img.Mem2Block.WorkMode;
    ASSERT_TRUE(before == 0 || before == 3) << before;
    const int wanted = before == 0 ? 3 : 0;

    const uint64_t writes = s.Sent(CMD_WRT_MEM2);
    s.ctl().ImgLogo_MouseUp();
    EXPECT_TRUE(s.cycle().FuelChangeRequested());
    EXPECT_EQ(s.Sent(CMD_WRT_MEM2), writes);  // not on the mouse event itself
    // Within one Div18 period (18 ticks) the change is carried out.
    ASSERT_TRUE(s.RunUntil([&] { return !s.cycle().FuelChangeRequested(); }, 18 * 0.014 + 2));
    EXPECT_EQ(s.Sent(CMD_WRT_MEM2), writes + 1);
    EXPECT_EQ(s.ecu->Working().WorkMode(), wanted);
    EXPECT_EQ(img.Mem2Block.WorkMode, wanted);

    // And back: to gas the block is read back until the ECU reports it.
    s.ctl().ImgLogo_MouseUp();
    const uint64_t reads = s.Sent(CMD_READ_MEM2);
    ASSERT_TRUE(s.RunUntil([&] { return !s.cycle().FuelChangeRequested(); }, 18 * 0.014 + 2));
    EXPECT_EQ(s.Sent(CMD_WRT_MEM2), writes + 2);
    EXPECT_EQ(s.ecu->Working().WorkMode(), before);
    EXPECT_EQ(img.Mem2Block.WorkMode, before);
    if (before == 3) {
        EXPECT_GE(s.Sent(CMD_READ_MEM2), reads + 1);
        EXPECT_TRUE(s.RunUntil([&] { return s.ecu->OnGas(); }, 30));
    }
}

TEST(MainCtlFuelSwitch, NothingHappensWithTheKeyOff) {
    SimSession s;
    ASSERT_TRUE(s.StartAndGoOnline());
    s.ecu->SetKey(false);
    ASSERT_TRUE(s.RunUntil([&] { return s.image().Mem1Block.KeyOn == 0; }, 5));
    const uint64_t writes = s.Sent(CMD_WRT_MEM2);
    s.ctl().ImgLogo_MouseUp();
    EXPECT_FALSE(s.cycle().FuelChangeRequested());
    s.RunFor(2);
    EXPECT_EQ(s.Sent(CMD_WRT_MEM2), writes);
}

// --- Saving a configuration ---------------------------------------------------------------

TEST(MainCtlSaveConf, WritesTheImageWholeAndNamesTheFileInTheCaption) {
    SimSession s;
    RecordingView v;
    v.Watch(s);
    ASSERT_TRUE(s.StartAndGoOnline());
    QDir().mkpath(s.root + "/cars");
    const QString path = s.root + "/cars/panda.var";
    {  // An older, longer file in the way: it is replaced, not patched.
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(100000, 'x'));
    }
    s.prompts.files.push_back(path);
    s.ctl().MnuFileSaveConf_Click();
    ASSERT_EQ(s.prompts.dialogs.size(), 1u);
    EXPECT_TRUE(s.prompts.dialogs[0].overwritePrompt);
    EXPECT_TRUE(s.prompts.dialogs[0].filter.contains("*.var"));
    EXPECT_TRUE(v.caption.endsWith(" - [" + path + "]")) << v.caption.toStdString();

    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray content = f.readAll();
    EXPECT_FALSE(content.contains("xxxx"));
    // Nothing but the file itself is left in the folder.
    EXPECT_EQ(QDir(s.root + "/cars").entryList(QDir::Files | QDir::Hidden),
              QStringList{"panda.var"});
    // It reads back into another image with the ECU's settings.
    ParamImage back;
    LoadParamFile(path, back, nullptr);
    EXPECT_EQ(back.Mem3Block.NumCylinders, s.image().Mem3Block.NumCylinders);
    EXPECT_NEAR(back.Mem3Block.SwitchRpm, s.image().Mem3Block.SwitchRpm, 1);
}

TEST(MainCtlSaveConf, AFailedSaveKeepsTheCaptionAndSaysSo) {
    SimSession s;
    RecordingView v;
    v.Watch(s);
    ASSERT_TRUE(s.StartAndGoOnline());
    const QString before = v.caption;
    ASSERT_FALSE(before.isEmpty());
    const QString path = s.root + "/no such folder/panda.var";
    s.prompts.files.push_back(path);
    s.ctl().MnuFileSaveConf_Click();
    EXPECT_FALSE(QFile::exists(path));
    EXPECT_EQ(v.caption, before);
    EXPECT_TRUE(s.prompts.AnyContains(path));

    // Cancelled dialog: nothing at all.
    const size_t boxes = s.prompts.shown.size();
    s.ctl().MnuFileSaveConf_Click();
    EXPECT_EQ(v.caption, before);
    EXPECT_EQ(s.prompts.shown.size(), boxes);
}

// --- Injector type question ------------------------------------------------------------------

TEST(MainCtlInjType, AnsweringNoChangesNothingAndYesWritesTheType) {
    SimSession s;
    RecordingView v;
    v.Watch(s);
    ASSERT_TRUE(s.StartAndGoOnline());
    const EntryList& types = s.settings().Lists().injector;
    const int ecuCode = s.image().Mem3Block.InjTypeCode;
    int other = -1;
    for (size_t i = 0; i < types.size(); ++i)
        if (types[i].code != ecuCode) other = static_cast<int>(i);
    ASSERT_GE(other, 0);

    const uint64_t writes = s.Sent(CMD_WRT_MEM3);
    const int refreshes = v.settingsRefreshes;
    const size_t boxes = s.prompts.shown.size();
    s.prompts.answers.push_back(BoxResult::No);
    s.settings().CmbTpyInj_Click(other);
    ASSERT_EQ(s.prompts.shown.size(), boxes + 1);
    EXPECT_EQ(s.prompts.shown.back().buttons, BoxButtons::YesNo);
    EXPECT_TRUE(s.prompts.shown.back().title.contains(" Software ver. 01.01.05"));
    EXPECT_GT(v.settingsRefreshes, refreshes);  // the list goes back to the ECU's type
    EXPECT_EQ(s.settings().CurrentSettings().injector, IndexOfCode(types, ecuCode));
    EXPECT_EQ(s.image().PendingEdits.Mem3Block.InjTypeCode, 255);
    EXPECT_EQ(s.sched().Delays().DelayWriteMem3, 0);
    s.RunFor(3);
    EXPECT_EQ(s.Sent(CMD_WRT_MEM3), writes);
    EXPECT_EQ(s.ecu->Working().mem3[sim::mem3::InjTypeCode], ecuCode);

    s.prompts.answers.push_back(BoxResult::Yes);
    s.settings().CmbTpyInj_Click(other);
    ASSERT_TRUE(s.RunUntil([&] { return s.Sent(CMD_WRT_MEM3) > writes; }, 5));
    s.RunFor(1);
    EXPECT_EQ(s.ecu->Working().mem3[sim::mem3::InjTypeCode],
              types[static_cast<size_t>(other)].code);
    EXPECT_EQ(s.image().Mem3Block.InjTypeCode, types[static_cast<size_t>(other)].code);
}
