// Language dictionary: loading, look-ups, the current-language file, the
// editing members, saving and the mismatch check.
#include "data/core/ClsLingue.h"

#include <gtest/gtest.h>

#include "DataTestSupport.h"
#include "data/core/DataTexts.h"

using namespace gascal;
using gascal::testing::TempFolder;

namespace {

ClsLingue Load(const TempFolder& dir, const QStringList& diz, const QStringList* con = nullptr) {
    ClsLingue d;
    d.SetPathDizionario(dir.WriteLines("M3.diz", diz));
    d.SetPathAttualeLingua(con ? dir.WriteLines("M3.con", *con) : dir.Path("M3.con"));
    d.LoadDizionario();
    return d;
}

}  // namespace

TEST(ClsLingueTest, EmptyLinesAreSkippedAndNotCounted) {
    TempFolder dir;
    const ClsLingue d = Load(dir, {"###", "#English", "Title", "", "Exit"});
    EXPECT_EQ(d.UboundLingue(), 0);
    EXPECT_EQ(d.NomeLingua(0), "English");
    EXPECT_EQ(d.VoceDizionario(0, 0), "Title");
    EXPECT_EQ(d.VoceDizionario(0, 1), "Exit");
    EXPECT_EQ(d.UboundVoci(), 1);
}

TEST(ClsLingueTest, EntriesAreTakenAsTheyAre) {
    TempFolder dir;
    const ClsLingue d =
        Load(dir, {"###", "#English", "  padded ", "_BLANK_", "###", "#Italiano", "Titolo", "x"});
    EXPECT_EQ(d.VoceDizionario(0, 0), "  padded ");
    EXPECT_EQ(d.VoceDizionario(0, 1), "_BLANK_");
    EXPECT_EQ(d.UboundLingue(), 1);
    EXPECT_EQ(d.NomeLingua(1), "Italiano");
    EXPECT_EQ(d.VoceDizionario(1, 0), "Titolo");
}

TEST(ClsLingueTest, LookupsOutOfRangeAreEmpty) {
    TempFolder dir;
    const ClsLingue d = Load(dir, {"###", "English", "Title", "###", "#", "T"});
    EXPECT_TRUE(d.NomeLingua(0).isEmpty());  // no leading "#"
    EXPECT_TRUE(d.NomeLingua(1).isEmpty());  // only the "#"
    EXPECT_TRUE(d.NomeLingua(2).isEmpty());
    EXPECT_TRUE(d.NomeLingua(-1).isEmpty());
    EXPECT_TRUE(d.VoceDizionario(0, 5).isEmpty());
    EXPECT_TRUE(d.VoceDizionario(-1, 0).isEmpty());
    EXPECT_TRUE(d.VoceDizionario(0, -1).isEmpty());
    EXPECT_TRUE(d.VoceDizionario(7, 0).isEmpty());
    EXPECT_EQ(d.UboundVociLingua(7), -1);
    EXPECT_EQ(d.UboundVociLingua(-1), -1);
}

TEST(ClsLingueTest, LeadingLinesBelongToNoLanguageAndTrailingMarkStartsNone) {
    TempFolder dir;
    const ClsLingue d = Load(dir, {"stray", "###", "#English", "Title", "###"});
    EXPECT_EQ(d.UboundLingue(), 0);
    EXPECT_EQ(d.UboundVoci(), 0);
    EXPECT_EQ(d.VoceDizionario(0, 0), "Title");
}

TEST(ClsLingueTest, MissingDictionaryStillCreatesCurrentLanguageFile) {
    TempFolder dir;
    ClsLingue d;
    d.SetPathDizionario(dir.Path("M3.diz"));
    d.SetPathAttualeLingua(dir.Path("elsewhere/none.con"));
    d.LoadDizionario();
    EXPECT_EQ(d.UboundLingue(), -1);
    EXPECT_TRUE(d.VoceDizionario(0, 0).isEmpty());
    EXPECT_EQ(d.PathAttualeLingua(), dir.Path("M3.con"));
    EXPECT_EQ(dir.ReadLines("M3.con"), QStringList{"0"});
    EXPECT_EQ(d.IdLingua(), 0);
    EXPECT_EQ(d.FindDictionaryError(), -1);
}

