// The control layout file's reader, without widgets: fields, records, the
// reading rules, and the values its properties take.
#include "mainwindow/controller/ControlLayout.h"

#include <gtest/gtest.h>

using namespace gascal;

namespace {

const QString kStart = QStringLiteral("[Sessione pagina Expert]");
const QString kEnd = QStringLiteral("[Fine pagina Expert]");

// The page has TxtPw, CmbBadBit and the array Opt(0), Opt(1).
bool PageHas(const QString& name, std::optional<int> index) {
    if (index) return name == "Opt" && (*index == 0 || *index == 1);
    return name == "TxtPw" || name == "CmbBadBit";
}

std::vector<LayoutRecord> Read(const QStringList& lines) {
    return ReadLayoutRecords(lines, kStart, kEnd, PageHas);
}

QStringList Record(const char* name, const char* index, const QStringList& body) {
    return QStringList{"[Name]", name, "[Index]", index} + body + QStringList{"[EndName]"};
}

}  // namespace

TEST(ControlLayout, FieldsEndAtACommaOrTheEndOfTheLine) {
    EXPECT_EQ(LayoutFields({" 1200,5 ", "", "[Width]", "a , b,"}),
              QStringList({"1200", "5", "", "[Width]", "a", "b", ""}));
}

TEST(ControlLayout, RecordsFollowTheReadingRules) {
    using V = LayoutValue;
    using K = LayoutKey;
    struct Case {
        const char* what;
        QStringList lines;
        std::vector<LayoutRecord> expected;
    };
    const QStringList cmbBadBit = Record("CmbBadBit", "x", {"[Left]", "600", "[Top]", "900"});
    const Case cases[] = {
        {"a control in no array: the index is not a number",
         QStringList{kStart} + cmbBadBit + QStringList{kEnd},
         {{"CmbBadBit", std::nullopt, {V{K::Left, "600"}, V{K::Top, "900"}}}}},
        {"an element of a control array",
         QStringList{kStart} + Record("Opt", "1", {"[Visible]", "False"}),
         {{"Opt", 1, {V{K::Visible, "False"}}}}},
        {"an index beyond the array names no control",
         QStringList{kStart} + Record("Opt", "2", {"[Visible]", "False"}),
         {}},
        {"lines before the start line are ignored", cmbBadBit + QStringList{kStart}, {}},
        {"records after the end line are not read", QStringList{kStart, kEnd} + cmbBadBit, {}},
        {"no start line: nothing", cmbBadBit, {}},
        {"an empty value leaves its property",
         QStringList{kStart} + Record("TxtPw", "x", {"[Width]", " ", "[Height]", "400"}),
         {{"TxtPw", std::nullopt, {V{K::Height, "400"}}}}},
        {"a decimal comma ends the value, the rest is another line",
         QStringList{kStart} + Record("TxtPw", "x", {"[Width]", "1200,5", "[Alignment]", "2"}),
         {{"TxtPw", std::nullopt, {V{K::Width, "1200"}, V{K::Alignment, "2"}}}}},
        {"other lines within a record are skipped",
         QStringList{kStart} +
             Record("TxtPw", "x",
                    {"; a note", "[Colour]", "[BackColor]", "255", "[ForeColor]", "&HFF00&"}),
         {{"TxtPw", std::nullopt, {V{K::BackColor, "255"}, V{K::ForeColor, "&HFF00&"}}}}},
        {"a record of an unknown control is read like other lines",
         QStringList{kStart} +
             Record("Nothing", "x",
                    {"[Width]", "[Name]", "TxtPw", "[Index]", "x", "[Top]", "15", "[EndName]"}),
         {{"TxtPw", std::nullopt, {V{K::Top, "15"}}}}},
        {"the visibility is kept even when it is no truth value",
         QStringList{kStart} + Record("TxtPw", "x", {"[Visible]", ""}),
         {{"TxtPw", std::nullopt, {V{K::Visible, ""}}}}},
        {"a record cut short by the end line keeps what was read",
         QStringList{kStart, "[Name]", "TxtPw", "[Index]", "x", "[Left]", "30", kEnd, "[Top]",
                     "45"},
         {{"TxtPw", std::nullopt, {V{K::Left, "30"}}}}},
        {"a key whose value would be the end line stops the reading",
         QStringList{kStart, "[Name]", "TxtPw", "[Index]", "x", "[Left]", kEnd, "[Top]", "45"},
         {{"TxtPw", std::nullopt, {}}}},
        {"a record cut short by the end of the file keeps what was read",
         QStringList{kStart, "[Name]", "TxtPw", "[Index]", "x", "[Left]", "30", "[Top]"},
         {{"TxtPw", std::nullopt, {V{K::Left, "30"}}}}},
        {"a name without its index lines is no record",
         QStringList{kStart, "[Name]", "TxtPw", "[Index]"},
         {}},
        {"keys are case-sensitive",
         QStringList{kStart} + Record("TxtPw", "x", {"[width]", "300"}),
         {{"TxtPw", std::nullopt, {}}}},
    };
    for (const Case& c : cases) EXPECT_EQ(Read(c.lines), c.expected) << c.what;
}

TEST(ControlLayout, ValuesAreReadAsTheirPropertiesTakeThem) {
    struct Truth {
        const char* text;
        std::optional<bool> expected;
    };
    for (const Truth& t :
         {Truth{"True", true}, Truth{"false", false}, Truth{"-1", true}, Truth{"0", false},
          Truth{"Vero", true}, Truth{"maybe", std::nullopt}, Truth{"", std::nullopt}})
        EXPECT_EQ(LayoutTruth(t.text), t.expected) << t.text;
    struct Number {
        const char* text;
        std::optional<long long> expected;
    };
    for (const Number& n :
         {Number{"1200", 1200}, Number{"-45", -45}, Number{"1200.6", 1201}, Number{"&HFF&", 255},
          Number{"&h8080FF", 0x8080FF}, Number{"&H", std::nullopt},
          Number{"&H123456789", std::nullopt}, Number{"12px", std::nullopt},
          Number{"", std::nullopt}, Number{"1e30", std::nullopt}})
        EXPECT_EQ(LayoutNumber(n.text), n.expected) << n.text;
}

TEST(ControlLayout, AMissingFileChangesNothing) {
    std::vector<LayoutRecord> records{{"TxtPw", std::nullopt, {}}};
    EXPECT_FALSE(
        ReadLayoutFile(QStringLiteral("/no/such/exp.cfg"), kStart, kEnd, PageHas, records));
    EXPECT_TRUE(records.empty());
}
