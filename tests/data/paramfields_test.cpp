// The table of the image's fields: every field of every block read from its
// place and written back byte for byte, every settable field stored by name
// reaching its place, the acknowledgement of a write field by field, and the
// names.
#include "data/core/ParamFields.h"

#include <gtest/gtest.h>

#include <optional>
#include <set>

#include "FakeParamLink.h"
#include "common/Helpers.h"
#include "data/core/ParamImageHost.h"
#include "data/core/ParamRequests.h"

using namespace gascal;
using gascal::testing::FakeParamLink;

namespace {

QString H8(int v) {
    return BytesToHex(std::vector<uint8_t>{uint8_t(v & 0xFF)});
}
QString H16(int v) {  // also a negative number as its 16-bit two's complement
    return BytesToHex(std::vector<uint8_t>{uint8_t(v & 0xFF), uint8_t((v >> 8) & 0xFF)});
}
QString H32(uint32_t v) {
    return BytesToHex(
        std::vector<uint8_t>{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)});
}

constexpr double kInj = 0.008, kPwm = 0.5, kTimer = 0.025, kLambda = 0.001;
constexpr double kSupply = 33.6 / 1024, kOffset = 0.6;

// One element as the ECU answers it (`wireA`, read as `a`) and as it goes
// out after `b` was stored by name (`wireB`; empty for a field the ECU
// reports, which cannot be stored). Rows are listed in wire order, so a
// block is its rows' bytes one after the other. Unsigned words above 32767
// and negative signed ones tell the two kinds of word apart.
struct Row {
    QString name;
    QString wireA;
    double a;
    QString wireB;
    double b;
};

// A reported field: read only.
Row Reported(const QString& name, const QString& wire, double value) {
    return {name, wire, value, QString(), 0};
}

// An array of 8 that travels element 7 first; `row(i)` gives element i.
template <class F>
void AddLastFirst(std::vector<Row>& rows, F row) {
    for (int i = 7; i >= 0; --i) rows.push_back(row(i));
}

std::vector<Row> Block2Rows() {
    return {
        {"WorkMode", H8(3), 3, H8(0), 0},
        Reported("Mem2Byte1", H8(3), 3),
        Reported("EcuMode", H8(1), 1),
        Reported("HoursCounter1", H32(0x12345678), 0x12345678),
        Reported("HoursCounter2", H32(3000000000u), 3000000000.0),
        {"RpmCompEnable", H8(1), 1, H8(0), 0},
        {"VacuumAcqEnable", H8(0), 0, H8(1), 1},
        Reported("CutOff", H8(1), 1),
    };
}

// First answer: 2 coils on 4 cylinders (RpmConstant 7 500 000), switchover
// period 2500 = 3000 rpm. Stored: 4 coils on 6 cylinders (10 000 000), so
// 2500 rpm goes out as period 4000.
std::vector<Row> Block3Rows() {
    std::vector<Row> r = {
        {"NumCoils", H8(2), 2, H8(4), 4},
        {"NumCylinders", H8(4), 4, H8(6), 6},
        {"SwitchTempRaw", H16(40), 40, H16(50000), 50000},
        {"SwitchRpm", H16(2500), 3000, H16(4000), 2500},
        {"InjTypeCode", H8(2), 2, H8(17), 17},
        {"FuelType", H8(1), 1, H8(0), 0},
        {"InjOpenTime", H16(250), 250 * kInj, H16(0x9234), 0x9234 * kInj},
        {"InjPwmTime1", H16(3), 3 * kPwm, H16(40), 40 * kPwm},
        {"InjPwmTime2", H16(2), 2 * kPwm, H16(0xABCD), 0xABCD * kPwm},
    };
    AddLastFirst(r, [](int i) {
        const int b = (i * 3) % 5;
        return Row{QStringLiteral("InjEnable%1").arg(i), H8(i + 1), double(i + 1), H8(b),
                   double(b)};
    });
    // Element 0 and 7 at the ends of the signed range.
    AddLastFirst(r, [](int i) {
        const int a = i == 0 ? -32768 : i == 7 ? 32767 : (i - 4) * 3;
        const int b = i * 5 - 17;
        return Row{QStringLiteral("InjTrim%1").arg(i), H16(a), a * kInj, H16(b), b * kInj};
    });
    r.push_back({"LevelTypeCode", H8(1), 1, H8(4), 4});
    r.push_back(Reported("Mem3Byte39", H8(9), 9));
    // The level thresholds travel element 0 first.
    const int thrA[6] = {100, 200, 300, 400, 500, 60000};
    const int thrB[6] = {0, 1, 2, 65535, 40000, 7};
    for (int k = 0; k < 6; ++k)
        r.push_back({QStringLiteral("LevelThresholds%1").arg(k), H16(thrA[k]), double(thrA[k]),
                     H16(thrB[k]), double(thrB[k])});
    const std::vector<Row> rest = {
        {"VolCompEnable", H8(1), 1, H8(0), 0},
        {"VolCompPressRef", H16(1000), 1000, H16(33000), 33000},
        {"SwitchDelay", H16(2400), 2400 * kTimer, H16(1), kTimer},
        {"VolCompTempRef", H16(20), 20, H16(25), 25},
        {"ForceTime", H16(1200), 1200 * kTimer, H16(65535), 65535 * kTimer},
        {"LambdaTypeCode", H8(2), 2, H8(7), 7},
        {"SwitchPressRaw", H16(800), 800, H16(45000), 45000},
        {"SwitchPressDelay", H16(40), 40 * kTimer, H16(0xC000), 0xC000 * kTimer},
        {"SafetyCar", H8(1), 1, H8(0), 0},
        {"EmptyGasMode", H8(2), 2, H8(3), 3},
        {"MaxPowerEnable", H8(1), 1, H8(0), 0},
        {"MaxPowerThreshold", H16(4000), 4000, H16(65000), 65000},
        {"TempSensorType", H8(1), 1, H8(2), 2},
        {"MapSensorType", H8(2), 2, H8(3), 3},
        {"BadBitStep", H8(3), 3, H8(5), 5},
    };
    r.insert(r.end(), rest.begin(), rest.end());
    return r;
}

