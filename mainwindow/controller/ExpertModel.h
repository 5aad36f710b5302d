// The expert settings page's model (FrmSetExpert), without widgets: the
// password levels, what each control shows and the change handlers.
//
// The page opens locked: only the password box shows. The first-level
// password ("[PassWord00]" of the scale configuration) opens the first
// frame (volumetric compensation, power limits, rpm compensation, sensor
// types, micro-injection, safety car, working hours), the second-level
// password ("[PassWord01]") both frames (pre-injection, rpm observation,
// switchover direction, semi-sequential control and its two times, erasing
// the hour counters, the ECU's mode). A handler of a control above the
// level reached does nothing.
//
// Each control shows and changes one field of the image's field table
// (ParamFields.h). A change stores the value in PendingEdits and starts the
// write delay of the field's block; the request scheduler reads the block
// fresh and writes it. While the page fills its controls the handlers do
// nothing. The controls show the image with the pending edits merged in, so
// a change not yet written stays shown when the page is filled again, and
// the pre-injection lists are read again from the scale configuration each
// time the page is activated.
#pragma once

#include <QObject>
#include <QString>
#include <array>
#include <utility>
#include <vector>

#include "mainwindow/controller/SwitchLists.h"

namespace gascal {

class EcuSession;
class RequestScheduler;
struct ParamFieldRef;

enum class ExpertLevel : uint8_t { Locked = 0, First = 1, Second = 2 };

// The controls that show a field, in the order of the page's table.
enum class ExpertControl : uint8_t {
    ChkAbilComp,
    CmbpressVolRef,
    CmbtempVolRef,
    ChkMaxPower,
    CmbMaxPowerSoh,
    ChkMinRpmAbil,
    CmbRpmHight,
    CmbRpmLow,
    ChkAbilCompRpm,
    CmbTypSensTemp,
    CmbTypSensMap,
    CmbBadBit,
    CmbSafetyCar,
    CmbTemperUnderPreInj,
    CmbValuePreInj,
    CmbDefTimeSovra,
    ChknotOsservaRpm,
    ChkversoComm,
    ChkSingleChComm,
    Txtsoh_Tfra_Comm,
    TxtSoh_Ton_Comm,
    Count
};
inline constexpr int kExpertControls = static_cast<int>(ExpertControl::Count);

enum class ExpertKind : uint8_t { Check, List, Text };

struct ExpertControlInfo {
    const char* name;   // the control's name
    const char* field;  // the field of the image it shows and changes
    ExpertKind kind;
    ExpertLevel level;  // the password level that opens it
};
const ExpertControlInfo& ExpertControlSpec(ExpertControl c);

// What a control shows.
struct ExpertControlState {
    bool enabled = true;  // false: a block-5 field on an ECU whose firmware has no block 5
    bool shown = true;    // false: volumetric compensation while the empty-gas mode is 0
    bool checked = false;
    EntryList items;
    int selected = -1;
    QString text;
    bool editing = false;  // a text box being typed in, not entered yet (yellow)
};

class ExpertModel : public QObject {
    Q_OBJECT
  public:
    ExpertModel(EcuSession& session, RequestScheduler& scheduler);

    // --- Password -------------------------------------------------------------
    ExpertLevel Level() const { return level_; }
    // TxtPw_KeyUp with Enter: the level the text opens; a wrong password
    // changes nothing.
    ExpertLevel EnterPassword(const QString& text);
    bool Unlocked(ExpertLevel needed) const { return level_ >= needed; }

    // --- Filling --------------------------------------------------------------
    // Form_Activate: every control from the image (with its pending edits),
    // the pre-injection lists read again from the scale configuration.
    void Form_Activate();
    bool Filling() const { return filling_; }
    const ExpertControlState& State(ExpertControl c) const { return states_[Index(c)]; }
    // LblTimeWork: both hour counters in hours.
    const QString& TimeWorkText() const { return timeWork_; }

    // The page's captions in the current language, by control name (the
    // design caption where the dictionary has none).
    std::vector<std::pair<QString, QString>> Captions() const;
    // The window caption (the title of the page's boxes too).
    static QString WindowCaption() { return QStringLiteral("SETTING"); }
    QString ChangeEcuModeCaption() const;

    // --- Change handlers ------------------------------------------------------
    void ListPicked(ExpertControl c, int index);
    void CheckClicked(ExpertControl c, bool ticked);
    // Typing in a text box (it turns yellow until Enter).
    void TextTyped(ExpertControl c);
    // Enter in a text box.
    void TextEntered(ExpertControl c, const QString& text);
    // "Erase": both hour counters are erased with the next write of block 2.
    void CmdClearHoursCnt_Click();
    // Switches the ECU between running on its own and slave mode.
    void CmdChangeStatoEcu_Click();

  signals:
    void levelChanged(ExpertLevel level);
    // Every control is to show its state again.
    void filled();
    // One control is to show its state again.
    void controlChanged(ExpertControl c);
    void timeWorkChanged(const QString& text);
    // Work the fitter waits for (wait cursor).
    void busy(bool on);

  private:
    static size_t Index(ExpertControl c) { return static_cast<size_t>(c); }
    ExpertControlState& St(ExpertControl c) { return states_[Index(c)]; }
    ParamFieldRef Field(ExpertControl c) const;
    // The value the control shows: the image with its pending edits.
    double ShownValue(ExpertControl c) const;
    bool Open(ExpertControl c) const;
    void BuildLists();
    // Shows the field's value in the control.
    void Show(ExpertControl c);
    // Stores a value of the control's field; false (and a box) when the
    // field cannot take it.
    bool Store(ExpertControl c, double value, const QString& shownAs);
    QString CountText(ExpertControl c) const;
    void ShowTimeWork(double counter1, double counter2);

    EcuSession& session_;
    RequestScheduler& scheduler_;
    ExpertLevel level_ = ExpertLevel::Locked;
    bool filling_ = false;
    std::array<ExpertControlState, kExpertControls> states_{};
    QString timeWork_;
};

}  // namespace gascal
