// "History...": the restore points of the connected ECU, newest first (time,
// reason, stored in flash or not), with the other ECUs' serial numbers in a
// list above. For the chosen point: compare it with the ECU, compare it
// with another point (the second row chosen, else the point before it), or
// restore it, which is the ordinary parameter-file load with its question.
// Opened from the File menu under the window name "FrmHistory"; the rules
// are HistoryModel's.
#pragma once

#include <QDialog>
#include <vector>

#include "ecu/History.h"

class QComboBox;
class QLabel;
class QPushButton;
class QTableWidget;

namespace gascal {

class EcuSession;
class HistoryModel;

class FrmHistory : public QDialog {
    Q_OBJECT
  public:
    FrmHistory(EcuSession& session, HistoryModel& model, QWidget* owner = nullptr);

    QComboBox* Serials() const { return serials_; }
    QTableWidget* Table() const { return table_; }
    // Fills the list of serial numbers and the points of the chosen one.
    void Refresh();
    void ShowSerial(int index);
    // The buttons' work, on the rows chosen.
    void CompareWithEcu();
    void CompareWithPoint();
    void RestoreChosen();

  private:
    std::vector<int> ChosenRows() const;

    EcuSession& session_;
    HistoryModel& model_;
    std::vector<RestorePoint> points_;
    QComboBox* serials_ = nullptr;
    QLabel* note_ = nullptr;
    QTableWidget* table_ = nullptr;
    QPushButton* compareEcu_ = nullptr;
    QPushButton* comparePoint_ = nullptr;
    QPushButton* restore_ = nullptr;
};

}  // namespace gascal