std::vector<Row> Block5Rows() {
    return {
        {"NotObserveRpm", H8(1), 1, H8(0), 0},
        {"SwitchDirection", H8(0), 0, H8(1), 1},
        {"SemiSequential", H8(1), 1, H8(0), 0},
        {"SohTfraComm", H16(125), 125 * kInj, H16(0x8100), 0x8100 * kInj},
        {"SohTonComm", H16(250), 250 * kInj, H16(300), 300 * kInj},
        {"PreInjPeriod", H16(-1), -kTimer, H16(400), 400 * kTimer},
        {"PreInjTime", H16(100), 100 * kInj, H16(50), 50 * kInj},
        {"PreInjTemp", H16(-5), -5, H16(15), 15},
        {"SwitchSequence", H8(60), 60, H8(40), 40},
        {"ShowRpmHigh", H16(3000), 3000, H16(40000), 40000},
        {"ShowRpmLow", H16(2500), 2500, H16(2200), 2200},
        {"MinPowerEnable", H8(1), 1, H8(0), 0},
        {"MinPowerRpmHigh", H16(33000), 33000, H16(1000), 1000},
        {"MinPowerRpmLow", H16(700), 700, H16(600), 600},
    };
}

class ParamFieldsTest : public ::testing::Test {
  protected:
    ParamFieldsTest() {
        image.SetHost(&host);
        image.KInj = kInj;
        image.KPwm = kPwm;
        image.KTimer = kTimer;
        image.KLambda = kLambda;
        image.KSupply = kSupply;
        image.InjOffset = kOffset;
        image.PetrolControlEnabled = true;
    }
    void Decode(int block, const QString& hex) {
        switch (block) {
            case 1:
                image.DecodeMem1(hex);
                break;
            case 2:
                image.DecodeMem2(hex);
                break;
            case 3:
                image.DecodeMem3(hex);
                break;
            case 5:
                image.DecodeMem5(hex);
                break;
            default:
                FAIL() << block;
        }
    }
    ParamFieldRef Find(const QString& name) {
        const auto ref = FindParamField(name);
        EXPECT_TRUE(ref.has_value()) << name.toStdString();
        return ref.value_or(ParamFieldRef{});
    }

    RecordingImageHost host;
    ParamImage image;
};

}  // namespace

