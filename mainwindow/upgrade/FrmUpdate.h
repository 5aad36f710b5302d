// The firmware upgrade window: the upgrade procedure (ecu/FirmwareUpgrade)
// with its stage message, the releases of the ECU and of the firmware file,
// the step label, the bar and the buttons "Next" and "Esc". While it is open
// its background swaps between red and orange every 200 ms.
//
// It opens modally under the name "FrmUpdate" (the main window's firmware
// check and the start-up window's "Update firmware" send there) and waits,
// processing events, until the upgrade's "Esc" rules close it. The buttons,
// the Escape key and the close box only hand their event to the upgrade,
// whose steps run on posted events between them. Its result is
// 1 when the ECU can go online afterwards: the upgrade is complete, or an
// upgrade that was only offered left the ECU untouched.
#pragma once

#include <QDialog>
#include <memory>

#include "common/EventService.h"
#include "ecu/FirmwareUpgrade.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace gascal {

class EcuSession;
struct WindowContext;

class FrmUpdate : public QDialog {
    Q_OBJECT
  public:
    FrmUpdate(EcuSession& session, FirmwareUpgrade::Options options, QWidget* parent = nullptr);
    ~FrmUpdate() override;

    FirmwareUpgrade& Upgrade() { return *upgrade_; }
    // The upgrade's rules closed the window.
    bool Finished() const { return finished_; }
    // Background colour now (red or orange).
    QColor Background() const;

    // Opens the window modally and waits until it closes (the registered opener).
    static int Open(WindowContext& context);
    // The fitter chooses the backup of an interrupted upgrade: one Yes/No
    // question a candidate (serial number, time, file); empty when none.
    static QString ChooseBackup(const EcuSession& session,
                                const std::vector<BackupCandidate>& candidates);

  protected:
    void closeEvent(QCloseEvent* e) override;
    void reject() override;  // the Escape key is "Esc"

  private:
    void Refresh();
    void SwapBackground();

    std::unique_ptr<FirmwareUpgrade> upgrade_;
    QLabel* message_ = nullptr;
    QLabel* ecuRelease_ = nullptr;
    QLabel* fileRelease_ = nullptr;
    QLabel* step_ = nullptr;
    QProgressBar* bar_ = nullptr;
    QPushButton* next_ = nullptr;
    QPushButton* esc_ = nullptr;
    std::unique_ptr<Timer> timer_;
    bool red_ = true;
    bool busyCursor_ = false;
    bool finished_ = false;
};

}  // namespace gascal
