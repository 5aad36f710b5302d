// The error window's model (FrmErrEcu), without widgets: one row per error
// item the dictionary names, its present and its stored state as texts of
// the flags last read by the main window's error list (the window sends
// nothing to refresh them), and "Canc.", which clears the ECU's error memory.
//
// Its texts come from the dictionary section "[FrmErrEcu]": the headings of
// the three columns, the caption of "Canc." and the window caption.
#pragma once

#include <QString>
#include <QStringList>
#include <vector>

namespace gascal {

class EcuSession;
class ErrorList;

inline constexpr int kErrorWindowColumns = 3;

class ErrorWindowModel {
  public:
    struct Row {
        int item = 0;     // error item k: flags k (present) and k + 32 (stored)
        QString name;     // column 0
        QString present;  // column 1
        QString stored;   // column 2
    };

    ErrorWindowModel(EcuSession& session, ErrorList& errors);

    const std::vector<Row>& Rows() const { return rows_; }
    // Row 0 of the grid: the headings of columns 0, 1 and 2.
    const QStringList& Headings() const { return headings_; }
    QString CancCaption() const { return canc_; }
    // The window caption, followed by a blank.
    QString WindowCaption() const { return caption_ + QLatin1Char(' '); }

    // The state texts of the flags as last read. True when a cell changed.
    bool Refresh();

    // CmdErrInjCanc_Click: clears the ECU's error memory. When the ECU
    // confirms, the state cells are emptied (until the next read fills them)
    // and the main window's "Errori" button goes; when it does not, the
    // cells keep showing what the ECU holds and the fitter is told.
    bool Canc();

  private:
    EcuSession& session_;
    ErrorList& errors_;
    std::vector<Row> rows_;
    QStringList headings_;
    QString canc_;
    QString caption_;
};

}  // namespace gascal