TEST_F(ParamFieldsTest, EveryFieldReadsFromItsPlaceAndGoesOutAgainByteForByte) {
    const struct {
        int block;
        std::vector<Row> rows;
    } blocks[] = {{2, Block2Rows()}, {3, Block3Rows()}, {5, Block5Rows()}};
    for (const auto& [block, rows] : blocks) {
        SCOPED_TRACE(block);
        QString wireA;
        for (const Row& r : rows) wireA += r.wireA;
        ASSERT_EQ(wireA.size(), 2 * BlockBytes(block));
        Decode(block, wireA);
        for (const Row& r : rows) {
            const ParamFieldRef ref = Find(r.name);
            ASSERT_TRUE(ref.field);
            EXPECT_EQ(ref.field->block, block) << r.name.toStdString();
            EXPECT_NEAR(ref.field->ImageValue(image, ref.index), r.a, 1e-9) << r.name.toStdString();
        }
        EXPECT_EQ(BytesToHex(image.BuildPayload(block)), wireA);

        // Every settable element, stored by name, goes out at its own place;
        // the fields the ECU reports go out as read.
        QString wireB;
        for (const Row& r : rows) {
            const ParamFieldRef ref = Find(r.name);
            ASSERT_TRUE(ref.field);
            const bool stored = ref.field->StorePending(image, ref.index, r.b);
            EXPECT_EQ(stored, !r.wireB.isEmpty()) << r.name.toStdString();
            wireB += stored ? r.wireB : r.wireA;
        }
        const PendingEditsRecord carried = image.PendingEdits;
        EXPECT_EQ(BytesToHex(image.BuildPayload(block)), wireB);
        for (const Row& r : rows) {
            if (r.wireB.isEmpty()) continue;
            const ParamFieldRef ref = Find(r.name);
            EXPECT_NEAR(ref.field->ImageValue(image, ref.index), r.b, 1e-9) << r.name.toStdString();
        }
        image.AcknowledgeWrite(block, carried);
        EXPECT_EQ(image.PendingEdits, ParamImage::SentinelEdits());
    }
}

TEST_F(ParamFieldsTest, EveryLiveValueReadsFromItsPlace) {
    image.Mem3Block.NumCoils = 2;
    image.Mem3Block.NumCylinders = 4;
    image.RecomputeRpmConstant();  // 7 500 000
    std::vector<Row> rows;
    AddLastFirst(rows, [](int i) {
        return Reported(QStringLiteral("SignedInjTimes%1").arg(i), H16(-(i + 1)), -(i + 1) * kInj);
    });
    // A petrol time above 0 gets the opening offset back.
    AddLastFirst(rows, [](int i) {
        const int c = i == 0 ? 0 : i == 7 ? 40000 : 100 * (i + 1);
        return Reported(QStringLiteral("PetrolInjTimes%1").arg(i), H16(c),
                        c > 0 ? c * kInj + kOffset : 0);
    });
    AddLastFirst(rows, [](int i) {
        return Reported(QStringLiteral("SkippedRaw%1").arg(i), H16(10 + i), 10 + i);
    });
    AddLastFirst(rows, [](int i) {
        return Reported(QStringLiteral("GasInjTimes%1").arg(i), H16(-50 * i), -50 * i * kInj);
    });
    const std::vector<Row> rest = {
        Reported("Rpm", H16(2500), 3000),
        Reported("GasPressureRaw", H16(41200), 41200),
        Reported("VacuumRaw", H16(400), 400),
        Reported("LambdaVolts", H16(850), 850 * kLambda),
        Reported("KeyOn", H8(1), 1),
        Reported("Valve1Open", H8(2), 2),
        Reported("Valve2Open", H8(3), 3),
        Reported("LevelRaw", H16(512), 512),
        Reported("ReducerTemp", H16(-3), -3),
        Reported("GasTemp", H16(-12), -12),
        Reported("SupplyVolts", H16(427), 427 * kSupply),
        Reported("LevelAux", H16(33), 33),
    };
    rows.insert(rows.end(), rest.begin(), rest.end());
    QString wire;
    for (const Row& r : rows) wire += r.wireA;
    ASSERT_EQ(wire.size(), 2 * BlockBytes(1));
    Decode(1, wire);
    for (const Row& r : rows) {
        const ParamFieldRef ref = Find(r.name);
        ASSERT_TRUE(ref.field);
        EXPECT_EQ(ref.field->block, 1);
        EXPECT_TRUE(ref.field->ReadOnly()) << r.name.toStdString();
        EXPECT_NEAR(ref.field->Get(image.Mem1Block, ref.index), r.a, 1e-9) << r.name.toStdString();
        EXPECT_FALSE(ref.field->StorePending(image, ref.index, 1)) << r.name.toStdString();
    }
}

