#include "mainwindow/controller/SwitchLists.h"

#include <gtest/gtest.h>

#include "common/Helpers.h"
#include "data/core/ScaleConfig.h"

using namespace gascal;

namespace {
QStringList Texts(const EntryList& l) {
    QStringList out;
    for (const auto& e : l) out << e.text;
    return out;
}
QString Dec(const char* s) {
    return QString::fromLatin1(s).replace('.', DecimalSeparator());
}
}  // namespace

TEST(SwitchLists, BuiltInListsWhenTheFileHasNoSections) {
    ScaleConfig scale;
    SwitchLists l;
    ASSERT_TRUE(l.Fill({}, scale, "None", {"Petrol", "Compensate"}));
    ASSERT_EQ(l.rpm.size(), 15u);
    EXPECT_EQ(l.rpm.front().value, 0);
    EXPECT_EQ(l.rpm.back().value, 3000);
    EXPECT_EQ(l.temp.size(), 11u);
    EXPECT_EQ(Texts(l.cylinders), (QStringList{"1", "2", "3", "4", "5", "6", "8"}));
    EXPECT_EQ(l.bar[7].text, Dec("0.8"));
    EXPECT_DOUBLE_EQ(l.bar[7].value, 0.8);
    EXPECT_EQ(l.delayPress.size(), 18u);
    EXPECT_EQ(l.force.back().value, 600);
    EXPECT_TRUE(l.seq.empty());
    // No lambda types in the file: the language's name, then the built-in four.
    EXPECT_EQ(Texts(l.lambda),
              (QStringList{"None", "0..0,8", "0..5 Direct", "0..5 Inverted", "0,8..1,6"}));
    EXPECT_EQ(l.lambda[2].code, 2);
    ASSERT_EQ(l.shoRpmPairs.size(), 1u);
    EXPECT_EQ(l.shoRpmPairs[0], std::make_pair(2200, 2700));
    EXPECT_EQ(Texts(l.emptyGas), (QStringList{"Petrol", "Compensate"}));
}

TEST(SwitchLists, LambdaListFollowsTheInstallationsTypes) {
    SwitchLists l;
    {
        // Entry 0 still the reader's placeholder, one more type in the file:
        // the usual list, each entry with the code of the type at its index.
        ScaleConfig scale;
        LambdaTypeEntry none, second;
        none.Name = "NULL";
        second.Name = "Wide band";
        second.Code = 9;
        scale.LambdaType = {none, none, second};
        ASSERT_TRUE(l.Fill({}, scale, "None", {}));
        EXPECT_EQ(Texts(l.lambda),
                  (QStringList{"None", "0..0,8", "0..5 Direct", "0..5 Inverted", "0,8..1,6"}));
        EXPECT_EQ(l.lambda.at(2).code, 9);
        EXPECT_EQ(l.lambda.at(4).code, 4);
    }
    {
        // The installation names its own types, entry 0 included: only those.
        ScaleConfig scale;
        LambdaTypeEntry zero, narrow;
        zero.Name = "Nessuna";
        narrow.Name = "Narrow band";
        narrow.Code = 3;
        scale.LambdaType = {zero};
        ASSERT_TRUE(l.Fill({}, scale, "None", {}));
        EXPECT_EQ(Texts(l.lambda), (QStringList{"Nessuna"}));
        scale.LambdaType = {zero, narrow};
        ASSERT_TRUE(l.Fill({}, scale, "None", {}));
        EXPECT_EQ(Texts(l.lambda), (QStringList{"Nessuna", "Narrow band"}));
        EXPECT_EQ(l.lambda.at(1).code, 3);
    }
}

TEST(SwitchLists, SectionsOfTheFileReplaceTheDefaults) {
    ScaleConfig scale;
    SwitchLists l;
    const QStringList lines{"; comment",
                            "[RPM DI COMM.]",
                            "1000|1500|2000",
                            "[SEQUENZA COMMUTAZIONE]",
                            "5|10|15|20",
                            "[PRESSIONI DI FINE GAS]",
                            "0,5|1,0",
                            "[SOGLIA RITARDO TEMP. DI COMM.]",
                            "35"};
    ASSERT_TRUE(l.Fill(lines, scale, "None", {}));
    EXPECT_EQ(Texts(l.rpm), (QStringList{"1000", "1500", "2000"}));
    ASSERT_EQ(l.seq.size(), 4u);
    EXPECT_DOUBLE_EQ(l.seq[2].value, 1.5);  // shown divided by 10
    EXPECT_EQ(l.seq[2].text, Dec("1.5"));
    EXPECT_DOUBLE_EQ(l.bar[1].value, 1.0);
    EXPECT_EQ(l.temp.size(), 11u);  // no section: built in
    EXPECT_DOUBLE_EQ(l.DelayThreshold(), 35);
}

TEST(SwitchLists, DelayTableFollowsTheThreshold) {
    ScaleConfig scale;
    SwitchLists l;
    ASSERT_TRUE(l.Fill({}, scale, "None", {}));
    EXPECT_EQ(l.DelayTableFor(40).front().value, 60);  // threshold 40 not above 40
    EXPECT_EQ(l.DelayTableFor(45).front().value, 60);
    EXPECT_EQ(l.DelayTableFor(35).front().value, 20);
    // Compared as numbers: a three-digit temperature is above a two-digit threshold.
    EXPECT_EQ(l.DelayTableFor(100).front().value, 60);
}

TEST(SwitchLists, BadItemsAreReportedAndSkipped) {
    ScaleConfig scale;
    SwitchLists l;
    QString err;
    EXPECT_FALSE(l.Fill({"[FORZA COMM.]", "0|x1|60"}, scale, "None", {}, &err));
    EXPECT_TRUE(err.contains("x1"));
    EXPECT_EQ(Texts(l.force), (QStringList{"0", "60"}));
}

TEST(SwitchLists, ShowingAValueSelectsTheFirstEntryAtLeastIt) {
    EntryList l{{"10", 10, 0}, {"20", 20, 0}, {"30", 30, 0}};
    EXPECT_EQ(FirstAtLeast(l, 0), 0);
    EXPECT_EQ(FirstAtLeast(l, 20), 1);
    EXPECT_EQ(FirstAtLeast(l, 20.5), 2);
    EXPECT_EQ(FirstAtLeast(l, 31), -1);
    EntryList types{{"A", 0, 4}, {"B", 0, 7}};
    EXPECT_EQ(IndexOfCode(types, 7), 1);
    EXPECT_EQ(IndexOfCode(types, 5), -1);
    EXPECT_FALSE(ListNumber("abc").has_value());
    EXPECT_DOUBLE_EQ(*ListNumber("1.5"), 1.5);
    EXPECT_DOUBLE_EQ(*ListNumber("2,25"), 2.25);
}
