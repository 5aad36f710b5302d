#include "mainwindow/controller/ExpertModel.h"

#include <cmath>
#include <initializer_list>

#include "common/Helpers.h"
#include "common/Prompts.h"
#include "data/core/MicroInjection.h"
#include "data/core/ParamFields.h"
#include "data/core/ScaleConfig.h"
#include "ecu/EcuSession.h"
#include "ecu/RequestScheduler.h"
#include "mainwindow/controller/WindowTexts.h"

namespace gascal {

namespace {

using C = ExpertControl;
using K = ExpertKind;
using L = ExpertLevel;

constexpr ExpertControlInfo kControls[kExpertControls] = {
    {"ChkAbilComp", "VolCompEnable", K::Check, L::First},
    {"CmbpressVolRef", "VolCompPressRef", K::List, L::First},
    {"CmbtempVolRef", "VolCompTempRef", K::List, L::First},
    {"ChkMaxPower", "MaxPowerEnable", K::Check, L::First},
    {"CmbMaxPowerSoh", "MaxPowerThreshold", K::List, L::First},
    {"ChkMinRpmAbil", "MinPowerEnable", K::Check, L::First},
    {"CmbRpmHight", "MinPowerRpmHigh", K::List, L::First},
    {"CmbRpmLow", "MinPowerRpmLow", K::List, L::First},
    {"ChkAbilCompRpm", "RpmCompEnable", K::Check, L::First},
    {"CmbTypSensTemp", "TempSensorType", K::List, L::First},
    {"CmbTypSensMap", "MapSensorType", K::List, L::First},
    {"CmbBadBit", "BadBitStep", K::List, L::First},
    {"CmbSafetyCar", "SafetyCar", K::List, L::First},
    {"CmbTemperUnderPreInj", "PreInjTemp", K::List, L::Second},
    {"CmbValuePreInj", "PreInjTime", K::List, L::Second},
    {"CmbDefTimeSovra", "PreInjPeriod", K::List, L::Second},
    {"ChknotOsservaRpm", "NotObserveRpm", K::Check, L::Second},
    {"ChkversoComm", "SwitchDirection", K::Check, L::Second},
    {"ChkSingleChComm", "SemiSequential", K::Check, L::Second},
    {"Txtsoh_Tfra_Comm", "SohTfraComm", K::Text, L::Second},
    {"TxtSoh_Ton_Comm", "SohTonComm", K::Text, L::Second},
};

// The entries of the dictionary section "[FrmSetExpert]", in order, with
// the captions the page shows when the dictionary has none.
constexpr const char* kSectionMarker = "[FrmSetExpert]";
constexpr const char* kFirstCounterText = "TimeWork1";
constexpr const char* kSecondCounterText = "TimeWork2";
struct CaptionText {
    const char* name;
    const char* design;
};
constexpr CaptionText kCaptions[] = {
    {"ChkAbilComp", "Compensazione Volumetrica"},
    {"LblTempVo",
     "Temp. Vo (\xB0"
     "C)"},
    {"LblPressVo", "Pres. Vo (mbar)"},
    {"ChkMinRpmAbil", "Min power"},
    {"LblMinPowerSol", "Min RPM Low"},
    {"LblMinPowerSoh", "Min RPM Hight"},
    {"ChkMaxPower", "Max power"},
    {"ChkAbilCompRpm", "Compensa rpm"},
    {"LblTempSens", "Temper. sensor"},
    {"LblValuePreInj", "Preinj. Time (ms)"},
    {"LblTemperUnderPreInj",
     "Preinj.Temper (\xB0"
     "c)"},
    {"LblDefTimeSovra", "Preinj. Period (s)"},
    {"LblSogliaInj", "Microinj time (ms)"},
    {kFirstCounterText, "Gas"},
    {kSecondCounterText, "Petrol"},
    {"CmdClearHoursCnt", "Erase"},
    {"LblnotOsservaRpm", "notOsservaRpm"},
    {"LblversoComm", "versoComm"},
    {"ChkSingleChComm", "Semi sequential control"},
    {"Lblsoh_Tfra_Comm", "soh_Tfra_Comm  (x 8 uS)"},
    {"LblSoh_Ton_Comm", "Soh_Ton_Comm (x 8 uS)"},
    {"LblSafetyCar", "Safety car"},
};
constexpr int kCaptionCount = static_cast<int>(std::size(kCaptions));

// The item lists of the page.
constexpr double kPressFirst = 200, kPressLast = 3000, kPressStep = 50;
constexpr double kTempFirst = 30, kTempLast = 80, kTempStep = 2;
constexpr double kTempExtra[] = {100, 120};
constexpr double kPowerFirst = 2000, kPowerLast = 6800, kPowerStep = 200;
constexpr double kRpmHighFirst = 600, kRpmHighLast = 1500;
constexpr double kRpmLowFirst = 500, kRpmLowLast = 1400;
constexpr double kRpmStep = 100;
// Micro-injection: 0.6 to 3.0 ms in steps of 0.1 ms, step numbers 1 to 25.
constexpr double kBadBitLastMs = 3.0;
constexpr int kBadBitSteps = kBadBitLastStep - kBadBitFirstStep + 1;
static_assert(BadBitStepMs(kBadBitLastStep) > kBadBitLastMs - 1e-9 &&
                  BadBitStepMs(kBadBitLastStep) < kBadBitLastMs + 1e-9,
              "the bad-bit list runs from its first to its last time");
const char* const kTempSensors[] = {"10 Kohm", "4.7 Kohm"};
const char* const kMapSensors[] = {"5 bar", "1 bar", "Abs 4 bar"};

// The two switchover step boxes take a number of at least 0 and below
// 65534, converted to a whole count of one byte.
constexpr double kStepBoxLimit = 65534;
constexpr double kStepBoxLargestCount = 255;

constexpr long kOverflow = 6;  // error number of a value too large for its field
constexpr int kMinutesPerHour = 60;

QString OneDecimal(double v) {
    return QString::number(v, 'f', 1).replace(QLatin1Char('.'), DecimalSeparator());
}

EntryList Steps(double first, double last, double step) {
    EntryList l;
    const int n = static_cast<int>(std::lround((last - first) / step)) + 1;
    for (int i = 0; i < n; ++i) {
        const double v = first + i * step;
        l.push_back({ListText(v), v, 0});
    }
    return l;
}

EntryList Texts(std::initializer_list<QString> texts) {
    EntryList l;
    double i = 0;
    for (const QString& t : texts) l.push_back({t, i++, 0});
    return l;
}

// Items of a list of the scale configuration; an item that is no number
// cannot be stored and is left out.
EntryList Items(const QStringList& texts) {
    EntryList l;
    for (const QString& t : texts)
        if (const auto v = ListNumber(t)) l.push_back({t.trimmed(), *v, 0});
    return l;
}

Block BlockOf(int block) {
    switch (block) {
        case 2:
            return Block::Mem2;
        case 5:
            return Block::Mem5;
        default:
            return Block::Mem3;
    }
}

// The whole count the "\" operator gives: the value rounded, then divided.
long long Hours(double minutes) {
    return static_cast<long long>(std::nearbyint(minutes)) / kMinutesPerHour;
}

}  // namespace

const ExpertControlInfo& ExpertControlSpec(ExpertControl c) {
    return kControls[static_cast<size_t>(c)];
}

ExpertModel::ExpertModel(EcuSession& session, RequestScheduler& scheduler)
    : session_(session), scheduler_(scheduler) {}

// --- Texts ----------------------------------------------------------------------------

std::vector<std::pair<QString, QString>> ExpertModel::Captions() const {
    QStringList designs;
    for (const CaptionText& c : kCaptions) designs << QString::fromLatin1(c.design);
    const QStringList texts = session_.SectionTexts(QString::fromLatin1(kSectionMarker), designs);
    std::vector<std::pair<QString, QString>> out;
    for (int i = 0; i < kCaptionCount; ++i)
        out.emplace_back(QString::fromLatin1(kCaptions[i].name), texts.value(i));
    return out;
}

QString ExpertModel::ChangeEcuModeCaption() const {
    return WindowText(session_, WinText::CmdChangeStatoEcu);
}

void ExpertModel::ShowTimeWork(double counter1, double counter2) {
    QString first, second;
    for (const auto& [name, text] : Captions()) {
        if (name == QLatin1String(kFirstCounterText)) first = text;
        if (name == QLatin1String(kSecondCounterText)) second = text;
    }
    const QString t = second + QStringLiteral(": ") + QString::number(Hours(counter2)) +
                      QStringLiteral("\r\n") + first + QStringLiteral(": ") +
                      QString::number(Hours(counter1));
    if (t == timeWork_) return;
    timeWork_ = t;
    emit timeWorkChanged(timeWork_);
}

// --- Password ---------------------------------------------------------------------------

ExpertLevel ExpertModel::EnterPassword(const QString& text) {
    // Compared exactly; the scale configuration, not the tool, holds them.
    const ScaleConfig& scale = session_.Scale();
    ExpertLevel reached = level_;
    if (text == scale.PassWord00)
        reached = ExpertLevel::First;
    else if (text == scale.PassWord01)
        reached = ExpertLevel::Second;
    else
        return level_;
    level_ = reached;
    emit levelChanged(level_);
    return level_;
}

bool ExpertModel::Open(ExpertControl c) const {
    return !filling_ && Unlocked(ExpertControlSpec(c).level) && State(c).enabled;
}

// --- Fields -------------------------------------------------------------------------------

ParamFieldRef ExpertModel::Field(ExpertControl c) const {
    const auto ref = FindParamField(QString::fromLatin1(ExpertControlSpec(c).field));
    return ref ? *ref : ParamFieldRef{};
}

double ExpertModel::ShownValue(ExpertControl c) const {
    const ParamFieldRef ref = Field(c);
    if (!ref.field) return 0;
    const PendingEditsRecord shown = session_.Image().Shown();
    switch (ref.field->block) {
        case 2:
            return ref.field->Get(shown.Mem2Block, ref.index);
        case 3:
            return ref.field->Get(shown.Mem3Block, ref.index);
        case 5:
            return ref.field->Get(shown.Mem5Block, ref.index);
        default:
            return 0;
    }
}

bool ExpertModel::Store(ExpertControl c, double value, const QString& shownAs) {
    const ParamFieldRef ref = Field(c);
    if (!ref.field) return false;
    ParamImage& image = session_.Image();
    const FieldRange range = ref.field->Range(image);
    constexpr double kSlack = 1e-9;
    // A list item of the scale configuration that the ECU's field cannot
    // carry is refused rather than sent as some other value.
    if (!(value >= range.min - kSlack && value <= range.max + kSlack) ||
        !ref.field->StorePending(image, ref.index, value)) {
        ErrorReport(QString::fromLatin1(ExpertControlSpec(c).name) + QStringLiteral("_Click_Err"),
                    QString(), false, kOverflow, QStringLiteral("Overflow (%1)").arg(shownAs));
        return false;
    }
    scheduler_.StartWriteDelay(BlockOf(ref.field->block));
    return true;
}

QString ExpertModel::CountText(ExpertControl c) const {
    // The boxes show the time in counts of the injection time unit (8 us),
    // as their labels say; the image holds it in ms.
    const double k = session_.Image().KInj;
    return QString::number(std::llround(ShownValue(c) / k));
}

// --- Filling ------------------------------------------------------------------------------

void ExpertModel::BuildLists() {
    St(C::CmbpressVolRef).items = Steps(kPressFirst, kPressLast, kPressStep);
    EntryList temp = Steps(kTempFirst, kTempLast, kTempStep);
    for (double v : kTempExtra) temp.push_back({ListText(v), v, 0});
    St(C::CmbtempVolRef).items = temp;
    St(C::CmbMaxPowerSoh).items = Steps(kPowerFirst, kPowerLast, kPowerStep);
    St(C::CmbTypSensTemp).items =
        Texts({QString::fromLatin1(kTempSensors[0]), QString::fromLatin1(kTempSensors[1])});
    St(C::CmbTypSensMap).items =
        Texts({QString::fromLatin1(kMapSensors[0]), QString::fromLatin1(kMapSensors[1]),
               QString::fromLatin1(kMapSensors[2])});
    St(C::CmbSafetyCar).items =
        Texts({session_.Caption(Cap::EmptyGasPetrol), session_.Caption(Cap::EmptyGasCompensate)});
    EntryList badBit;
    for (int i = 0; i < kBadBitSteps; ++i) {
        const double ms = BadBitStepMs(kBadBitFirstStep + i);
        badBit.push_back({OneDecimal(ms), ms, 0});
    }
    St(C::CmbBadBit).items = badBit;
    St(C::CmbRpmHight).items = Steps(kRpmHighFirst, kRpmHighLast, kRpmStep);
    St(C::CmbRpmLow).items = Steps(kRpmLowFirst, kRpmLowLast, kRpmStep);

    // The pre-injection lists are the scale configuration's as the file
    // says now (the defaults when it has none).
    ScaleConfig file;
    file.Load(SystemPath(QString::fromLatin1(kScaleFilePath)));
    St(C::CmbTemperUnderPreInj).items = Items(file.PreInjTempItems);
    EntryList times;
    for (double v : file.PreInjTimeItems) times.push_back({ListText(v), v, 0});
    St(C::CmbValuePreInj).items = times;
    St(C::CmbDefTimeSovra).items = Items(file.PreInjPeriodItems);
}

void ExpertModel::Show(ExpertControl c) {
    ExpertControlState& s = St(c);
    const double v = ShownValue(c);
    switch (c) {
        case C::CmbpressVolRef:
        case C::CmbtempVolRef:
        case C::CmbMaxPowerSoh:
            // A value above every item is listed as an item of its own.
            s.selected = FirstAtLeast(s.items, v);
            if (s.selected < 0) {
                s.items.push_back({ListText(v), v, 0});
                s.selected = static_cast<int>(s.items.size()) - 1;
            }
            break;
        case C::CmbTypSensTemp:
            // Any other value leaves the list as it is.
            if (v == 0 || v == 1) s.selected = static_cast<int>(v);
            break;
        case C::CmbTypSensMap:
            s.selected = v >= 0 && v <= 2 ? static_cast<int>(v) : -1;
            break;
        case C::CmbBadBit:
            s.selected = v >= kBadBitFirstStep && v <= kBadBitLastStep
                             ? static_cast<int>(v) - kBadBitFirstStep
                             : -1;
            break;
        case C::CmbSafetyCar:
            s.selected = v != 0 ? 1 : 0;
            break;
        case C::CmbValuePreInj:
            // One count of the injection time unit of tolerance.
            s.selected = FirstAtLeast(s.items, v - session_.Image().KInj);
            break;
        case C::CmbRpmHight:
        case C::CmbRpmLow:
        case C::CmbTemperUnderPreInj:
        case C::CmbDefTimeSovra:
            s.selected = FirstAtLeast(s.items, v);
            break;
        case C::Txtsoh_Tfra_Comm:
        case C::TxtSoh_Ton_Comm:
            s.text = CountText(c);
            s.editing = false;
            break;
        case C::ChkAbilComp:
        case C::ChkMaxPower:
        case C::ChkMinRpmAbil:
        case C::ChkAbilCompRpm:
        case C::ChknotOsservaRpm:
        case C::ChkversoComm:
        case C::ChkSingleChComm:
            s.checked = v != 0;
            break;
        case C::Count:
            break;
    }
}

void ExpertModel::Form_Activate() {
    filling_ = true;
    emit busy(true);
    for (ExpertControlState& s : states_) s.selected = -1;
    BuildLists();
    // Block 5 is written only to an ECU whose firmware has it: on any other
    // its controls take no change that could never be sent.
    const bool block5 = session_.HasBlock5();
    for (int i = 0; i < kExpertControls; ++i) {
        const auto c = static_cast<ExpertControl>(i);
        const ParamFieldRef ref = Field(c);
        St(c).enabled = ref.field && (ref.field->block != 5 || block5);
        Show(c);
    }
    const PendingEditsRecord shown = session_.Image().Shown();
    // The volumetric compensation is there only with an empty-gas mode
    // other than 0 (the Configuration tab's "empty gas" list).
    const bool volComp = shown.Mem3Block.EmptyGasMode != 0;
    for (const ExpertControl c : {C::ChkAbilComp, C::CmbpressVolRef, C::CmbtempVolRef})
        St(c).shown = volComp;
    ShowTimeWork(shown.Mem2Block.HoursCounter1, shown.Mem2Block.HoursCounter2);
    filling_ = false;
    emit busy(false);
    emit filled();
}

// --- Change handlers ------------------------------------------------------------------------

void ExpertModel::ListPicked(ExpertControl c, int index) {
    if (!Open(c) || ExpertControlSpec(c).kind != K::List) return;
    ExpertControlState& s = St(c);
    if (index < 0 || index >= static_cast<int>(s.items.size())) return;
    const ListEntry& item = s.items[static_cast<size_t>(index)];
    double value = item.value;
    if (c == C::CmbBadBit) value = BadBitStepOfMs(item.value);
    if (!Store(c, value, item.text)) {
        Show(c);
        emit controlChanged(c);
        return;
    }
    s.selected = index;
    // The low speed of the minimum power stays below the high one.
    const auto follow = [this](ExpertControl other, int to) {
        ExpertControlState& o = St(other);
        if (to < 0 || to >= static_cast<int>(o.items.size())) return;
        o.selected = to;
        Store(other, o.items[static_cast<size_t>(to)].value, o.items[static_cast<size_t>(to)].text);
        emit controlChanged(other);
    };
    if (c == C::CmbRpmHight && index < St(C::CmbRpmLow).selected) follow(C::CmbRpmLow, index);
    if (c == C::CmbRpmLow && index > St(C::CmbRpmHight).selected) follow(C::CmbRpmHight, index);
}

void ExpertModel::CheckClicked(ExpertControl c, bool ticked) {
    if (!Open(c) || ExpertControlSpec(c).kind != K::Check) return;
    if (c == C::ChkSingleChComm && session_.Image().Mem1Block.KeyOn != 0) {
        // Not with the ignition key on: nothing is stored, the box shows
        // what the ECU has again.
        UserPrompts().Message(WindowText(session_, WinText::MsgSemiSequentialKeyOn),
                              WindowCaption(), BoxIcon::Critical);
        session_.Comm().LoadWDogSend();
        Show(c);
        emit controlChanged(c);
        return;
    }
    if (Store(c, ticked ? 1 : 0, ticked ? QStringLiteral("1") : QStringLiteral("0")))
        St(c).checked = ticked;
    else
        Show(c);
    emit controlChanged(c);
}

void ExpertModel::TextTyped(ExpertControl c) {
    if (!Open(c) || ExpertControlSpec(c).kind != K::Text || St(c).editing) return;
    St(c).editing = true;
    emit controlChanged(c);
}

void ExpertModel::TextEntered(ExpertControl c, const QString& text) {
    if (!Open(c) || ExpertControlSpec(c).kind != K::Text) return;
    const auto v = ListNumber(text);
    if (v && *v >= 0 && *v < kStepBoxLimit) {
        // The count goes into one byte: a larger number is refused like
        // any other unusable entry instead of being cut to a different one.
        const double count = std::nearbyint(*v);
        if (count <= kStepBoxLargestCount)
            Store(c, count * session_.Image().KInj, QString::number(count));
    }
    // The box shows the value it now stands for, in the window colour.
    Show(c);
    emit controlChanged(c);
}

void ExpertModel::CmdClearHoursCnt_Click() {
    if (filling_ || !Unlocked(ExpertLevel::Second)) return;
    // The hour counters are the ECU's own: no page stores them, except this
    // erase, which the ECU takes as -1 (FF FF FF FF).
    ParamImage& image = session_.Image();
    for (const char* name : {"HoursCounter1", "HoursCounter2"})
        if (const auto ref = FindParamField(QString::fromLatin1(name)))
            ref->field->SetPendingValue(image.PendingEdits, ref->index, -1);
    ShowTimeWork(0, 0);
    scheduler_.StartWriteDelay(Block::Mem2);
}

void ExpertModel::CmdChangeStatoEcu_Click() {
    if (filling_ || !Unlocked(ExpertLevel::Second)) return;
    scheduler_.Post(Request::EcuMode);
}

}  // namespace gascal