// A write is acknowledged field by field: each edit it carried is done, an
// element changed while the write was on its way stays pending with its new
// value. A write the ECU did not take leaves every edit pending.
TEST_F(ParamFieldsTest, AcknowledgedWriteClearsWhatItCarriedAndKeepsWhatChangedMeanwhile) {
    struct Edit {
        const char* name;
        double value;
    };
    struct Expect {
        const char* name;
        std::optional<double> pending;  // nothing: back to "unchanged"
    };
    const struct {
        int block;
        std::vector<Edit> before, during;
        std::vector<Expect> after;
        Edit sent;  // a value the ECU received
    } cases[] = {
        {3,
         {{"InjTrim2", 0.024}, {"InjTrim3", 0.04}, {"SwitchDelay", 30}, {"LevelThresholds5", 900}},
         {{"InjTrim3", 0.08}, {"ForceTime", 60}},
         {{"InjTrim2", {}},
          {"InjTrim3", 0.08},
          {"SwitchDelay", {}},
          {"LevelThresholds5", {}},
          {"ForceTime", 60}},
         {"InjTrim3", 0.04}},
        {5,
         {{"ShowRpmLow", 2000}, {"PreInjTemp", -10}},
         {{"PreInjTemp", -12}},
         {{"ShowRpmLow", {}}, {"PreInjTemp", -12}},
         {"PreInjTemp", -10}},
        // The fuel request is done with the acknowledgement even when a new
        // one was stored meanwhile.
        {2,
         {{"WorkMode", 3}, {"RpmCompEnable", 0}},
         {{"WorkMode", 0}, {"VacuumAcqEnable", 1}},
         {{"WorkMode", {}}, {"RpmCompEnable", {}}, {"VacuumAcqEnable", 1}},
         {"WorkMode", 3}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.block);
        image.ResetPendingEdits();
        FakeParamLink link(&image);
        ParamRequests requests(image, link);
        for (const Edit& e : c.before) {
            const ParamFieldRef ref = Find(e.name);
            ASSERT_TRUE(ref.field && ref.field->StorePending(image, ref.index, e.value));
        }
        const PendingEditsRecord stored = image.PendingEdits;

        link.answers = [](const FakeParamLink::Sent&, int) { return false; };
        EXPECT_FALSE(requests.WriteBlock(c.block));
        EXPECT_EQ(image.PendingEdits, stored);

        link.answers = [&](const FakeParamLink::Sent&, int) {
            for (const Edit& e : c.during) {
                const ParamFieldRef ref = Find(e.name);
                if (ref.field) ref.field->StorePending(image, ref.index, e.value);
            }
            return true;
        };
        ASSERT_TRUE(requests.WriteBlock(c.block));
        for (const Expect& e : c.after) {
            const ParamFieldRef ref = Find(e.name);
            ASSERT_TRUE(ref.field);
            EXPECT_DOUBLE_EQ(ref.field->PendingValue(image.PendingEdits, ref.index),
                             e.pending.value_or(ref.field->Sentinel()))
                << e.name;
        }
        // The ECU got what was pending when the payload was built.
        ParamImage ecu = image;
        ecu.SetHost(nullptr);
        const QString sentHex = BytesToHex(link.sent.back().data);
        if (c.block == 2) ecu.DecodeMem2(sentHex);
        if (c.block == 3) ecu.DecodeMem3(sentHex);
        if (c.block == 5) ecu.DecodeMem5(sentHex);
        const ParamFieldRef sent = Find(c.sent.name);
        ASSERT_TRUE(sent.field);
        EXPECT_NEAR(sent.field->ImageValue(ecu, sent.index), c.sent.value, 1e-9);

        // The next write carries what is left and clears it.
        link.answers = nullptr;
        ASSERT_TRUE(requests.WriteBlock(c.block));
        EXPECT_EQ(image.PendingEdits, ParamImage::SentinelEdits());
    }
}

TEST(ParamFieldTableTest, ElementNamesAreUniqueAndFindTheirOwnElement) {
    std::set<QString> names;
    for (int block : {1, 2, 3, 5}) {
        ASSERT_FALSE(ParamFieldsOfBlock(block).empty()) << block;
        for (const ParamField& f : ParamFieldsOfBlock(block)) {
            EXPECT_EQ(f.block, block);
            for (int i = 0; i < f.count; ++i) {
                const QString name = f.ElementName(i);
                EXPECT_TRUE(names.insert(name.toLower()).second) << name.toStdString();
                // Letter case is ignored.
                const auto ref = FindParamField(name.toUpper());
                ASSERT_TRUE(ref.has_value()) << name.toStdString();
                EXPECT_EQ(ref->field, &f);
                EXPECT_EQ(ref->index, i);
                EXPECT_EQ(ref->Name(), name);
            }
        }
    }
    EXPECT_EQ(names.size(), ParamFields().size() + 6 * 7 + 5);  // six arrays of 8, one of 6
    EXPECT_TRUE(ParamFieldsOfBlock(4).empty());
    // An array is found element by element only, under the record's own name.
    for (const char* unknown :
         {"InjTrim", "InjTrim8", "LevelThresholds6", "LevelThreshold0", "SampleTimeMs", ""})
        EXPECT_FALSE(FindParamField(QString::fromLatin1(unknown)).has_value()) << unknown;
}