TEST(ClsLingueTest, CurrentLanguageBeyondLastIsReset) {
    TempFolder dir;
    const QStringList con = {"text", "3"};
    ClsLingue d = Load(dir, {"###", "#English", "Title"}, &con);
    EXPECT_EQ(d.IdLingua(), 0);
    EXPECT_EQ(dir.ReadLines("M3.con"), QStringList{"0"});

    // Writing the language replaces the file; the first number line counts.
    d.SetIdLingua(0);
    dir.WriteLines("M3.con", {"", "abc", " 0 ", "5"});
    EXPECT_EQ(d.IdLingua(), 0);
    dir.WriteLines("M3.con", {"abc"});
    EXPECT_EQ(d.IdLingua(), -1);
}

// A current-language file left without a number (emptied, or holding a
// negative one) would leave every caption of the tool blank: loading starts
// again from the first language.
TEST(ClsLingueTest, CurrentLanguageWithoutNumberIsReset) {
    for (const QStringList& con : {QStringList{}, QStringList{"none"}, QStringList{"-2"}}) {
        TempFolder dir;
        const ClsLingue d =
            Load(dir, {"###", "#English", "Title", "###", "#Italiano", "Titolo"}, &con);
        EXPECT_EQ(d.IdLingua(), 0) << con.join(',').toStdString();
        EXPECT_EQ(d.Voce(0), "Title");
        EXPECT_EQ(dir.ReadLines("M3.con"), QStringList{"0"});
    }
    // A valid choice is left alone.
    TempFolder dir;
    const QStringList con = {"1"};
    const ClsLingue d = Load(dir, {"###", "#English", "Title", "###", "#Italiano", "Titolo"}, &con);
    EXPECT_EQ(d.Voce(0), "Titolo");
}

TEST(ClsLingueTest, MismatchedLanguageIsFound) {
    TempFolder dir;
    QStringList lines = {"###", "#English"};
    for (int i = 0; i < 120; ++i) lines << QStringLiteral("en %1").arg(i);
    lines << "###"
          << "#Italiano";
    for (int i = 0; i < 119; ++i) lines << QStringLiteral("it %1").arg(i);
    const ClsLingue d = Load(dir, lines);
    ASSERT_EQ(d.FindDictionaryError(), 1);
    EXPECT_EQ(d.DictionaryErrorText(1), "Dictionary error: Italiano");
    // A missing entry reads as empty, never fails.
    EXPECT_TRUE(d.VoceDizionario(1, 119).isEmpty());

    const ClsLingue ok = Load(dir, {"###", "#A", "1", "2", "###", "#B", "1", "2"});
    EXPECT_EQ(ok.FindDictionaryError(), -1);
}

TEST(ClsLingueTest, EditingMembers) {
    TempFolder dir;
    ClsLingue d =
        Load(dir, {"###", "#English", "Title", "Exit", "###", "#Italiano", "Titolo", "Esci"});
    d.NuovaVoce("Open", 1);
    EXPECT_EQ(d.VoceDizionario(0, 1), "Open");
    EXPECT_EQ(d.VoceDizionario(1, 1), "Open");
    EXPECT_EQ(d.VoceDizionario(1, 2), "Esci");
    d.SetVoceDizionario(1, 1, "Apri");
    d.SetVoceDizionario(0, 5, "Far");  // extends the list
    EXPECT_EQ(d.UboundVociLingua(0), 5);
    EXPECT_TRUE(d.VoceDizionario(0, 4).isEmpty());
    d.SetVoceDizionario(2, 0, "nowhere");  // beyond the last language: nothing
    d.SetVoceDizionario(-1, 0, "nowhere");
    EXPECT_EQ(d.UboundLingue(), 1);
    d.EliminaVoce(5);
    d.EliminaVoce(4);
    d.EliminaVoce(3);
    EXPECT_EQ(d.FindDictionaryError(), -1);

    d.NuovaLingua("#English");  // exists already
    EXPECT_EQ(d.UboundLingue(), 1);
    d.NuovaLingua("#Deutsch");
    EXPECT_EQ(d.UboundLingue(), 2);
    EXPECT_EQ(d.NomeLingua(2), "Deutsch");
    EXPECT_EQ(d.UboundVociLingua(2), 0);
    d.EliminaLingua(1);
    EXPECT_EQ(d.UboundLingue(), 1);
    EXPECT_EQ(d.NomeLingua(1), "Deutsch");
}

