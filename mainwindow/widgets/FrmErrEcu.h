// The error window: a grid with one row per error item the dictionary
// names (its name, its present state on light red, its stored state on
// light yellow), refreshed every second from the flags the main window read
// last; "Canc." clears the ECU's error memory, "Esc" and the Escape key
// close. Opened modeless from the main window's "Errori" button, under the
// window name "FrmErrEcu"; all its rules are the ErrorWindowModel's.
#pragma once

#include <QWidget>

#include "common/EventService.h"
#include "mainwindow/controller/ErrorWindowModel.h"

class QPushButton;
class QTableWidget;

namespace gascal {

class FrmErrEcu : public QWidget {
    Q_OBJECT
  public:
    FrmErrEcu(EcuSession& session, ErrorList& errors, QWidget* owner = nullptr);
    ~FrmErrEcu() override;

    QTableWidget* Grid() const { return grid_; }
    QPushButton* CancButton() const { return cmdCanc_; }
    QPushButton* EscButton() const { return cmdEsc_; }
    const ErrorWindowModel& Model() const { return model_; }

  protected:
    void closeEvent(QCloseEvent* e) override;
    void keyReleaseEvent(QKeyEvent* e) override;

  private:
    void ShowCells();

    ErrorWindowModel model_;
    QTableWidget* grid_ = nullptr;
    QPushButton* cmdCanc_ = nullptr;
    QPushButton* cmdEsc_ = nullptr;
    Timer timer_;
};

}  // namespace gascal
