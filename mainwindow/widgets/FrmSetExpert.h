// The expert settings page, captioned "SETTING": a password box and, once a
// password is accepted, the first frame (FrmExp) or both frames
// (FrmExp and FrmTrueExpert) of settings the main window does not show.
// Opened from the main window's expert button under the window name
// "FrmSetExpert"; every rule is the ExpertModel's. The controls stand at
// fixed places (twips), so \LNG\exp.cfg can move, size, hide, align and
// colour them by name.
//
// Whatever the layout file says, a frame above the level reached stays
// hidden and disabled: the file rearranges the page, it never opens it.
#pragma once

#include <QWidget>
#include <array>
#include <vector>

#include "mainwindow/controller/ExpertModel.h"

class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace gascal {

class FrmSetExpert : public QWidget {
    Q_OBJECT
  public:
    FrmSetExpert(EcuSession& session, RequestScheduler& scheduler, QWidget* owner = nullptr);
    ~FrmSetExpert() override;

    // Form_Activate: the controls are filled from the image, the focus goes
    // to the password box. Runs whenever the page becomes the active window.
    void Activate();

    ExpertModel& Model() { return model_; }
    QLineEdit* PasswordBox() const { return txtPw_; }
    // A control of the page by name (null when there is none).
    QWidget* Control(const char* name) const;

  protected:
    bool event(QEvent* e) override;

  private:
    void Build();
    void ApplyCaptions();
    void ApplyLayoutFile();
    void ShowLevel(ExpertLevel level);
    void ShowControl(ExpertControl c);
    void ShowAll();
    void FitTo(int widthTwips, int heightTwips);
    void SetBusy(bool on);

    ExpertModel model_;
    QLineEdit* txtPw_ = nullptr;
    QGroupBox* frmExp_ = nullptr;
    QGroupBox* frmTrueExpert_ = nullptr;
    QLabel* lblTimeWork_ = nullptr;
    QPushButton* cmdClearHoursCnt_ = nullptr;
    QPushButton* cmdChangeStatoEcu_ = nullptr;
    std::array<QWidget*, kExpertControls> controls_{};
    std::vector<QWidget*> named_;  // every control of the page that has a name
    bool busy_ = false;
};

}  // namespace gascal
