// "Compare with file...": the fields, the correction table's model and the
// table entries in which a parameter file differs from the connected ECU
// (as last read), in a dialog of three columns: the name, the file's value,
// the ECU's value. Opened from the File menu under the window name
// "FrmCompare", which first asks for the file. The comparison itself is the
// ECU session layer's (ecu/ParamCompare.h), shared with `gascal-cli diff`.
#pragma once

#include <QDialog>

#include "ecu/ParamCompare.h"

class QLabel;
class QTableWidget;

namespace gascal {

class FrmCompare : public QDialog {
    Q_OBJECT
  public:
    FrmCompare(const EcuSession& session, const QString& path, const FileCompareResult& result,
               QWidget* owner = nullptr);

    QTableWidget* Table() const { return table_; }
    QLabel* Summary() const { return summary_; }

  private:
    QTableWidget* table_ = nullptr;
    QLabel* summary_ = nullptr;
};

// Compares the file with the ECU and shows the dialog (modeless); a file
// that cannot be compared is said in a box instead. Null when there is no
// dialog.
FrmCompare* ShowComparison(const EcuSession& session, const QString& path, QWidget* owner);

}  // namespace gascal