TEST(ClsLingueTest, NewLanguageInEmptyDictionaryTakesFirstSlot) {
    ClsLingue d;
    d.NuovaLingua("#English");
    EXPECT_EQ(d.UboundLingue(), 0);
    EXPECT_EQ(d.NomeLingua(0), "English");
    d.EliminaLingua(0);
    EXPECT_EQ(d.UboundLingue(), -1);
    EXPECT_TRUE(d.NomeLingua(0).isEmpty());
}

TEST(ClsLingueTest, SaveWritesBlankMarkerAndReloadsTheSame) {
    TempFolder dir;
    ClsLingue d =
        Load(dir, {"###", "#English", "Title", "Exit", "###", "#Italiano", "Titolo", "Esci"});
    d.SetVoceDizionario(1, 1, QString());
    ASSERT_TRUE(d.SaveDizionario());
    EXPECT_EQ(dir.ReadLines("M3.diz"), (QStringList{"###", "#English", "Title", "Exit", "###",
                                                    "#Italiano", "Titolo", "_BLANK_"}));
    ClsLingue again;
    again.SetPathDizionario(dir.Path("M3.diz"));
    again.SetPathAttualeLingua(dir.Path("M3.con"));
    again.LoadDizionario();
    EXPECT_EQ(again.VoceDizionario(1, 1), "_BLANK_");

    ClsLingue none;
    none.SetPathDizionario(dir.Path("absent.diz"));
    EXPECT_FALSE(none.SaveDizionario());
    EXPECT_FALSE(QFile::exists(dir.Path("absent.diz")));
}

TEST(ClsLingueTest, DataTextsFollowTheCurrentLanguage) {
    TempFolder dir;
    const QStringList con = {"1"};
    ClsLingue d = Load(dir, {"###", "#English", "Tool", "###", "#Italiano", "Strumento"}, &con);
    SetDataDictionary(&d);
    EXPECT_EQ(Text(DataText::ProductTitle), "Strumento");
    // Entries the dictionary lacks fall back to English.
    EXPECT_EQ(Text(DataText::ParamFileTitle), FallbackText(DataText::ParamFileTitle));
    SetDataDictionary(nullptr);
    EXPECT_EQ(Text(DataText::ProductTitle), FallbackText(DataText::ProductTitle));
}

// The shipped dictionary holds every entry the data layer uses in every
// language, and its languages agree.
TEST(ClsLingueTest, ShippedDictionaryIsComplete) {
    ClsLingue d;
    d.SetPathDizionario(QStringLiteral(GASCAL_SOURCE_DIR "/installdata/LNG/M3.diz"));
    TempFolder dir;
    d.SetPathAttualeLingua(dir.Path("M3.con"));
    d.LoadDizionario();
    ASSERT_GE(d.UboundLingue(), 1);
    EXPECT_EQ(d.NomeLingua(0), "English");
    EXPECT_EQ(d.NomeLingua(1), "Italiano");
    EXPECT_EQ(d.FindDictionaryError(), -1);
    for (int l = 0; l <= d.UboundLingue(); ++l)
        for (int k = 0; k < kDataTextCount; ++k)
            EXPECT_FALSE(d.VoceDizionario(l, k).isEmpty()) << "language " << l << " entry " << k;
    EXPECT_EQ(d.VoceDizionario(0, static_cast<int>(DataText::ProductTitle)),
              FallbackText(DataText::ProductTitle));
}
