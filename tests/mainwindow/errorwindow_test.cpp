// The error window's model on the simulated ECU, in virtual time: "Canc."
// that the ECU does not confirm, and the texts of the dictionary section.
// The window itself, on the same simulator, is in expertwin_test.cpp.
#include <gtest/gtest.h>

#include "data/core/ClsLingue.h"
#include "link/core/CommandTable.h"
#include "mainwindow/controller/ErrorWindowModel.h"
#include "mainwindow/controller/WindowTexts.h"
#include "tests/mainwindow/SimFixture.h"

using namespace gascal;
using namespace gascal::testing;

namespace {

// The error list is read every 504th polling tick. A tick that waits for an
// answer lets the ticks falling due meanwhile pass, so on the line that
// takes about 20 s rather than 504 x 14 ms.
constexpr double kErrorReadS = 30;

const ErrorWindowModel::Row* RowOf(const ErrorWindowModel& m, int item) {
    for (const auto& r : m.Rows())
        if (r.item == item) return &r;
    return nullptr;
}

// Online, with the reducer sensor open now and the gas pressure sensor's
// short circuit repaired since (stored only).
struct WithErrors {
    WithErrors() {
        ok = s.StartAndGoOnline();
        s.ecu->SetFault(sim::ERR_GAS_PRESSURE_SENSOR, sim::kErrShortOrLow);
        s.RunFor(0.2);
        s.ecu->SetFault(sim::ERR_GAS_PRESSURE_SENSOR, sim::kErrNone);
        s.ecu->SetFault(sim::ERR_REDUCER_TEMP_SENSOR, sim::kErrOpenCircuit);
        ok = ok && s.RunUntil([this] { return s.cycle().Errors().ErrorsPresent(); }, kErrorReadS);
    }
    SimSession s;
    bool ok = false;
};

}  // namespace

TEST(ErrorWindow, CancWithoutTheEcusAnswerKeepsTheCellsAndSaysSo) {
    WithErrors t;
    ASSERT_TRUE(t.ok);
    ErrorWindowModel m(t.s.tool(), t.s.cycle().Errors());
    t.s.ecu->Failures().deaf = 1.0;  // the request never reaches the ECU
    const size_t boxes = t.s.prompts.shown.size();
    EXPECT_FALSE(m.Canc());
    EXPECT_EQ(RowOf(m, sim::ERR_REDUCER_TEMP_SENSOR)->present, "Open circuit");
    EXPECT_TRUE(t.s.cycle().Errors().ErrorsPresent());
    ASSERT_EQ(t.s.prompts.shown.size(), boxes + 1);
    EXPECT_TRUE(t.s.prompts.shown.back().text.contains("did not confirm"));
    EXPECT_EQ(t.s.ecu->ErrorFlags()[sim::ERR_GAS_PRESSURE_SENSOR + kErrorItems],
              sim::kErrShortOrLow);
}

TEST(ErrorWindow, TextsFollowTheLanguageAndFallBackWithoutTheSection) {
    SimSession s;
    s.Start();
    s.lingue().SetIdLingua(1);
    s.cycle().Errors().LoadDefinitions();
    {
        ErrorWindowModel m(s.tool(), s.cycle().Errors());
        EXPECT_EQ(m.Headings(), QStringList({"Errore", "Presente", "Memorizzato"}));
        EXPECT_EQ(m.WindowCaption(), "Errori centralina ");
        EXPECT_EQ(m.Rows().front().name, "Sensore pressione gas");
    }
    // A dictionary without the section: the window still has its texts.
    const int language = s.lingue().IdLingua();
    for (int i = 0; i <= s.lingue().UboundVociLingua(language); ++i)
        if (s.lingue().VoceDizionario(language, i) == "[FrmErrEcu]")
            s.lingue().SetVoceDizionario(language, i, "-");
    ErrorWindowModel m(s.tool(), s.cycle().Errors());
    EXPECT_EQ(m.Headings(), QStringList({"Error", "Present", "Stored"}));
    EXPECT_EQ(m.CancCaption(), "Canc.");
    s.lingue().SetIdLingua(0);
}

// The shipped dictionary holds, in every language, the error window's and
// the expert page's sections with all their texts, and every fixed-number
// text of these windows, the English one as the code's fallback; a block
// moved in the file without the code (or the reverse) fails here.
TEST(WindowTextsInTheShippedDictionary, SectionsAndFixedEntriesAreAllThere) {
    SimSession s;
    s.Start();
    ClsLingue& d = s.lingue();
    ASSERT_EQ(d.FindDictionaryError(), -1);
    const struct {
        const char* marker;
        int texts;
    } sections[] = {{"[FrmErrEcu]", 5}, {"[FrmSetExpert]", 22}};
    for (int l = 0; l <= d.UboundLingue(); ++l) {
        const int last = d.UboundVociLingua(l);
        for (const auto& sec : sections) {
            int at = -1;
            for (int i = 0; i <= last && at < 0; ++i)
                if (d.VoceDizionario(l, i) == sec.marker) at = i;
            ASSERT_GE(at, 0) << sec.marker << " language " << l;
            for (int k = 1; k <= sec.texts; ++k) {
                const QString t = d.VoceDizionario(l, at + k);
                EXPECT_FALSE(t.isEmpty() || t == "-" || t.startsWith('['))
                    << sec.marker << " text " << k << " language " << l;
            }
        }
        for (int w = 0; w < static_cast<int>(WinText::Count); ++w) {
            const WinTextEntry& e = WindowTextInfo(static_cast<WinText>(w));
            const QString t = d.VoceDizionario(l, e.entry);
            EXPECT_FALSE(t.isEmpty() || t == "-") << "entry " << e.entry << " language " << l;
            if (l == 0) {
                EXPECT_EQ(t, QString::fromLatin1(e.english)) << "entry " << e.entry;
            }
        }
    }
}
