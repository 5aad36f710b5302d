// ECU error list data: the error item definitions taken from the dictionary,
// the state text of a flag value, the ignore mask and the choice of the
// first active error that lights the "Errori" button.
#include "data/errors/EcuErrors.h"

#include <gtest/gtest.h>

#include "DataTestSupport.h"
#include "data/core/ClsLingue.h"

using namespace gascal;
using gascal::testing::TempFolder;

namespace {

EcuErrorDefinitions FromEntries(const QStringList& entries) {
    EcuErrorDefinitions d;
    d.LoadEntries(entries);
    return d;
}

}  // namespace

TEST(EcuErrorDefinitionsTest, NameAndStateTexts) {
    const EcuErrorDefinitions d = FromEntries({
        "  Gas pressure sensor ?|Open circuit|Short circuit",
        "Odd item?what?|first|second ? too",
        "No states at all",
        "[END_ERROR_ECU]",
        "Errori",
    });
    ASSERT_EQ(d.Count(), 3);
    EXPECT_EQ(d.ButtonCaption(), "Errori");

    // The name is the text before the first "?", trimmed.
    EXPECT_EQ(d.ItemName(0), "Gas pressure sensor");
    EXPECT_EQ(d.ItemName(1), "Odd item");
    EXPECT_EQ(d.ItemName(2), "No states at all");
    EXPECT_TRUE(d.ItemName(3).isEmpty());
    EXPECT_TRUE(d.ItemName(-1).isEmpty());

    // State v is the v-th "|" part after the first "?": state 0 (no error)
    // is the empty text before the first bar.
    EXPECT_TRUE(d.StateText(0, 0).isEmpty());
    EXPECT_EQ(d.StateText(0, 1), "Open circuit");
    EXPECT_EQ(d.StateText(0, 2), "Short circuit");
    EXPECT_TRUE(d.StateText(0, 3).isEmpty());
    EXPECT_TRUE(d.StateText(0, 255).isEmpty());
    // A later "?" belongs to the state texts.
    EXPECT_EQ(d.StateText(1, 0), "what?");
    EXPECT_EQ(d.StateText(1, 2), "second ? too");
    // No "?" at all: a name without state texts.
    EXPECT_TRUE(d.StateText(2, 0).isEmpty());
    EXPECT_TRUE(d.StateText(2, 1).isEmpty());
    // Past the last definition, or a negative value.
    EXPECT_TRUE(d.StateText(3, 1).isEmpty());
    EXPECT_TRUE(d.StateText(0, -1).isEmpty());
}

TEST(EcuErrorDefinitionsTest, EndMarkerAndLimit) {
    // Without the marker there is no caption and every entry is a definition.
    EcuErrorDefinitions d = FromEntries({"A?|x", "B?|y"});
    EXPECT_EQ(d.Count(), 2);
    EXPECT_TRUE(d.ButtonCaption().isEmpty());

    // At most 256 definitions; a marker right after them still gives the caption.
    QStringList entries;
    for (int k = 0; k < kMaxErrorDefinitions + 10; ++k)
        entries << QStringLiteral("Item %1?|on").arg(k);
    d = FromEntries(entries);
    EXPECT_EQ(d.Count(), kMaxErrorDefinitions);
    EXPECT_EQ(d.ItemName(kMaxErrorDefinitions - 1), "Item 255");
    EXPECT_TRUE(d.ItemName(kMaxErrorDefinitions).isEmpty());

    entries = entries.mid(0, kMaxErrorDefinitions);
    entries << "[END_ERROR_ECU]"
            << "Errors"
            << "Not a definition?|x";
    d = FromEntries(entries);
    EXPECT_EQ(d.Count(), kMaxErrorDefinitions);
    EXPECT_EQ(d.ButtonCaption(), "Errors");

    // A reload replaces what an earlier one held.
    d = FromEntries({"[END_ERROR_ECU]"});
    EXPECT_EQ(d.Count(), 0);
    EXPECT_TRUE(d.ButtonCaption().isEmpty());
}

TEST(EcuErrorDefinitionsTest, LoadedFromTheCurrentLanguage) {
    TempFolder dir;
    // Definitions start at entry 3 of each language.
    const QStringList diz = {"###",
                             "#English",
                             "Title",
                             "a",
                             "b",
                             "Lambda?|Open",
                             "[END_ERROR_ECU]",
                             "Errors",
                             "###",
                             "#Italiano",
                             "Titolo",
                             "a",
                             "b",
                             "Sonda lambda?|Aperto",
                             "[END_ERROR_ECU]",
                             "Errori"};
    ClsLingue lingue;
    lingue.SetPathDizionario(dir.WriteLines("M3.diz", diz));
    lingue.SetPathAttualeLingua(dir.WriteLines("M3.con", {"1"}));
    lingue.LoadDizionario();

    EcuErrorDefinitions d;
    d.Load(lingue, -1, 3);
    ASSERT_EQ(d.Count(), 1);
    EXPECT_EQ(d.ItemName(0), "Sonda lambda");
    EXPECT_EQ(d.StateText(0, 1), "Aperto");
    EXPECT_EQ(d.ButtonCaption(), "Errori");

    d.Load(lingue, 0, 3);
    EXPECT_EQ(d.ItemName(0), "Lambda");
    EXPECT_EQ(d.ButtonCaption(), "Errors");
}

TEST(EcuErrorFlagsTest, FirstActiveErrorAndMask) {
    ErrorFlags flags{};
    // All clear or not available: nothing lights the button.
    EXPECT_EQ(FirstActiveError(flags, 20), -1);
    flags.fill(255);
    EXPECT_EQ(FirstActiveError(flags, 20), -1);

    // A stored error alone (byte k + 32) counts.
    flags.fill(0);
    flags[kErrorItems + 5] = 2;
    EXPECT_EQ(FirstActiveError(flags, 20), kErrorItems + 5);
    // A present error earlier in the list is found first.
    flags[7] = 1;
    EXPECT_EQ(FirstActiveError(flags, 20), 7);
    // The first active flag decides: an item the dictionary does not define
    // hides the button.
    EXPECT_EQ(FirstActiveError(flags, 7), -1);
    EXPECT_EQ(FirstActiveError(flags, 8), 7);

    // Masking an item clears its present and stored bytes together, whichever
    // of the two mask bytes is set.
    ErrorMask mask{};
    mask[7] = true;
    mask[kErrorItems + 5] = true;
    flags[kErrorItems + 7] = 3;
    flags[5] = 1;
    ErrorFlags masked = flags;
    ApplyIgnoreMask(masked, mask);
    EXPECT_EQ(masked[7], 0);
    EXPECT_EQ(masked[kErrorItems + 7], 0);
    EXPECT_EQ(masked[5], 0);
    EXPECT_EQ(masked[kErrorItems + 5], 0);
    EXPECT_EQ(FirstActiveError(masked, 20), -1);
    // Unmasked items keep their flags.
    masked = flags;
    mask = {};
    mask[7] = true;
    ApplyIgnoreMask(masked, mask);
    EXPECT_EQ(masked[5], 1);
    EXPECT_EQ(masked[kErrorItems + 5], 2);
    EXPECT_EQ(FirstActiveError(masked, 20), 5);
}
