// The start-up window, which is also the About box of the main window's
// Info menu: the picture, the version label (program, both firmwares, the
// hour counters, the operating system), "Update firmware" and "Esc".
// "Update firmware" is there only when the firmware file is newer than the
// ECU's firmware; while visible it swaps between orange and the colour of
// "Esc" every 500 ms. It asks the main window for the upgrade (which runs
// as soon as the ECU is identified) and closes; "Esc" only closes.
//
// It opens modally under the name "FrmStartUp"; its result is 1 when the
// upgrade was asked for.
#pragma once

#include <QDialog>
#include <memory>

#include "common/EventService.h"

class QLabel;
class QPushButton;

namespace gascal {

class EcuSession;
class PollingCycle;
struct WindowContext;

class FrmStartUp : public QDialog {
    Q_OBJECT
  public:
    FrmStartUp(EcuSession& session, PollingCycle& cycle, QWidget* parent = nullptr);
    ~FrmStartUp() override;

    bool Finished() const { return finished_; }
    bool UpdateRequested() const { return updateRequested_; }

    static int Open(WindowContext& context);

  protected:
    void closeEvent(QCloseEvent* e) override;
    void reject() override;  // the Escape key is "Esc"

  private:
    void CmdUpdateFrm_Click();
    void Command1_Click();
    void Blink();

    PollingCycle& cycle_;
    QLabel* version_ = nullptr;
    QPushButton* update_ = nullptr;
    QPushButton* esc_ = nullptr;
    std::unique_ptr<Timer> timer_;
    bool orange_ = false;
    bool finished_ = false;
    bool updateRequested_ = false;
};

}  // namespace gascal
